#include "operations/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "nev/error.h"
#include "platform/regional.h"

namespace nev::operations {

namespace {

// A finite Double as the decimal digits of its shortest round-trip form:
// value = 0.digits x 10^point, with the sign apart.
struct Decimal {
  bool negative = false;
  std::string digits = "0";
  int point = 1;

  bool IsZero() const { return digits.find_first_not_of('0') == std::string::npos; }
};

Decimal ToDecimal(double value) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  Decimal d;
  d.digits.clear();
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') {
    d.negative = true;
    ++i;
  }
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] != '.') d.digits.push_back(text[i]);
  }
  int exponent = 0;
  if (i < text.size()) {
    std::string_view exp_text = text.substr(i + 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  }
  d.point = exponent + 1;
  if (d.digits.empty()) d.digits = "0";
  return d;
}

// Keeps the first `keep` digits, rounding half away from zero on the digits dropped.
void RoundKeep(Decimal& d, int keep) {
  if (keep >= static_cast<int>(d.digits.size())) return;
  if (keep < 0) {  // the first dropped digit is a leading zero: below half a unit
    d.digits = "0";
    d.point = 1;
    return;
  }
  const bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
  d.digits.resize(static_cast<std::size_t>(keep));
  if (up) {
    int i = keep - 1;
    for (; i >= 0; --i) {
      if (d.digits[static_cast<std::size_t>(i)] == '9') {
        d.digits[static_cast<std::size_t>(i)] = '0';
      } else {
        ++d.digits[static_cast<std::size_t>(i)];
        break;
      }
    }
    if (i < 0) {
      d.digits.insert(d.digits.begin(), '1');
      ++d.point;
    }
  }
  if (d.digits.empty()) {
    d.digits = "0";
    d.point = 1;
  }
}

// The digits before the decimal point, at least min_digits of them (zero-padded).
std::string IntegerPart(const Decimal& d, std::size_t min_digits) {
  std::string text;
  if (d.point > 0) {
    const auto n = static_cast<std::size_t>(d.point);
    text = d.digits.substr(0, n);
    if (n > d.digits.size()) text.append(n - d.digits.size(), '0');
    const auto first = text.find_first_not_of('0');
    text.erase(0, first == std::string::npos ? text.size() : first);
  }
  if (text.size() < min_digits) text.insert(0, min_digits - text.size(), '0');
  return text;
}

// Digit i after the decimal point (0-based).
char FractionDigit(const Decimal& d, int i) {
  const int index = d.point + i;
  if (index < 0 || index >= static_cast<int>(d.digits.size())) return '0';
  return d.digits[static_cast<std::size_t>(index)];
}

std::string Fixed(double value, int decimals, std::size_t min_int_digits,
                  std::string_view decimal_symbol) {
  CheckFinite(value);
  Decimal d = ToDecimal(value);
  RoundKeep(d, d.point + decimals);
  std::string text = (d.negative && !d.IsZero()) ? "-" : "";
  text += IntegerPart(d, min_int_digits);
  if (decimals > 0) {
    text += decimal_symbol;
    for (int i = 0; i < decimals; ++i) text.push_back(FractionDigit(d, i));
  }
  return text;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A number at the start of text: sign, digits with one decimal point, optional exponent
// (E or D, as the system's number reader takes them).
struct NumberScan {
  std::size_t length = 0;  // characters taken (0: no number)
  std::string c_text;      // the same number with "." and "e", for from_chars
  int64_t magnitude = 0;   // decimal exponent of the first significant digit
  bool zero = true;
};

NumberScan ScanNumber(std::string_view s, std::string_view point) {
  NumberScan scan;
  std::size_t i = 0;
  std::string mantissa;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') scan.c_text.push_back('-');
    ++i;
  }
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && IsDigit(s[i])) {
    mantissa.push_back(s[i++]);
    ++int_digits;
  }
  std::string fraction;
  if (!point.empty() && s.substr(i).starts_with(point)) {
    std::size_t j = i + point.size();
    while (j < s.size() && IsDigit(s[j])) {
      fraction.push_back(s[j++]);
      ++frac_digits;
    }
    if (int_digits + frac_digits > 0) i = j;
  }
  if (int_digits + frac_digits == 0) return scan;
  scan.c_text += mantissa.empty() ? "0" : mantissa;
  if (!fraction.empty()) scan.c_text += "." + fraction;

  int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    std::size_t j = i + 1;
    bool negative = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) negative = s[j++] == '-';
    if (j < s.size() && IsDigit(s[j])) {
      std::string exp_digits;
      while (j < s.size() && IsDigit(s[j])) {
        exponent = std::min<int64_t>(exponent * 10 + (s[j] - '0'), 1'000'000'000);
        exp_digits.push_back(s[j++]);
      }
      if (negative) exponent = -exponent;
      scan.c_text += std::string(negative ? "e-" : "e") + exp_digits;
      i = j;
    }
  }
  scan.length = i;

  const std::string all = mantissa + fraction;
  const auto first = all.find_first_not_of('0');
  if (first != std::string::npos) {
    scan.zero = false;
    scan.magnitude = static_cast<int64_t>(int_digits) - 1 - static_cast<int64_t>(first) + exponent;
  }
  return scan;
}

