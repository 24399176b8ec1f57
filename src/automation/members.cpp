#include "members.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <vector>

#include "nev/error.h"
#include "nev/nev.h"

namespace nev::automation {
namespace {

using T = VarType;
using K = MemberKind;

constexpr ParamInfo In(std::string_view name, VarType type) {
  return {name, type, false, false, {}};
}
constexpr ParamInfo InOut(std::string_view name, VarType type) {
  return {name, type, true, false, {}};
}
constexpr ParamInfo Opt(std::string_view name, VarType type, std::string_view value) {
  return {name, type, false, true, value};
}

constexpr std::array kSilentModePut{In("SilentMode", T::Boolean)};  // the new value
constexpr std::array kInitConnection{In("Port", T::Long), In("BaudRate", T::Long),
                                     In("StopBits", T::Long), In("Parity", T::Long),
                                     In("ByteSize", T::Long)};
constexpr std::array kPaperFeed{In("Rows", T::Integer)};
constexpr std::array kText{In("text", T::String)};
constexpr std::array kSellNumbered{In("n", T::Long), In("Q", T::Double), In("P", T::Double)};
constexpr std::array kSellTaxGroup{In("Name", T::String), In("TaxGroup", T::String),
                                   In("Q", T::Double), In("P", T::Double)};
constexpr std::array kOpenFiscNote{In("casher", T::String), In("Pass", T::String),
                                   Opt("BS", T::String, "")};
constexpr std::array kAddition{Opt("Proportional", T::Boolean, "True"), Opt("V", T::String, "")};
constexpr std::array kSubTotal{InOut("Total", T::Double), InOut("TotalA", T::Double),
                               InOut("TotalB", T::Double), InOut("TotalC", T::Double)};
constexpr std::array kAddSum{In("casher", T::String), In("Pass", T::String), In("Sum", T::Double),
                             In("Pay", T::Long)};
constexpr std::array kPay{In("PayType", T::Long), In("Sum", T::Double)};
constexpr std::array kSendSerNum{InOut("Num", T::String)};
constexpr std::array kFirstFMReport{In("s", T::String)};
constexpr std::array kIndex{In("x", T::Integer)};
constexpr std::array kSetArticle{In("n", T::String),  In("Name", T::String), In("Price", T::String),
                                 In("TaxG", T::Byte), In("Dep", T::Byte),    In("Pay", T::Byte),
                                 In("F", T::Byte),    In("BC", T::String),   In("Q", T::String)};

constexpr std::span<const ParamInfo> kNone{};

constexpr std::array<MemberInfo, kMemberCount> kMembers{{
    {7, 0x4003002C, K::PropertyGet, "SilentMode", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.SilentMode(); }},
    {8, 0x4003002C, K::PropertyPut, "SilentMode", T::None, kSilentModePut,
     [](NEV& n, Arguments& a) -> Variant {
       n.SilentMode(a.Boolean(0));
       return {};
     }},
    {9, 0x6003002A, K::Function, "StopConnection", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.StopConnection(); }},
    {10, 0x6003002B, K::Function, "InitConnection", T::Boolean, kInitConnection,
     [](NEV& n, Arguments& a) -> Variant {
       return n.InitConnection(a.Long(0), a.Long(1), a.Long(2), a.Long(3), a.Long(4));
     }},
    {11, 0x60030032, K::Function, "PaperFeed", T::Boolean, kPaperFeed,
     [](NEV& n, Arguments& a) -> Variant { return n.PaperFeed(a.Integer(0)); }},
    {12, 0x60030033, K::Function, "FiscText", T::Boolean, kText,
     [](NEV& n, Arguments& a) -> Variant { return n.FiscText(a.Text(0)); }},
    {13, 0x60030034, K::Function, "ServText", T::Boolean, kText,
     [](NEV& n, Arguments& a) -> Variant { return n.ServText(a.Text(0)); }},
    {14, 0x60030035, K::Function, "SellArt", T::Boolean, kSellNumbered,
     [](NEV& n, Arguments& a) -> Variant {
       return n.SellArt(a.Long(0), a.Double(1), a.Double(2));
     }},
    {15, 0x60030036, K::Function, "SellTaxGroup", T::Boolean, kSellTaxGroup,
     [](NEV& n, Arguments& a) -> Variant {
       return n.SellTaxGroup(a.Text(0), a.Text(1), a.Double(2), a.Double(3));
     }},
    {16, 0x60030037, K::Function, "OpenServNote", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.OpenServNote(); }},
    {17, 0x60030038, K::Function, "CloseServNote", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.CloseServNote(); }},
    {18, 0x60030039, K::Function, "OpenFiscNote", T::Boolean, kOpenFiscNote,
     [](NEV& n, Arguments& a) -> Variant {
       return n.OpenFiscNote(a.Text(0), a.Text(1), a.Text(2));
     }},
    {19, 0x6003003A, K::Function, "CloseFiscNote", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.CloseFiscNote(); }},
    {20, 0x6003003B, K::Function, "SellDep", T::Boolean, kSellNumbered,
     [](NEV& n, Arguments& a) -> Variant {
       return n.SellDep(a.Long(0), a.Double(1), a.Double(2));
     }},
    {21, 0x6003003C, K::Procedure, "Addition", T::None, kAddition,
     [](NEV& n, Arguments& a) -> Variant {
       n.Addition(a.Boolean(0), a.Text(1));
       return {};
     }},
    {22, 0x6003003D, K::Function, "SubTotal", T::Boolean, kSubTotal,
     [](NEV& n, Arguments& a) -> Variant {
       return n.SubTotal(a.DoubleOutput(0), a.DoubleOutput(1), a.DoubleOutput(2),
                         a.DoubleOutput(3));
     }},
    {23, 0x6003003E, K::Function, "VoidAll", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.VoidAll(); }},
    {24, 0x6003003F, K::Function, "AddSum", T::Boolean, kAddSum,
     [](NEV& n, Arguments& a) -> Variant {
       return n.AddSum(a.Text(0), a.Text(1), a.Double(2), a.Long(3));
     }},
    {25, 0x60030040, K::Function, "OpenDraw", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.OpenDraw(); }},
    {26, 0x60030041, K::Function, "Dublicate", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.Dublicate(); }},
    {27, 0x60030042, K::Function, "EJournal", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.EJournal(); }},
    {28, 0x60030043, K::Function, "ZDay", T::String, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.ZDay(); }},
    {29, 0x60030044, K::Function, "ZArticles", T::Variant, kNone,
     [](NEV& n, Arguments&) -> Variant {
       const std::optional<bool> r = n.ZArticles();
       return r ? Variant(*r) : Variant();
     }},
    {30, 0x60030045, K::Function, "ZDep", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.ZDep(); }},
    {31, 0x60030046, K::Function, "ZCasher", T::Boolean, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.ZCasher(); }},
    {32, 0x60030047, K::Function, "Pay", T::Boolean, kPay,
     [](NEV& n, Arguments& a) -> Variant { return n.Pay(a.Long(0), a.Double(1)); }},
    {33, 0x60030048, K::Function, "GetNumberofNotes", T::String, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.GetNumberofNotes(); }},
    {34, 0x60030049, K::Function, "NoteInfo", T::String, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.NoteInfo(); }},
    {35, 0x6003004A, K::Function, "GetStatus", T::Long, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.GetStatus(); }},
    {36, 0x6003004B, K::Procedure, "SetStatus", T::None, kNone,
     [](NEV& n, Arguments&) -> Variant {
       n.SetStatus();
       return {};
     }},
    {37, 0x6003004C, K::Procedure, "SendSerNum", T::None, kSendSerNum,
     [](NEV& n, Arguments& a) -> Variant {
       n.SendSerNum(a.TextOutput(0));
       return {};
     }},
    {38, 0x6003004E, K::Procedure, "ZDeny", T::None, kNone,
     [](NEV& n, Arguments&) -> Variant {
       n.ZDeny();
       return {};
     }},
    {39, 0x6003004F, K::Procedure, "ZAllow", T::None, kNone,
     [](NEV& n, Arguments&) -> Variant {
       n.ZAllow();
       return {};
     }},
    {40, 0x60030050, K::Function, "GetTaxRates", T::String, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.GetTaxRates(); }},
    {41, 0x60030051, K::Function, "GetFirstFMReport", T::String, kFirstFMReport,
     [](NEV& n, Arguments& a) -> Variant { return n.GetFirstFMReport(a.Text(0)); }},
    {42, 0x60030052, K::Function, "GetNextFMReport", T::String, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.GetNextFMReport(); }},
    {43, 0x60030053, K::Function, "ECRInfo", T::String, kNone,
     [](NEV& n, Arguments&) -> Variant { return n.ECRInfo(); }},
    {44, 0x60030054, K::Function, "GetArticle", T::String, kIndex,
     [](NEV& n, Arguments& a) -> Variant { return n.GetArticle(a.Integer(0)); }},
    {45, 0x60030055, K::Function, "GetDepartment", T::String, kIndex,
     [](NEV& n, Arguments& a) -> Variant { return n.GetDepartment(a.Integer(0)); }},
    {46, 0x60030056, K::Procedure, "SetArticle", T::None, kSetArticle,
     [](NEV& n, Arguments& a) -> Variant {
       n.SetArticle(a.Text(0), a.Text(1), a.Text(2), a.Byte(3), a.Byte(4), a.Byte(5), a.Byte(6),
                    a.Text(7), a.Text(8));
       return {};
     }},
}};

