#include "output.h"

#include <cmath>
#include <cstdio>

namespace nevctl {
namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not well formed.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  uint32_t cp = 0;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

std::string Escaped(std::string_view text, bool json) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += json ? "\\ufffd" : "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, json ? "\\u%04x" : "\\x%02x",
                        static_cast<unsigned char>(c));
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  return nev::service::FormatDouble(value);
}

}  // namespace

std::string JsonString(std::string_view text) {
  return "\"" + Escaped(text, true) + "\"";
}

std::string JsonValue(const Variant& value) {
  struct Visitor {
    std::string operator()(std::monostate) const { return "null"; }
    std::string operator()(nev::service::Missing) const { return "null"; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(int16_t v) const { return std::to_string(v); }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(uint8_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return Number(v); }
    std::string operator()(const std::string& s) const { return JsonString(s); }
  };
  return std::visit(Visitor{}, value);
}

std::string JsonCall(const CallRecord& call) {
  std::string json = "{\"member\": " + JsonString(call.member) +
                     ", \"result\": " + JsonValue(call.result) + ", \"out\": {";
  for (std::size_t i = 0; i < call.out.size(); ++i) {
    if (i) json += ", ";
    json += JsonString(call.out[i].first) + ": " + JsonValue(call.out[i].second);
  }
  json += "}, \"messages\": [";
  for (std::size_t i = 0; i < call.messages.size(); ++i) {
    const auto& m = call.messages[i];
    if (i) json += ", ";
    json += "{\"title\": " + JsonString(m.title) + ", \"style\": " + std::to_string(m.style) +
            ", \"text\": " + JsonString(m.text) + "}";
  }
  json += "]";
  if (call.failed) {
    json += ", \"error\": {\"number\": " + std::to_string(call.error_number) +
            ", \"description\": " + JsonString(call.error_text) + "}";
  }
  json += "}";
  return json;
}

std::string ReadableValue(const Variant& value) {
  struct Visitor {
    std::string operator()(std::monostate) const { return "Empty"; }
    std::string operator()(nev::service::Missing) const { return "Missing"; }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(int16_t v) const { return std::to_string(v); }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(uint8_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return nev::service::FormatDouble(v); }
    std::string operator()(const std::string& s) const { return "\"" + Escaped(s, false) + "\""; }
  };
  return std::visit(Visitor{}, value);
}

void WriteReadable(std::ostream& out, const CallRecord& call) {
  out << call.member << "(";
  for (std::size_t i = 0; i < call.shown.size(); ++i) {
    if (i) out << ", ";
    if (!call.shown[i].first.empty()) out << call.shown[i].first << "=";
    out << ReadableValue(call.shown[i].second);
  }
  out << ")";
  if (call.failed) {
    out << " failed: error " << call.error_number << ": " << call.error_text << "\n";
  } else if (call.procedure) {
    out << "\n";
  } else {
    out << " -> " << ReadableValue(call.result) << "\n";
  }
  for (const auto& [name, value] : call.out) {
    out << "    " << name << " = " << ReadableValue(value) << "\n";
  }
  for (const auto& m : call.messages) {
    out << "    message box (style " << m.style << ", \"" << m.title << "\"): " << m.text << "\n";
  }
}

}  // namespace nevctl
