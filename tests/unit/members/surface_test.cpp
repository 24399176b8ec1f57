// The member table is the one list of the published members. The type library's IDL, the COM
// object's vtable thunks and the native class are still written by hand, so they are read here as
// text and held to the table: same members in slot order, same DISPIDs, kinds, types, parameter
// names and defaults. Every row's call is made once, so a row that reads an argument with the
// wrong type cannot hide. docs/api.md is held to the table too: one section per member name in
// slot order, each with every signature of its member, a line per parameter and an example.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "binding.h"
#include "members.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "support/helpers.h"

namespace nev::automation {
namespace {

std::string ReadSource(const std::string& relative) {
  const std::string text = nevtest::ReadFile(std::string(NEV_SOURCE_DIR) + "/" + relative);
  EXPECT_FALSE(text.empty()) << relative;
  return text;
}

// Whitespace runs become one space; the ends are trimmed.
std::string Squeezed(std::string_view s) {
  std::istringstream in{std::string(s)};
  std::string out;
  for (std::string word; in >> word;) out += (out.empty() ? "" : " ") + word;
  return out;
}

// Splits at sep outside brackets, parentheses and quotes.
std::vector<std::string> SplitTop(std::string_view s, char sep) {
  std::vector<std::string> parts;
  int depth = 0;
  bool quoted = false;
  std::string current;
  for (char c : s) {
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == '(' || c == '[' || c == '{')) ++depth;
    if (!quoted && (c == ')' || c == ']' || c == '}')) --depth;
    if (c == sep && depth == 0 && !quoted) {
      parts.push_back(Squeezed(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!Squeezed(current).empty()) parts.push_back(Squeezed(current));
  return parts;
}

// The last word of a declaration (a parameter's or a function's name), without a default.
std::string LastWord(std::string_view declaration) {
  std::string d = Squeezed(declaration.substr(0, declaration.find('=')));
  while (!d.empty() && (d.back() == '*' || d.back() == '&' || d.back() == ' ')) d.pop_back();
  const std::size_t start = d.find_last_of(" *&");
  return start == std::string::npos ? d : d.substr(start + 1);
}

// The text between the first open and its matching close at or after from.
std::string Enclosed(std::string_view s, std::size_t from, char open, char close) {
  const std::size_t start = s.find(open, from);
  if (start == std::string_view::npos) return {};
  int depth = 0;
  for (std::size_t i = start; i < s.size(); ++i) {
    if (s[i] == open) ++depth;
    if (s[i] == close && --depth == 0) return std::string(s.substr(start + 1, i - start - 1));
  }
  return {};
}

std::string IdlType(VarType type) {
  constexpr const char* kNames[] = {"?",    "short",        "long",   "double", "unsigned char",
                                    "BSTR", "VARIANT_BOOL", "VARIANT"};
  return kNames[static_cast<int>(type)];
}

std::string IdlDefault(const ParamInfo& p) {
  if (p.type == VarType::Boolean) return p.default_value == "True" ? "-1" : "0";
  return p.type == VarType::String ? "\"" + std::string(p.default_value) + "\""
                                   : std::string(p.default_value);
}

// One member as the IDL should declare it.
std::string ExpectedIdl(const MemberInfo& m) {
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(m.dispid));
  std::string attributes = std::string("[id(") + id + ")";
  if (m.kind == MemberKind::PropertyGet) attributes += ", propget";
  if (m.kind == MemberKind::PropertyPut) attributes += ", propput";
  std::vector<std::string> params;
  for (const ParamInfo& p : m.params) {
    std::string flags = p.by_ref ? "in, out" : "in";
    if (p.optional) flags += ", optional, defaultvalue(" + IdlDefault(p) + ")";
    params.push_back("[" + flags + "] " + IdlType(p.type) + (p.by_ref ? "* " : " ") +
                     std::string(p.name));
  }
  if (m.result != VarType::None) {
    params.push_back("[out, retval] " + IdlType(m.result) + "* " + std::string(m.name));
  }
  std::string joined;
  for (const std::string& p : params) joined += (joined.empty() ? "" : ", ") + p;
  return attributes + "] HRESULT " + std::string(m.name) + "(" + joined + ")";
}

TEST(PublishedSurface, TheIdlDeclaresTheTableInSlotOrder) {
  const std::string idl = ReadSource("src/automation/com/NEVComServer.idl");
  const std::size_t at = idl.find("interface _NEV : IDispatch");
  ASSERT_NE(at, std::string::npos);
  std::vector<std::string> declared = SplitTop(Enclosed(idl, at, '{', '}'), ';');
  ASSERT_EQ(declared.size(), kMemberCount);
  for (std::size_t i = 0; i < kMemberCount; ++i) {
    const MemberInfo& m = Members()[i];
    // Parameter lists wrap at will in the IDL: compare them with one space after each comma.
    std::string normal;
    for (const std::string& part : SplitTop(declared[i], ',')) {
      normal += (normal.empty() ? "" : ", ") + part;
    }
    EXPECT_EQ(Squeezed(normal), ExpectedIdl(m)) << "slot " << m.slot;
  }
}

// The declarations of a class's methods named in a header: name and parameter names, in order.
struct Declared {
  std::string name;
  std::vector<std::string> params;
};

std::vector<Declared> Thunks(const std::string& header) {
  std::vector<Declared> found;
  const std::string marker = "STDMETHODCALLTYPE ";
  for (std::size_t at = header.find(marker); at != std::string::npos;
       at = header.find(marker, at + 1)) {
    const std::size_t name_start = at + marker.size();
    const std::size_t open = header.find('(', name_start);
    Declared d{Squeezed(header.substr(name_start, open - name_start)), {}};
    for (const std::string& p : SplitTop(Enclosed(header, open, '(', ')'), ',')) {
      d.params.push_back(LastWord(p));
    }
    found.push_back(d);
  }
  return found;
}

TEST(PublishedSurface, TheComThunksFollowTheTableAndCallTheirOwnMember) {
  std::vector<Declared> thunks = Thunks(ReadSource("src/automation/com/nev_object.h"));
  // IUnknown, IDispatch and ISupportErrorInfo come first.
  const std::vector<std::string> others{
      "QueryInterface", "GetTypeInfoCount",           "GetTypeInfo", "GetIDsOfNames",
      "Invoke",         "InterfaceSupportsErrorInfo", "AddRef",      "Release"};
  std::erase_if(thunks, [&](const Declared& d) {
    return std::find(others.begin(), others.end(), d.name) != others.end();
  });
  ASSERT_EQ(thunks.size(), kMemberCount);
  const std::string body = ReadSource("src/automation/com/nev_object.cpp");
  for (std::size_t i = 0; i < kMemberCount; ++i) {
    const MemberInfo& m = Members()[i];
    const std::string name = std::string(m.name);
    const std::string thunk = m.kind == MemberKind::PropertyGet   ? "get_" + name
                              : m.kind == MemberKind::PropertyPut ? "put_" + name
                                                                  : name;
    EXPECT_EQ(thunks[i].name, thunk) << "slot " << m.slot;
    std::vector<std::string> params;
    for (const ParamInfo& p : m.params) params.emplace_back(p.name);
    if (m.kind == MemberKind::PropertyPut) params = {"value"};
    if (m.result != VarType::None) params.push_back("result");
    EXPECT_EQ(thunks[i].params, params) << thunk;

    // The definition names its member for the log and the messages, and calls it.
    const std::size_t def = body.find("HRESULT NEVObject::" + thunk + "(");
    ASSERT_NE(def, std::string::npos) << thunk;
    const std::string definition = Enclosed(body, body.find(')', def), '{', '}');
    EXPECT_NE(definition.find("\"" + name + "\""), std::string::npos) << thunk;
    EXPECT_NE(definition.find("nev_." + name + "("), std::string::npos) << thunk;
  }
}

TEST(PublishedSurface, TheNativeClassHasEveryMemberWithItsParameterNames) {
  const std::string header = ReadSource("include/nev/nev.h");
  const std::string cls = Enclosed(header, header.find("class NEV {"), '{', '}');
  for (const MemberInfo& m : Members()) {
    if (m.kind == MemberKind::PropertyGet || m.kind == MemberKind::PropertyPut) {
      EXPECT_NE(cls.find(" " + std::string(m.name) + "("), std::string::npos) << m.name;
      continue;
    }
    std::vector<std::string> want;
    for (const ParamInfo& p : m.params) want.emplace_back(p.name);
    bool matched = false;  // one of the overloads carries the table's parameters
    const std::string call = " " + std::string(m.name) + "(";
    for (std::size_t at = cls.find(call); at != std::string::npos; at = cls.find(call, at + 1)) {
      std::vector<std::string> got;
      for (const std::string& p : SplitTop(Enclosed(cls, at, '(', ')'), ',')) {
        got.push_back(LastWord(p));
      }
      matched = matched || got == want;
    }
    EXPECT_TRUE(matched) << m.name << " with the table's parameter names";
  }
}

// The signature line of a member as docs/api.md writes it.
std::string DocSignature(const MemberInfo& m) {
  std::string text = "`" + std::string(KindName(m.kind)) + " " + std::string(m.name) + "(";
  for (const ParamInfo& p : m.params) {
    if (&p != &m.params.front()) text += ", ";
    if (p.by_ref) text += "ByRef ";
    if (p.optional) text += "Optional ";
    text += std::string(p.name) + " As " + std::string(TypeName(p.type));
    if (p.optional) {
      const std::string quote = p.type == VarType::String ? "\"" : "";
      text += " = " + quote + std::string(p.default_value) + quote;
    }
  }
  text += ")";
  if (m.result != VarType::None) text += " As " + std::string(TypeName(m.result));
  char dispid[32];
  std::snprintf(dispid, sizeof dispid, "` DISPID `0x%08X`", static_cast<unsigned>(m.dispid));
  return text + dispid;
}

TEST(PublishedSurface, TheApiDocumentHasOneSectionPerMemberWithItsSignatures) {
  std::vector<std::string> order, names;       // member headings in document and in slot order
  std::map<std::string, std::string> section;  // heading -> its text up to the next heading
  std::istringstream in(ReadSource("docs/api.md"));
  std::string current;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) {
      current.clear();  // a chapter heading ends the member before it
    } else if (line.rfind("### ", 0) == 0) {
      order.push_back(current = line.substr(4));
    } else if (!current.empty()) {
      section[current] += line + "\n";
    }
  }
  for (const MemberInfo& m : Members()) {
    if (names.empty() || names.back() != m.name) names.emplace_back(m.name);
    const std::string& text = section[std::string(m.name)];
    EXPECT_NE(text.find(DocSignature(m) + "\n"), std::string::npos)
        << m.name << ": missing the line\n"
        << DocSignature(m);
    for (const ParamInfo& p : m.params) {
      EXPECT_NE(text.find("- `" + std::string(p.name) + "`"), std::string::npos)
          << m.name << ": parameter " << p.name << " is not described";
    }
    EXPECT_NE(text.find("Example:"), std::string::npos) << m.name << ": no example";
    EXPECT_NE(text.find("```cpp"), std::string::npos) << m.name << ": no C++ example";
  }
  EXPECT_EQ(order, names);
}

struct QuietSink : MessageSink {
  void Show(const std::string&, int, const std::string&) override {}
};

TEST(PublishedSurface, EveryRowCallsItsMemberWithTheDeclaredTypes) {
  nevtest::TempDir folder;
  NEV nev(folder.str());
  nev.SetMessageSink(std::make_shared<QuietSink>());
  nev.Log().Level(0);
  // InitConnection(1, ...) opens this missing device rather than one of the machine's ports.
  setenv("NEVCOM_COM1", (folder.path() / "no-such-port").c_str(), 1);
  for (const MemberInfo& m : Members()) {
    std::vector<Variant> positional;
    for (const ParamInfo& p : m.params) {
      positional.push_back(
          ConvertTo(Variant(std::string(p.optional ? p.default_value : "1")), p.type));
    }
    std::vector<NamedArgument> named;
    try {
      Invoke(nev, m, positional, named);  // without a connection: nothing is sent
    } catch (const RuntimeError& e) {
      EXPECT_NE(e.number(), kErrInternal) << m.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace nev::automation