bool IsMethod(MemberKind kind) {
  return kind == K::Function || kind == K::Procedure;
}

}  // namespace

Arguments::Arguments(const MemberInfo& member, std::vector<Variant>& values)
    : member_(member), values_(values) {}

const Variant& Arguments::At(std::size_t i, VarType type) const {
  if (i >= member_.params.size() || i >= values_.size() || member_.params[i].type != type ||
      TypeOf(values_[i]) != type) {
    Raise(kErrInternal, StandardDescription(kErrInternal) + ": " + std::string(member_.name) +
                            " reads argument " + std::to_string(i) + " as " +
                            std::string(TypeName(type)));
  }
  return values_[i];
}

const std::string& Arguments::Text(std::size_t i) const {
  return std::get<std::string>(At(i, VarType::String));
}
int32_t Arguments::Long(std::size_t i) const {
  return std::get<int32_t>(At(i, VarType::Long));
}
int32_t Arguments::Integer(std::size_t i) const {
  return std::get<int16_t>(At(i, VarType::Integer));
}
int32_t Arguments::Byte(std::size_t i) const {
  return std::get<uint8_t>(At(i, VarType::Byte));
}
double Arguments::Double(std::size_t i) const {
  return std::get<double>(At(i, VarType::Double));
}
bool Arguments::Boolean(std::size_t i) const {
  return std::get<bool>(At(i, VarType::Boolean));
}
std::string& Arguments::TextOutput(std::size_t i) {
  At(i, VarType::String);
  return std::get<std::string>(values_[i]);
}
double& Arguments::DoubleOutput(std::size_t i) {
  At(i, VarType::Double);
  return std::get<double>(values_[i]);
}

