#include "service/late_binding.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "nev/nev.h"

namespace nev::service {
namespace {

std::string Describe(int32_t number) {
  switch (number) {
    case kErrMemberNotFound:
      return "Object doesn't support this property or method";
    case kErrParamNotFound:
      return "Named argument not found";
    case kErrNotOptional:
      return "Argument not optional";
    case kErrBadParamCount:
      return "Wrong number of arguments or invalid property assignment";
    default:
      return StandardDescription(number);
  }
}

[[noreturn]] void Fail(int32_t number, const std::string& detail = {}) {
  std::string description = Describe(number);
  if (!detail.empty()) description += ": " + detail;
  throw RuntimeError({number, description, "NEVComServer"});
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A value as an error message quotes it: hostile input can be long, so only its start.
std::string Clipped(std::string_view text) {
  constexpr std::size_t kMax = 40;
  if (text.size() <= kMax) return std::string(text);
  return std::string(text.substr(0, kMax)) + "... (" + std::to_string(text.size()) + " bytes)";
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The power of ten of the first significant digit of an unsigned number text that is known to be
// well formed ("123" gives 2, "0.05" gives -2, "1e-400" gives -400).
int64_t DecimalMagnitude(std::string_view s) {
  int64_t magnitude = 0;
  bool seen_point = false, seen_digit = false;
  std::size_t i = 0;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.') {
      seen_point = true;
    } else if (!seen_digit && s[i] == '0') {
      if (seen_point) --magnitude;
    } else if (!seen_digit) {
      seen_digit = true;
      if (seen_point) --magnitude;
    } else if (!seen_point) {
      ++magnitude;
    }
  }
  if (!seen_digit) return -1;
  int64_t exponent = 0;
  bool negative = false;
  if (i < s.size()) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    for (; i < s.size() && exponent < 100000000; ++i) exponent = exponent * 10 + (s[i] - '0');
  }
  return magnitude + (negative ? -exponent : exponent);
}

// A number in C-locale form: [+-] digits [. digits] [e [+-] digits], at least one digit before
// the exponent. Anything else (including "nan", "inf", hex) is a type mismatch.
double ParseNumber(std::string_view text) {
  std::string_view s = Trim(text);
  const std::string quoted = "\"" + Clipped(text) + "\" is not a number";
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t start = i;
  std::size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) Fail(kErrTypeMismatch, quoted);
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && IsDigit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) Fail(kErrTypeMismatch, quoted);
  }
  if (i != s.size()) Fail(kErrTypeMismatch, quoted);
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data() + start, s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (DecimalMagnitude(s.substr(start)) < 0) return 0.0;  // too small: underflows to zero
    Fail(kErrOverflow, Clipped(Trim(text)) + " is too large");
  }
  if (ec != std::errc() || end != s.data() + s.size()) Fail(kErrTypeMismatch, quoted);
  return negative ? -value : value;
}

// A number as a double, for the integer conversions.
double NumberOf(const Variant& value) {
  struct Visitor {
    double operator()(std::monostate) const { return 0; }
    double operator()(bool b) const { return b ? -1 : 0; }
    double operator()(int16_t v) const { return v; }
    double operator()(int32_t v) const { return v; }
    double operator()(double v) const { return v; }
    double operator()(uint8_t v) const { return v; }
    double operator()(const std::string& s) const { return ParseNumber(s); }
    double operator()(Missing) const { Fail(kErrTypeMismatch, "argument is missing"); }
  };
  return std::visit(Visitor{}, value);
}

template <class I>
I ToIntegral(const Variant& value, double low, double high) {
  if (const auto* v = std::get_if<I>(&value)) return *v;
  const double rounded = std::nearbyint(NumberOf(value));  // half to even
  if (!(rounded >= low && rounded <= high)) {
    Fail(kErrOverflow, Clipped(ToText(value)) + " is outside " +
                           std::to_string(static_cast<int64_t>(low)) + ".." +
                           std::to_string(static_cast<int64_t>(high)));
  }
  return static_cast<I>(rounded);
}

const MemberInfo* FindForInvoke(int32_t dispid, MemberKind kind) {
  return FindMember(dispid, kind);
}

Variant DefaultOf(const ParamInfo& param) {
  return ConvertTo(Variant(std::string(param.default_value)), param.type);
}

std::string Quoted(std::string_view s) {
  return "'" + std::string(s) + "'";
}

