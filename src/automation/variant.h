// The values of late-bound calls and their conversions, with the usual automation rules.
// Portable C++ only: the Windows server converts its VARIANTs to and from these.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace nev::automation {

// Automation types used by the members. None stands for "no result" (procedures, property put).
enum class VarType {
  None,
  Integer,  // signed 16-bit
  Long,     // signed 32-bit
  Double,   // 64-bit IEEE float
  Byte,     // unsigned 8-bit
  String,   // text (UTF-8 here, BSTR through COM)
  Boolean,  // True = -1, False = 0
  Variant,  // any of the above, or empty
};

// An argument that was left out (a gap in a positional list).
struct Missing {
  bool operator==(const Missing&) const = default;
};

// Empty, Boolean, Integer, Long, Double, Byte, String, or Missing.
using Variant =
    std::variant<std::monostate, bool, int16_t, int32_t, double, uint8_t, std::string, Missing>;

// The automation type a variant holds (None for empty and missing).
VarType TypeOf(const Variant& value);
bool IsEmpty(const Variant& value);

// Conversions with the automation rules: empty is 0 / False / ""; True is -1 as a number;
// any non-zero number is True; fractions round half to even; texts are numbers in C-locale form
// ("2.5", "-1e3") or, for Booleans, "True"/"False" in any case. A value outside the target's
// range raises error 6 (Overflow); a text that is not a number, or a missing argument, raises
// error 13 (Type mismatch).
bool ToBoolean(const Variant& value);
int16_t ToInteger(const Variant& value);
int32_t ToLong(const Variant& value);
double ToDouble(const Variant& value);
uint8_t ToByte(const Variant& value);
std::string ToText(const Variant& value);  // Booleans as "True"/"False", numbers in C-locale
Variant ConvertTo(const Variant& value, VarType type);  // Variant and None keep the value

// Numbers in C-locale form, as short as they read back exactly ("2.5", "0.1", "1e+20").
std::string FormatDouble(double value);

}  // namespace nev::automation
