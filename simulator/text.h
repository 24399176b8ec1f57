// Text helpers of the device: its code page (Windows-1251) and its fixed-point numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nevsim {

// Windows-1251 bytes to UTF-8; the one unassigned byte (0x98) becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view bytes);
// UTF-8 to Windows-1251; characters the code page lacks (and broken UTF-8) become '?'.
std::string Utf8ToCp1251(std::string_view text);

// A decimal number with "." or "," as its decimal symbol and an optional sign, as a whole number
// of 10^-decimals units, rounded half away from zero. No grouping, blanks or exponents; at most
// twelve digits before the decimal symbol.
std::optional<int64_t> ParseFixed(std::string_view text, int decimals);
// A whole number (digits with an optional sign), at most nine digits.
std::optional<int64_t> ParseWhole(std::string_view text);
// Value of 10^-decimals units as text with "." and exactly `decimals` decimals: "12.50", "-0.05".
std::string FormatFixed(int64_t value, int decimals);

// Fields separated by TAB; "a\tb\t" gives {"a", "b", ""}.
std::vector<std::string> SplitTabs(std::string_view text);

}  // namespace nevsim
