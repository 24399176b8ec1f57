#include "operations/number_scan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>

#include "nev/error.h"

namespace nev::operations {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsExponentLetter(char c, ExponentLetters letters) {
  if (c == 'e' || c == 'E') return true;
  return letters == ExponentLetters::kEOrD && (c == 'd' || c == 'D');
}

}  // namespace

ScannedNumber ScanNumber(std::string_view s, std::string_view point,
                         ExponentLetters exponent_letters) {
  ScannedNumber scan;
  std::string c_text;  // the same number with "." and "e", for from_chars
  std::size_t i = 0;
  std::string mantissa;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') c_text.push_back('-');
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
  c_text += mantissa.empty() ? "0" : mantissa;
  if (!fraction.empty()) c_text += "." + fraction;

  int64_t exponent = 0;
  if (i < s.size() && IsExponentLetter(s[i], exponent_letters)) {
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
      c_text += std::string(negative ? "e-" : "e") + exp_digits;
      i = j;
    }
  }

  // The decimal exponent of the first significant digit tells an overflow from an underflow.
  const std::string all = mantissa + fraction;
  const auto first = all.find_first_not_of('0');
  const bool zero = first == std::string::npos;
  const int64_t magnitude =
      zero ? 0 : static_cast<int64_t>(int_digits) - 1 - static_cast<int64_t>(first) + exponent;

  const char* begin = c_text.data();
  const auto result = std::from_chars(begin, begin + c_text.size(), scan.value);
  if (result.ec == std::errc::result_out_of_range) {
    if (!zero && magnitude > 0) {
      scan.fit = NumberFit::kTooLarge;
      scan.value = 0;
    } else {
      scan.fit = NumberFit::kTooSmall;
      scan.value = c_text.starts_with('-') ? -0.0 : 0.0;
    }
  } else if (result.ec != std::errc()) {
    return ScannedNumber{};  // not reached: c_text is well formed
  } else if (!std::isfinite(scan.value)) {
    scan.fit = NumberFit::kTooLarge;
  }
  scan.length = i;
  return scan;
}

double LeadingNumber(std::string_view text) {
  std::string packed;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n') packed.push_back(c);
  }
  const ScannedNumber scan = ScanNumber(packed, ".", ExponentLetters::kEOrD);
  if (scan.length == 0) return 0;
  if (scan.fit == NumberFit::kTooLarge) Raise(kErrOverflow);
  return scan.value;
}

double ParseLocaleNumber(std::string_view text, std::string_view decimal_symbol) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) Raise(kErrTypeMismatch);
  const auto last = text.find_last_not_of(" \t");
  const std::string_view body = text.substr(first, last - first + 1);
  const ScannedNumber scan = ScanNumber(body, decimal_symbol, ExponentLetters::kEOrD);
  if (scan.length == 0 || scan.length != body.size()) Raise(kErrTypeMismatch);
  if (scan.fit == NumberFit::kTooLarge) Raise(kErrOverflow);
  return scan.value;
}

}  // namespace nev::operations
