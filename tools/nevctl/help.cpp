#include "help.h"

#include <cstdio>
#include <vector>

#include "output.h"

namespace nevctl {

namespace sv = nev::automation;

std::string Signature(const sv::MemberInfo& m) {
  std::string text = std::string(sv::KindName(m.kind)) + " " + std::string(m.name) + "(";
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    const sv::ParamInfo& p = m.params[i];
    if (i > 0) text += ", ";
    if (p.by_ref) text += "ByRef ";
    if (p.optional) text += "Optional ";
    text += std::string(p.name) + " As " + std::string(sv::TypeName(p.type));
    if (p.optional) {
      text += " = ";
      text += p.type == sv::VarType::String ? "\"" + std::string(p.default_value) + "\""
                                            : std::string(p.default_value);
    }
  }
  text += ")";
  if (m.result != sv::VarType::None) text += " As " + std::string(sv::TypeName(m.result));
  char dispid[32];
  std::snprintf(dispid, sizeof dispid, "  DISPID 0x%08X", static_cast<unsigned>(m.dispid));
  return text + dispid;
}

std::string MemberDocumentation(std::string_view document, std::string_view member) {
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < document.size();) {
    std::size_t end = document.find('\n', at);
    if (end == std::string_view::npos) end = document.size();
    lines.push_back(document.substr(at, end - at));
    at = end + 1;
  }
  const std::string heading = "### " + std::string(member);
  std::size_t i = 0;
  while (i < lines.size() && lines[i] != heading) ++i;
  if (i == lines.size()) return {};
  std::string text;
  bool started = false;
  std::size_t blanks = 0;
  for (++i; i < lines.size() && lines[i].rfind("#", 0) != 0; ++i) {
    const std::string_view line = lines[i];
    // The signature lines: the member table gives them.
    if (line.rfind("`function ", 0) == 0 || line.rfind("`procedure ", 0) == 0 ||
        line.rfind("`property ", 0) == 0) {
      continue;
    }
    if (line.empty()) {
      if (started) ++blanks;
      continue;
    }
    if (started && blanks > 0) text += "\n";
    blanks = 0;
    started = true;
    text += std::string(line) + "\n";
  }
  return text;
}

int Help(std::string_view name, std::ostream& out, std::ostream& err) {
  const sv::MemberInfo* member = sv::FindMember(name);
  if (member == nullptr) {
    err << "nevctl: no member named " << Printable(name);
    if (const sv::MemberInfo* near = sv::ClosestMember(name)) {
      err << "; did you mean " << near->name << "?";
    }
    err << " (nevctl members lists them all)\n";
    return 2;
  }
  for (const sv::MemberInfo& m : sv::Members()) {
    if (m.name == member->name) out << Signature(m) << "\n";
  }
  const std::string doc = MemberDocumentation(ApiDocument(), member->name);
  if (!doc.empty()) out << "\n" << doc;
  return 0;
}

}  // namespace nevctl
