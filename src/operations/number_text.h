// Number texts of the command data: each form is written once here and shared by the command
// methods. Texts are UTF-8; the decimal symbol is the system's unless one is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nev::operations {

// Refuses a NaN or infinite amount or quantity with run-time error 5.
void CheckFinite(double value);
// Refuses an integer outside lo..hi with run-time error 5.
void CheckRange(int64_t value, int64_t lo, int64_t hi);

// Two-digit text (pattern "00"): rounded to a whole number, halves away from zero, at least two
// digits, a minus sign in front of a negative value (none when it rounds to zero).
std::string TwoDigitText(double value);
std::string TwoDigitText(int64_t value);

// The plain leading number of a text: blanks ignored, "." as the decimal point whatever the
// locale, reading stops at the first character that cannot continue it; 0 when there is none.
// A number too large for a Double is run-time error 6.
double LeadingNumber(std::string_view text);

// Operator field: two-digit text of the leading number of casher, then Pass, then TAB. A number
// outside 0..99 (after rounding) is run-time error 5 naming casher.
std::string OperatorField(std::string_view casher, std::string_view pass);

// Amount text (pattern "###0.00"): two decimals, halves away from zero, no grouping.
std::string AmountText(double value);
std::string AmountText(double value, std::string_view decimal_symbol);

// Whole-number text: decimal digits, minus sign for a negative value.
std::string WholeNumberText(int64_t value);

// General text: rounded to 15 significant digits, plain decimal (never an exponent), no trailing
// zeros, no decimal symbol for a whole value.
std::string GeneralText(double value);
std::string GeneralText(double value, std::string_view decimal_symbol);

// Sign-position form: one space before a value of 0 or more, "-" before a negative one.
std::string SignPositionText(int64_t value);

// The one character whose code is code; run-time error 5 outside 0..255.
char CodeChar(int64_t code);
// Digit-nibble form of value: the character 0x30 + value ("0".."9", ":".."?" for 0..15).
char DigitNibble(int64_t value);
// The hexadecimal digits "0".."9" and "A".."F" of text in digit-nibble form; others dropped.
std::string HexDigitsToNibbles(std::string_view text);

// Locale-aware text-to-number conversion of a text written with decimal_symbol: blanks around
// it, a sign, digits with one decimal symbol, an optional exponent. Anything else is run-time
// error 13 (an empty text included); a value too large for a Double is run-time error 6.
double ParseLocaleNumber(std::string_view text, std::string_view decimal_symbol);

// The text without its leading and trailing space characters (0x20 only).
std::string TrimSpaces(std::string_view text);

}  // namespace nev::operations
