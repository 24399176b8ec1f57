#include "receipt/text_rules.h"

#include <cstdint>
#include <cstdio>

namespace nev::receipt {

namespace {

// The characters of Windows-1251 bytes 0x80..0xBF (0 = no character); 0xC0..0xFF are U+0410..044F.
constexpr uint16_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

bool InCodePage(uint32_t cp) {
  if (cp < 0x80) return true;
  if (cp >= 0x0410 && cp <= 0x044F) return true;
  for (uint16_t c : kHigh) {
    if (c != 0 && c == cp) return true;
  }
  return false;
}

}  // namespace

std::string CheckDeviceText(const std::string& utf8, std::size_t max_chars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0;
    int extra = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0 && b >= 0xC2) {
      cp = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0 && b <= 0xF4) {
      cp = b & 0x07;
      extra = 3;
    } else {
      return "is not valid UTF-8";
    }
    if (i + static_cast<std::size_t>(extra) >= utf8.size() && extra > 0)
      return "is not valid UTF-8";
    for (int k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) return "is not valid UTF-8";
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)) return "is not valid UTF-8";
    if (cp == '\t') return "must not hold a TAB";
    if (cp < 0x20 || cp == 0x7F) return "must not hold control characters";
    if (!InCodePage(cp)) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "holds U+%04X, which the device cannot print",
                    static_cast<unsigned>(cp));
      return buf;
    }
    i += static_cast<std::size_t>(extra) + 1;
    ++chars;
  }
  if (chars > max_chars) return "is longer than " + std::to_string(max_chars) + " characters";
  return "";
}

}  // namespace nev::receipt
