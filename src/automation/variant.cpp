#include "variant.h"

#include <charconv>
#include <cmath>

#include "members.h"
#include "nev/error.h"
#include "operations/number_scan.h"

namespace nev::automation {
namespace {

[[noreturn]] void Fail(int32_t number, const std::string& detail) {
  Raise(number, StandardDescription(number) + ": " + detail);
}

// A value as an error message quotes it: hostile input can be long, so only its start.
std::string Clipped(std::string_view text) {
  constexpr std::size_t kMax = 40;
  if (text.size() <= kMax) return std::string(text);
  return std::string(text.substr(0, kMax)) + "... (" + std::to_string(text.size()) + " bytes)";
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A number in C-locale form: [+-] digits [. digits] [e [+-] digits], at least one digit before
// the exponent, blanks around it. Anything else (including "nan", "inf", hex) is a type mismatch.
double ParseNumber(std::string_view text) {
  const std::string_view s = Trim(text);
  const operations::ScannedNumber scan =
      operations::ScanNumber(s, ".", operations::ExponentLetters::kE);
  if (scan.length == 0 || scan.length != s.size()) {
    Fail(kErrTypeMismatch, "\"" + Clipped(text) + "\" is not a number");
  }
  if (scan.fit == operations::NumberFit::kTooLarge)
    Fail(kErrOverflow, Clipped(s) + " is too large");
  if (scan.fit == operations::NumberFit::kTooSmall) return 0.0;  // underflows to zero
  return scan.value;
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

}  // namespace nev::automation
