// Texts the device can take: characters of its code page (Windows-1251), no TAB and no control
// characters, at most a given number of characters.
#pragma once

#include <cstddef>
#include <string>

namespace nev::receipt {

inline constexpr std::size_t kMaxTextChars = 48;

// Empty when utf8 is fit for the device; else why it is not.
std::string CheckDeviceText(const std::string& utf8, std::size_t max_chars);

}  // namespace nev::receipt
