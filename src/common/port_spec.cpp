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

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool IsSerialChar(char c) {
  return IsHostChar(c);
}

// "HOST:PORT" after a network scheme.
void ParseHostPort(std::string_view text, std::string_view rest, PortSpec& spec) {
  const std::string form = "not HOST:PORT (a name or address, a colon, a TCP port 1 to 65535)";
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos) Refuse(text, form);
  std::string_view host = rest.substr(0, colon);
  const std::string_view port = rest.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.empty() ||
        host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
      Refuse(text, "not an IPv6 address in brackets");
    }
  } else if (host.empty() || host.size() > kMaxHostText) {
    Refuse(text, form);
  } else {
    for (const char c : host) {
      if (!IsHostChar(c)) Refuse(text, "not a host name or address (letters, digits, '-', '.')");
    }
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 1 ||
      value > 65535) {
    Refuse(text, form);
  }
  spec.host = std::string(host);
  spec.tcp_port = static_cast<uint16_t>(value);
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
  constexpr std::string_view kTcpScheme = "tcp://", kRfcScheme = "rfc2217://",
                             kSerialScheme = "serial:";
  if (text.starts_with(kTcpScheme) || text.starts_with(kRfcScheme)) {
    const bool tcp = text.starts_with(kTcpScheme);
    spec.kind = tcp ? PortKind::kTcp : PortKind::kRfc2217;
    ParseHostPort(text, text.substr((tcp ? kTcpScheme : kRfcScheme).size()), spec);
    return spec;
  }
  if (text.starts_with(kSerialScheme)) {
    const std::string_view number = text.substr(kSerialScheme.size());
    bool good = !number.empty() && number.size() <= kMaxSerialText;
    for (const char c : number) good = good && IsSerialChar(c);
    if (!good) {
      Refuse(text, "not a serial number (1 to " + std::to_string(kMaxSerialText) +
                       " letters, digits, '-', '_' or '.')");
    }
    spec.kind = PortKind::kSerial;
    spec.serial = std::string(number);
    return spec;
  }
  if (text == "auto") {
    spec.kind = PortKind::kAuto;
    return spec;
  }
  if (const std::size_t scheme = text.find("://"); scheme != std::string_view::npos) {
    bool word = scheme > 0;
    for (const char c : text.substr(0, scheme)) word = word && IsHostChar(c);
    if (word) Refuse(text, "not a line this driver knows (tcp://, rfc2217://, serial:, a path)");
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
  const auto host_port = [this] {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(tcp_port);
  };
  switch (kind) {
    case PortKind::kNumber:
      return std::to_string(number);
    case PortKind::kDevice:
      return device;
    case PortKind::kTcp:
      return "tcp://" + host_port();
    case PortKind::kRfc2217:
      return "rfc2217://" + host_port();
    case PortKind::kSerial:
      return "serial:" + serial;
    case PortKind::kAuto:
      return "auto";
  }
  return device;
}

bool LineSpeedSupported(int32_t baud) {
  return platform::SpeedSupported(baud);
}

std::string LineSpeedsText() {
  return platform::SpeedsText();
}

}  // namespace nev