std::span<const MemberInfo> Members() {
  return kMembers;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (ca >= 0x80 || cb >= 0x80) {
      if (ca != cb) return false;
    } else if (std::tolower(ca) != std::tolower(cb)) {
      return false;
    }
  }
  return true;
}

const MemberInfo* FindMember(std::string_view name) {
  for (const MemberInfo& m : kMembers) {
    if (SameName(m.name, name)) return &m;
  }
  return nullptr;
}

const MemberInfo* FindMember(std::string_view name, MemberKind kind) {
  for (const MemberInfo& m : kMembers) {
    if (m.kind == kind && SameName(m.name, name)) return &m;
  }
  return nullptr;
}

const MemberInfo* FindMember(int32_t dispid, MemberKind kind) {
  for (const MemberInfo& m : kMembers) {
    if (m.dispid != dispid) continue;
    if (m.kind == kind || (IsMethod(m.kind) && IsMethod(kind))) return &m;
  }
  return nullptr;
}

int FindParam(const MemberInfo& member, std::string_view name) {
  for (std::size_t i = 0; i < member.params.size(); ++i) {
    if (SameName(member.params[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

std::size_t NameDistance(std::string_view a, std::string_view b) {
  // Optimal string alignment: insertions, deletions, substitutions and swaps of two neighbours.
  constexpr std::size_t kMax = 64;
  a = a.substr(0, kMax);
  b = b.substr(0, kMax);
  auto same = [](char x, char y) {
    const auto ux = static_cast<unsigned char>(x), uy = static_cast<unsigned char>(y);
    return ux < 0x80 && uy < 0x80 ? std::tolower(ux) == std::tolower(uy) : ux == uy;
  };
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

namespace {

// A suggestion is worth making when at most half of the longer name (or two edits) has to change.
bool Near(std::string_view name, std::string_view candidate, std::size_t distance) {
  const std::size_t longer = std::min<std::size_t>(64, std::max(name.size(), candidate.size()));
  return distance <= std::max<std::size_t>(2, longer / 2);
}

}  // namespace

const MemberInfo* ClosestMember(std::string_view name) {
  const MemberInfo* best = nullptr;
  std::size_t best_distance = 0;
  for (const MemberInfo& m : kMembers) {
    const std::size_t d = NameDistance(name, m.name);
    if (best == nullptr || d < best_distance) best = &m, best_distance = d;
  }
  return best && Near(name, best->name, best_distance) ? best : nullptr;
}

int ClosestParam(const MemberInfo& member, std::string_view name) {
  int best = -1;
  std::size_t best_distance = 0;
  // A member has few parameters: the nearest is always worth naming.
  for (std::size_t i = 0; i < member.params.size(); ++i) {
    const std::size_t d = NameDistance(name, member.params[i].name);
    if (best < 0 || d < best_distance) best = static_cast<int>(i), best_distance = d;
  }
  return best;
}

std::string_view TypeName(VarType type) {
  switch (type) {
    case T::None:
      return "None";
    case T::Integer:
      return "Integer";
    case T::Long:
      return "Long";
    case T::Double:
      return "Double";
    case T::Byte:
      return "Byte";
    case T::String:
      return "String";
    case T::Boolean:
      return "Boolean";
    case T::Variant:
      return "Variant";
  }
  return "?";
}

std::string_view KindName(MemberKind kind) {
  switch (kind) {
    case K::Function:
      return "function";
    case K::Procedure:
      return "procedure";
    case K::PropertyGet:
      return "property get";
    case K::PropertyPut:
      return "property put";
  }
  return "?";
}

}  // namespace nev::automation
