// Reading numbers from texts: the one scanner, shared by the operations (a device's totals in the
// system's decimal symbol, the leading number of a text) and by the late-bound conversions.
#pragma once

#include <cstddef>
#include <string_view>

namespace nev::operations {

// The letters that may start an exponent.
enum class ExponentLetters {
  kE,     // "e" or "E"
  kEOrD,  // also "d" or "D", as the system's number reader takes them
};

// How a scanned number fits a Double.
enum class NumberFit {
  kFits,
  kTooLarge,  // beyond the range of a Double
  kTooSmall,  // below its smallest magnitude: value is a zero with the number's sign
};

struct ScannedNumber {
  std::size_t length = 0;  // characters taken from the start of the text; 0: no number there
  double value = 0;
  NumberFit fit = NumberFit::kFits;
};

// The number at the start of text: an optional sign, digits with at most one decimal_symbol (at
// least one digit before or after it), then an optional exponent (letter, optional sign,
// digits; left unread when no digit follows). Reading stops at the first character that cannot
// continue the number. No blanks are skipped, and "nan", "inf" or hexadecimal are no numbers.
ScannedNumber ScanNumber(std::string_view text, std::string_view decimal_symbol,
                         ExponentLetters exponent_letters);

// The plain leading number of a text: blanks ignored, "." as the decimal point whatever the
// locale, reading stops at the first character that cannot continue it; 0 when there is none.
// A number too large for a Double is run-time error 6.
double LeadingNumber(std::string_view text);

// Locale-aware text-to-number conversion of a text written with decimal_symbol: blanks around
// it, a sign, digits with one decimal symbol, an optional exponent. Anything else is run-time
// error 13 (an empty text included); a value too large for a Double is run-time error 6.
double ParseLocaleNumber(std::string_view text, std::string_view decimal_symbol);

}  // namespace nev::operations
