// docs/api.md against the member table: one section per member name in slot order, nothing
// else; each section carries every signature of its member exactly as the table has it, a line
// describing each parameter, and an example. Change the table and this fails until the document
// follows.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "members.h"
#include "support/helpers.h"

namespace nev::automation {
namespace {

// The signature line of a member as the document writes it.
std::string Signature(const MemberInfo& m) {
  std::string text = "`" + std::string(KindName(m.kind)) + " " + std::string(m.name) + "(";
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    const ParamInfo& p = m.params[i];
    if (i > 0) text += ", ";
    if (p.by_ref) text += "ByRef ";
    if (p.optional) text += "Optional ";
    text += std::string(p.name) + " As " + std::string(TypeName(p.type));
    if (p.optional) {
      text += " = ";
      text += p.type == VarType::String ? "\"" + std::string(p.default_value) + "\""
                                        : std::string(p.default_value);
    }
  }
  text += ")";
  if (m.result != VarType::None) text += " As " + std::string(TypeName(m.result));
  char dispid[32];
  std::snprintf(dispid, sizeof dispid, "` DISPID `0x%08X`", static_cast<unsigned>(m.dispid));
  return text + dispid;
}

struct Doc {
  std::vector<std::string> order;              // member headings in document order
  std::map<std::string, std::string> section;  // heading -> its text up to the next heading
};

Doc ReadDoc() {
  Doc doc;
  std::istringstream in(nevtest::ReadFile(NEV_API_DOC));
  std::string current;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) {
      current.clear();  // a chapter heading ends the member before it
    } else if (line.rfind("### ", 0) == 0) {
      current = line.substr(4);
      doc.order.push_back(current);
    } else if (!current.empty()) {
      doc.section[current] += line + "\n";
    }
  }
  return doc;
}

TEST(ApiDoc, OneSectionPerMemberInSlotOrder) {
  const Doc doc = ReadDoc();
  std::vector<std::string> names;
  for (const MemberInfo& m : Members()) {
    if (names.empty() || names.back() != m.name) names.emplace_back(m.name);
  }
  EXPECT_EQ(doc.order, names);
}

TEST(ApiDoc, EverySectionHasTheSignaturesParametersAndAnExample) {
  const Doc doc = ReadDoc();
  for (const MemberInfo& m : Members()) {
    const std::string name(m.name);
    const auto found = doc.section.find(name);
    if (found == doc.section.end()) {
      ADD_FAILURE() << "no section for " << name;
      continue;
    }
    const std::string& text = found->second;
    EXPECT_NE(text.find(Signature(m) + "\n"), std::string::npos) << name << ": missing the line\n"
                                                                 << Signature(m);
    for (const ParamInfo& p : m.params) {
      EXPECT_NE(text.find("- `" + std::string(p.name) + "`"), std::string::npos)
          << name << ": parameter " << p.name << " is not described";
    }
    EXPECT_NE(text.find("Example:"), std::string::npos) << name << ": no example";
    EXPECT_NE(text.find("```cpp"), std::string::npos) << name << ": no C++ example";
  }
}

}  // namespace
}  // namespace nev::automation
