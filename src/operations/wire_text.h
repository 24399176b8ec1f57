// A caller's text on its way into a device field. Fields are ended by TAB or joined to the next
// one, so a text holding TAB or another control byte would shift or add fields on the wire;
// and a character the device's code page cannot carry would be printed as something else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nev::operations {

// How a caller's text may reach the wire.
enum class TextRule {
  kField,     // no byte below 0x20, and every character in the device's code page
  kFreeForm,  // any bytes (the caller's affair), but every character in the code page
};

// The text in the device's code page. Refused with run-time error 5, naming param, when it holds
// TAB or a control byte (kField), or, unless lossy, a character the code page cannot represent
// (or invalid UTF-8). With lossy such characters become "?" (the platform's conversion).
std::string WireText(std::string_view utf8, const char* param, bool lossy,
                     TextRule rule = TextRule::kField);

// The same refusal for a text that is only checked, not converted (control bytes only).
void CheckFieldText(std::string_view text, const char* param);

// An argument that must stay within lo..hi (a number joined to the next field, a 16-bit or byte
// value): run-time error 5 naming param, its value and the range otherwise.
void CheckFieldNumber(double value, double lo, double hi, const char* param);

// Amounts and quantities keep their cents exactly below 10^13; beyond that a value is a mistake.
inline constexpr double kAmountLimit = 1e13;
// Refuses a NaN, infinite or too large amount or quantity with run-time error 5 that names param
// and the value ("Q = 1e+300 is too large for an amount").
void CheckAmount(double value, const char* param);

// Refuses a NaN or infinite amount or quantity with run-time error 5.
void CheckFinite(double value);
// Refuses an integer outside lo..hi with run-time error 5.
void CheckRange(int64_t value, int64_t lo, int64_t hi);

// The one character whose code is code; run-time error 5 outside 0..255.
char CodeChar(int64_t code);
// The hexadecimal digits "0".."9" and "A".."F" of text in digit-nibble form; others dropped.
std::string HexDigitsToNibbles(std::string_view text);

// The text without its leading and trailing space characters (0x20 only).
std::string TrimSpaces(std::string_view text);

}  // namespace nev::operations
