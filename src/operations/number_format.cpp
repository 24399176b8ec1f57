#include "operations/number_format.h"

#include <charconv>
#include <string_view>

#include "operations/wire_text.h"
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

}  // namespace

std::string TwoDigitText(double value) {
  return Fixed(value, 0, 2, "");
}

std::string TwoDigitText(int64_t value) {
  std::string digits =
      std::to_string(value < 0 ? -static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
  if (digits.size() < 2) digits.insert(0, 2 - digits.size(), '0');
  return value < 0 ? "-" + digits : digits;
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

}  // namespace nev::operations