// Calls the member with arguments already converted to its parameter types; by-reference
// arguments are updated in args.
Variant Call(NEV& nev, const MemberInfo& m, std::vector<Variant>& a) {
  auto s = [&](std::size_t i) -> const std::string& { return std::get<std::string>(a[i]); };
  auto l = [&](std::size_t i) { return std::get<int32_t>(a[i]); };
  auto d = [&](std::size_t i) { return std::get<double>(a[i]); };
  auto w = [&](std::size_t i) { return static_cast<int32_t>(std::get<int16_t>(a[i])); };
  auto b = [&](std::size_t i) { return static_cast<int32_t>(std::get<uint8_t>(a[i])); };
  switch (m.slot) {
    case 7:
      return nev.SilentMode();
    case 8:
      nev.SilentMode(std::get<bool>(a[0]));
      return {};
    case 9:
      return nev.StopConnection();
    case 10:
      return nev.InitConnection(l(0), l(1), l(2), l(3), l(4));
    case 11:
      return nev.PaperFeed(w(0));
    case 12:
      return nev.FiscText(s(0));
    case 13:
      return nev.ServText(s(0));
    case 14:
      return nev.SellArt(l(0), d(1), d(2));
    case 15:
      return nev.SellTaxGroup(s(0), s(1), d(2), d(3));
    case 16:
      return nev.OpenServNote();
    case 17:
      return nev.CloseServNote();
    case 18:
      return nev.OpenFiscNote(s(0), s(1), s(2));
    case 19:
      return nev.CloseFiscNote();
    case 20:
      return nev.SellDep(l(0), d(1), d(2));
    case 21:
      nev.Addition(std::get<bool>(a[0]), s(1));
      return {};
    case 22: {
      double t = d(0), ta = d(1), tb = d(2), tc = d(3);
      const bool ok = nev.SubTotal(t, ta, tb, tc);
      a[0] = t, a[1] = ta, a[2] = tb, a[3] = tc;
      return ok;
    }
    case 23:
      return nev.VoidAll();
    case 24:
      return nev.AddSum(s(0), s(1), d(2), l(3));
    case 25:
      return nev.OpenDraw();
    case 26:
      return nev.Dublicate();
    case 27:
      return nev.EJournal();
    case 28:
      return nev.ZDay();
    case 29: {
      const std::optional<bool> r = nev.ZArticles();
      if (r) return *r;
      return {};
    }
    case 30:
      return nev.ZDep();
    case 31:
      return nev.ZCasher();
    case 32:
      return nev.Pay(l(0), d(1));
    case 33:
      return nev.GetNumberofNotes();
    case 34:
      return nev.NoteInfo();
    case 35:
      return nev.GetStatus();
    case 36:
      nev.SetStatus();
      return {};
    case 37: {
      std::string num = s(0);
      nev.SendSerNum(num);
      a[0] = std::move(num);
      return {};
    }
    case 38:
      nev.ZDeny();
      return {};
    case 39:
      nev.ZAllow();
      return {};
    case 40:
      return nev.GetTaxRates();
    case 41:
      return nev.GetFirstFMReport(s(0));
    case 42:
      return nev.GetNextFMReport();
    case 43:
      return nev.ECRInfo();
    case 44:
      return nev.GetArticle(w(0));
    case 45:
      return nev.GetDepartment(w(0));
    case 46:
      nev.SetArticle(s(0), s(1), s(2), b(3), b(4), b(5), b(6), s(7), s(8));
      return {};
  }
  throw InvokeError(kErrMemberNotFound, Describe(kErrMemberNotFound));
}

}  // namespace

VarType TypeOf(const Variant& value) {
  static constexpr VarType kTypes[] = {VarType::None,   VarType::Boolean, VarType::Integer,
                                       VarType::Long,   VarType::Double,  VarType::Byte,
                                       VarType::String, VarType::None};
  return kTypes[value.index()];
}

bool IsEmpty(const Variant& value) {
  return std::holds_alternative<std::monostate>(value);
}

bool ToBoolean(const Variant& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b;
  if (const auto* s = std::get_if<std::string>(&value)) {
    const std::string_view t = Trim(*s);
    if (SameName(t, "true")) return true;
    if (SameName(t, "false")) return false;
  }
  return NumberOf(value) != 0;
}

int16_t ToInteger(const Variant& value) {
  return ToIntegral<int16_t>(value, -32768.0, 32767.0);
}

int32_t ToLong(const Variant& value) {
  return ToIntegral<int32_t>(value, -2147483648.0, 2147483647.0);
}

uint8_t ToByte(const Variant& value) {
  return ToIntegral<uint8_t>(value, 0.0, 255.0);
}

double ToDouble(const Variant& value) {
  return NumberOf(value);
}

std::string FormatDouble(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return "0";
  return std::string(buffer, end);
}

std::string ToText(const Variant& value) {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(int16_t v) const { return std::to_string(v); }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return FormatDouble(v); }
    std::string operator()(uint8_t v) const { return std::to_string(v); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(Missing) const { Fail(kErrTypeMismatch, "argument is missing"); }
  };
  return std::visit(Visitor{}, value);
}

Variant ConvertTo(const Variant& value, VarType type) {
  switch (type) {
    case VarType::Integer:
      return ToInteger(value);
    case VarType::Long:
      return ToLong(value);
    case VarType::Double:
      return ToDouble(value);
    case VarType::Byte:
      return ToByte(value);
    case VarType::String:
      return ToText(value);
    case VarType::Boolean:
      return ToBoolean(value);
    case VarType::None:
    case VarType::Variant:
      break;
  }
  return value;
}