// Converts a scanned number; too large for a Double is error 6, too small reads as zero.
double Convert(const NumberScan& scan) {
  double value = 0;
  const char* begin = scan.c_text.data();
  const auto result = std::from_chars(begin, begin + scan.c_text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    if (!scan.zero && scan.magnitude > 0) Raise(kErrOverflow);
    return scan.c_text.starts_with('-') ? -0.0 : 0.0;
  }
  if (result.ec != std::errc()) Raise(kErrTypeMismatch);
  if (!std::isfinite(value)) Raise(kErrOverflow);
  return value;
}

}  // namespace

void CheckFinite(double value) {
  if (!std::isfinite(value)) Raise(kErrInvalidArgument);
}

void CheckRange(int64_t value, int64_t lo, int64_t hi) {
  if (value < lo || value > hi) Raise(kErrInvalidArgument);
}

std::string TwoDigitText(double value) {
  return Fixed(value, 0, 2, "");
}

std::string TwoDigitText(int64_t value) {
  std::string digits =
      std::to_string(value < 0 ? -static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
  if (digits.size() < 2) digits.insert(0, 2 - digits.size(), '0');
  return value < 0 ? "-" + digits : digits;
}

double LeadingNumber(std::string_view text) {
  std::string packed;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n') packed.push_back(c);
  }
  const NumberScan scan = ScanNumber(packed, ".");
  if (scan.length == 0) return 0;
  return Convert(scan);
}

std::string OperatorField(std::string_view casher, std::string_view pass) {
  std::string field = TwoDigitText(LeadingNumber(casher));
  // More digits, or a sign, would run into the password.
  if (field.size() != 2 || field[0] == '-') {
    Raise(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": casher = " +
                                   field.substr(0, 20) + " is out of range (0 to 99)");
  }
  field += pass;
  field.push_back('\t');
  return field;
}

std::string AmountText(double value) {
  return AmountText(value, platform::DecimalSymbol());
}

std::string AmountText(double value, std::string_view decimal_symbol) {
  return Fixed(value, 2, 1, decimal_symbol);
}

std::string WholeNumberText(int64_t value) {
  return std::to_string(value);
}

std::string GeneralText(double value) {
  return GeneralText(value, platform::DecimalSymbol());
}

std::string GeneralText(double value, std::string_view decimal_symbol) {
  CheckFinite(value);
  Decimal d = ToDecimal(value);
  RoundKeep(d, 15);
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  if (d.IsZero()) return "0";
  std::string text = d.negative ? "-" : "";
  text += IntegerPart(d, 1);
  const int fraction_digits = static_cast<int>(d.digits.size()) - d.point;
  if (fraction_digits > 0) {
    text += decimal_symbol;
    for (int i = 0; i < fraction_digits; ++i) text.push_back(FractionDigit(d, i));
  }
  return text;
}

std::string SignPositionText(int64_t value) {
  return value < 0 ? std::to_string(value) : " " + std::to_string(value);
}

char CodeChar(int64_t code) {
  CheckRange(code, 0, 255);
  return static_cast<char>(static_cast<unsigned char>(code));
}

char DigitNibble(int64_t value) {
  return CodeChar(0x30 + value);
}

std::string HexDigitsToNibbles(std::string_view text) {
  std::string nibbles;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      nibbles.push_back(c);
    } else if (c >= 'A' && c <= 'F') {
      nibbles.push_back(DigitNibble(c - 'A' + 10));
    }
  }
  return nibbles;
}

double ParseLocaleNumber(std::string_view text, std::string_view decimal_symbol) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) Raise(kErrTypeMismatch);
  const auto last = text.find_last_not_of(" \t");
  const std::string_view body = text.substr(first, last - first + 1);
  const NumberScan scan = ScanNumber(body, decimal_symbol);
  if (scan.length == 0 || scan.length != body.size()) Raise(kErrTypeMismatch);
  return Convert(scan);
}

std::string TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace nev::operations
