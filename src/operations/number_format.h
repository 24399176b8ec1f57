// Number texts of the command data: each form is written once here and shared by the command
// methods. Texts are UTF-8; the decimal symbol is the system's unless one is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nev::operations {

// Two-digit text (pattern "00"): rounded to a whole number, halves away from zero, at least two
// digits, a minus sign in front of a negative value (none when it rounds to zero).
std::string TwoDigitText(double value);
std::string TwoDigitText(int64_t value);

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

}  // namespace nev::operations