InvokeError::InvokeError(int32_t number, std::string description, int positional, int named)
    : RuntimeError({number, std::move(description), "NEVComServer"}),
      positional_(positional),
      named_(named) {}

std::vector<int32_t> ResolveNames(std::span<const std::string_view> names) {
  std::vector<int32_t> ids(names.size(), kDispidUnknown);
  if (names.empty()) return ids;
  const MemberInfo* member = FindMember(names[0]);
  if (member == nullptr) return ids;
  ids[0] = member->dispid;
  // A property's parameter names are those of its put.
  const MemberInfo* with_params = member;
  if (member->kind == MemberKind::PropertyGet) {
    if (const MemberInfo* put = FindMember(member->name, MemberKind::PropertyPut)) {
      with_params = put;
    }
  }
  for (std::size_t i = 1; i < names.size(); ++i) {
    const int index = FindParam(*with_params, names[i]);
    if (index >= 0) ids[i] = index;
  }
  return ids;
}

bool AllResolved(std::span<const int32_t> ids) {
  for (int32_t id : ids) {
    if (id == kDispidUnknown) return false;
  }
  return true;
}

InvokeResult Invoke(NEV& nev, int32_t dispid, MemberKind kind, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named) {
  const MemberInfo* member = FindForInvoke(dispid, kind);
  if (member == nullptr) {
    throw InvokeError(kErrMemberNotFound, Describe(kErrMemberNotFound));
  }
  return Invoke(nev, *member, positional, named);
}

namespace {

// Arguments converted to the parameter types, and where each came from: a positional index, a
// named index as ~index, or nothing (the default was taken).
struct Bound {
  std::vector<Variant> args;
  std::vector<std::optional<int>> source;
};

Bound Bind(const MemberInfo& member, const std::vector<Variant>& positional,
           const std::vector<NamedArgument>& named) {
  const std::size_t count = member.params.size();
  const std::string where = " (" + std::string(member.name) + ")";
  if (positional.size() > count) {
    throw InvokeError(kErrBadParamCount,
                      Describe(kErrBadParamCount) + ": " + std::string(member.name) + " takes " +
                          std::to_string(count) + ", " + std::to_string(positional.size()) +
                          " given",
                      static_cast<int>(count));
  }

  // Where each parameter's value comes from: positional index, or named index (as ~index).
  std::vector<std::optional<int>> source(count);
  for (std::size_t i = 0; i < positional.size(); ++i) {
    if (!std::holds_alternative<Missing>(positional[i])) source[i] = static_cast<int>(i);
  }
  for (std::size_t j = 0; j < named.size(); ++j) {
    int32_t index = named[j].param;
    if (index == kDispidPropertyPut && member.kind == MemberKind::PropertyPut && count > 0) {
      index = static_cast<int32_t>(count) - 1;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= count) {
      throw InvokeError(kErrParamNotFound, Describe(kErrParamNotFound) + where, -1,
                        static_cast<int>(j));
    }
    if (source[index] || (static_cast<std::size_t>(index) < positional.size() &&
                          !std::holds_alternative<Missing>(positional[index]))) {
      throw InvokeError(kErrInvalidArgument,
                        "Argument " + Quoted(member.params[index].name) + " is given twice" + where,
                        -1, static_cast<int>(j));
    }
    source[index] = ~static_cast<int>(j);
  }

  // Convert every argument before anything is called.
  std::vector<Variant> args(count);
  for (std::size_t i = 0; i < count; ++i) {
    const ParamInfo& param = member.params[i];
    if (!source[i]) {
      if (!param.optional) {
        throw InvokeError(kErrNotOptional,
                          Describe(kErrNotOptional) + ": " + Quoted(param.name) + where,
                          static_cast<int>(i));
      }
      args[i] = DefaultOf(param);
      continue;
    }
    const int from = *source[i];
    const Variant& value = from >= 0 ? positional[from] : named[~from].value;
    try {
      args[i] = ConvertTo(value, param.type);
    } catch (const RuntimeError& e) {
      throw InvokeError(e.number(), e.record().description + " for " + Quoted(param.name) + where,
                        from >= 0 ? from : -1, from >= 0 ? -1 : ~from);
    }
  }
  return {std::move(args), std::move(source)};
}

}  // namespace

std::vector<Variant> BindArguments(const MemberInfo& member, const std::vector<Variant>& positional,
                                   const std::vector<NamedArgument>& named) {
  return Bind(member, positional, named).args;
}

InvokeResult Invoke(NEV& nev, const MemberInfo& member, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named) {
  auto [args, source] = Bind(member, positional, named);
  const std::size_t count = member.params.size();
  InvokeResult result;
  result.result = Call(nev, member, args);
  for (std::size_t i = 0; i < count; ++i) {
    if (!member.params[i].by_ref) continue;
    result.outputs.emplace_back(member.params[i].name, args[i]);
    if (!source[i]) continue;
    const int from = *source[i];
    (from >= 0 ? positional[from] : named[~from].value) = args[i];
  }
  return result;
}

}  // namespace nev::service
