#include "nev/port_spec.h"

#include <charconv>
#include <cstdio>

#include "platform/serial_port.h"

namespace nev {

namespace {

constexpr std::size_t kShownMax = 64;

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t n = lead < 0x80                   ? 1
                        : lead >= 0xC2 && lead < 0xE0 ? 2
                        : lead >= 0xE0 && lead < 0xF0 ? 3
                        : lead >= 0xF0 && lead < 0xF5 ? 4
                                                      : 0;
  if (n == 0 || i + n > text.size()) return 0;
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if (n > 1) {
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
      return 0;
    }
  }
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// The text in double quotes, control characters, quotes, backslashes and bytes that are not
// UTF-8 as \xNN, cut at kShownMax bytes (never inside a UTF-8 sequence), so that the message
// itself is safe to print, log or put in JSON.
std::string Shown(std::string_view text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size() && i < kShownMax) {
    const std::size_t n = Utf8Length(text, i);
    const auto byte = static_cast<unsigned char>(text[i]);
    if (n > 1 && i + n <= kShownMax) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    if (n > 1) break;
    if (n == 0 || byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += text[i];
    }
    ++i;
  }
  out += '"';
  if (i < text.size()) out += "...";
  return out;
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

[[noreturn]] void Refuse(std::string_view text, const std::string& reason) {
  throw PortSpecError(Shown(text), reason);
}

}  // namespace

PortSpecError::PortSpecError(const std::string& shown, const std::string& reason)
    : std::invalid_argument(shown.empty() ? reason : shown + ": " + reason),
      shown_(shown),
      reason_(reason) {}

PortSpec PortSpec::Parse(std::string_view text) {
  if (text.empty()) throw PortSpecError("", "the port text is empty");
  if (text.size() > kMaxPortText) {
    Refuse(text, "longer than " + std::to_string(kMaxPortText) + " bytes");
  }
  PortSpec spec;
  if (text.find_first_not_of("0123456789") == std::string_view::npos) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), spec.number);
    if (ec != std::errc() || end != text.data() + text.size() || spec.number < 1 ||
        spec.number > kMaxPortNumber) {
      Refuse(text, "not a port number from 1 to " + std::to_string(kMaxPortNumber) +
                       " (nor a device path)");
    }
    spec.kind = PortKind::kNumber;
    return spec;
  }
  const char first = text.front();
  bool control = false;
  for (const char c : text) control = control || IsControl(c);
  if (control || (first >= '0' && first <= '9') || first == '-' || first == '+' || first == ' ' ||
      text.back() == ' ') {
    Refuse(text, "not a port number or a device path");
  }
  spec.kind = PortKind::kDevice;
  spec.device = std::string(text);
  return spec;
}

std::string PortSpec::Text() const {
  return kind == PortKind::kNumber ? std::to_string(number) : device;
}

bool LineSpeedSupported(int32_t baud) {
  return platform::SpeedSupported(baud);
}

std::string LineSpeedsText() {
  return platform::SpeedsText();
}

}  // namespace nev
