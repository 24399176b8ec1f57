#include "output.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace nevctl {
namespace {

using Json = nlohmann::ordered_json;

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

// Writes a document in nevctl's one-line style ("key": value, ", " between items), with every
// double as the shortest text that reads back (nlohmann's own form would write 4.0 for 4).
void Write(std::string& out, const Json& j) {
  switch (j.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, value] : j.items()) {
        if (!first) out += ", ";
        first = false;
        out += JsonString(key);
        out += ": ";
        Write(out, value);
      }
      out += '}';
      break;
    }
    case Json::value_t::array: {
      out += '[';
      for (std::size_t i = 0; i < j.size(); ++i) {
        if (i) out += ", ";
        Write(out, j[i]);
      }
      out += ']';
      break;
    }
    case Json::value_t::number_float: {
      const double d = j.get<double>();
      out += std::isfinite(d) ? nev::automation::FormatDouble(d) : "null";
      break;
    }
    default:
      out += j.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
}

Json ToJson(const Variant& value) {
  struct Visitor {
    Json operator()(std::monostate) const { return nullptr; }
    Json operator()(nev::automation::Missing) const { return nullptr; }
    Json operator()(bool b) const { return b; }
    Json operator()(int16_t v) const { return v; }
    Json operator()(int32_t v) const { return v; }
    Json operator()(uint8_t v) const { return v; }
    Json operator()(double v) const { return std::isfinite(v) ? Json(v) : Json(nullptr); }
    Json operator()(const std::string& s) const { return s; }
  };
  return std::visit(Visitor{}, value);
}

std::string HexBytes(const std::array<uint8_t, 3>& bytes) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X %02X %02X", bytes[0], bytes[1], bytes[2]);
  return text;
}

// The named flags that are set, for the readable form.
std::string FlagNames(const nev::StatusFlags& f) {
  std::string names;
  auto add = [&](bool on, const char* name) {
    if (!on) return;
    if (!names.empty()) names += ", ";
    names += name;
  };
  add(f.general_error, "general error");
  add(f.no_paper, "no paper");
  add(f.fiscal_receipt_open, "fiscal receipt open");
  add(f.nonfiscal_receipt_open, "non-fiscal receipt open");
  return names;
}

// Arguments are shown in full up to this many bytes; longer ones by their start and size.
constexpr std::size_t kShownTextMax = 120;

std::string ShownValue(const Variant& value) {
  const auto* s = std::get_if<std::string>(&value);
  if (s == nullptr || s->size() <= kShownTextMax) return ReadableValue(value);
  std::size_t cut = 60;
  while (cut > 0 && (static_cast<unsigned char>((*s)[cut]) & 0xC0) == 0x80) --cut;
  return "\"" + Escaped(std::string_view(*s).substr(0, cut), false) + "...\" (" +
         std::to_string(s->size()) + " bytes)";
}

}  // namespace

std::string JsonString(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string JsonValue(const Variant& value) {
  std::string out;
  Write(out, ToJson(value));
  return out;
}

std::string Printable(std::string_view text) {
  constexpr std::size_t kMax = 64;
  if (text.size() <= kMax) return Escaped(text, false);
  std::size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return Escaped(text.substr(0, cut), false) + "...";
}

std::string_view OutcomeText(nev::Outcome outcome) {
  switch (outcome) {
    case nev::Outcome::kAnswered:
      return "answered";
    case nev::Outcome::kRefused:
      return "refused by the device";
    case nev::Outcome::kNak:
      return "rejected by the device with NAK";
    case nev::Outcome::kTimeout:
      return "no answer in time";
    case nev::Outcome::kPortError:
      return "the port failed";
    case nev::Outcome::kBusy:
      return "the reply wait was busy; nothing was sent";
    case nev::Outcome::kNoConnection:
      return "no open port; nothing was sent";
    case nev::Outcome::kBadArgument:
      return "a bad argument; nothing was sent";
  }
  return "unknown";
}

std::string JsonCall(const CallRecord& call) {
  Json j = Json::object();
  j["member"] = call.member;
  j["result"] = ToJson(call.result);
  Json out = Json::object();
  for (const auto& [name, value] : call.out) out[name] = ToJson(value);
  j["out"] = std::move(out);
  Json messages = Json::array();
  for (const auto& m : call.messages) {
    messages.push_back(Json{{"title", m.title}, {"style", m.style}, {"text", m.text}});
  }
  j["messages"] = std::move(messages);
  j["ok"] = call.ok();
  j["outcome"] = nev::OutcomeName(call.outcome);
  j["reply"] = call.reply ? Json(*call.reply) : Json(nullptr);
  if (call.status) {
    j["status"] =
        Json{{"bytes", Json::array({(*call.status)[0], (*call.status)[1], (*call.status)[2]})},
             {"flags", Json{{"generalError", call.flags.general_error},
                            {"noPaper", call.flags.no_paper},
                            {"fiscalReceiptOpen", call.flags.fiscal_receipt_open},
                            {"nonfiscalReceiptOpen", call.flags.nonfiscal_receipt_open}}}};
  } else {
    j["status"] = nullptr;
  }
  if (call.error) {
    j["error"] = Json{{"number", call.error->number}, {"description", call.error->description}};
    if (!call.error->port.empty()) j["error"]["port"] = call.error->port;
    if (call.error->speed > 0) j["error"]["speed"] = call.error->speed;
    if (!call.error->remedy.empty()) j["error"]["remedy"] = call.error->remedy;
  } else {
    j["error"] = nullptr;
  }
  j["line"] = call.line > 0 ? Json(call.line) : Json(nullptr);
  j["flags"] = call.status ? Json(nev::FlagWords(call.flags)) : Json::array();
  if (!call.nak_cause.empty()) j["cause"] = call.nak_cause;
  if (call.simulated) j["simulated"] = true;
  std::string text;
  Write(text, j);
  return text;
}

std::string ReadableValue(const Variant& value) {
  struct Visitor {
    std::string operator()(std::monostate) const { return "Empty"; }
    std::string operator()(nev::automation::Missing) const { return "Missing"; }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(int16_t v) const { return std::to_string(v); }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(uint8_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return nev::automation::FormatDouble(v); }
    std::string operator()(const std::string& s) const { return "\"" + Escaped(s, false) + "\""; }
  };
  return std::visit(Visitor{}, value);
}

void WriteReadable(std::ostream& out, const CallRecord& call) {
  if (call.simulated) out << "[simulator] ";
  out << call.member << "(";
  for (std::size_t i = 0; i < call.shown.size(); ++i) {
    if (i) out << ", ";
    if (!call.shown[i].first.empty()) out << call.shown[i].first << "=";
    out << ShownValue(call.shown[i].second);
  }
  out << ")";
  if (call.failed) {
    out << " not made\n";
  } else if (call.procedure) {
    out << "\n";
  } else {
    out << " -> " << ReadableValue(call.result) << "\n";
  }
  for (const auto& [name, value] : call.out) {
    out << "    " << name << " = " << ReadableValue(value) << "\n";
  }
  // The device's answer, where the result does not already show it.
  if (call.reply && !call.reply->empty() && !std::holds_alternative<std::string>(call.result)) {
    out << "    reply " << ReadableValue(*call.reply) << "\n";
  }
  // Every condition the status reports (a status code names only the highest one).
  if (call.ok() && call.status && !FlagNames(call.flags).empty()) {
    out << "    status: " << FlagNames(call.flags) << "\n";
  }
  bool error_shown = false;
  for (const auto& m : call.messages) {
    out << "    message box (style " << m.style << ", \"" << m.title << "\"): " << m.text << "\n";
    if (call.error && m.text == call.error->description) error_shown = true;
  }
  if (!call.ok() && !call.failed) {
    out << "    not accepted: " << OutcomeText(call.outcome);
    if (call.status) {
      out << " (status " << HexBytes(*call.status);
      const std::string flags = FlagNames(call.flags);
      if (!flags.empty()) out << ": " << flags;
      out << ")";
    }
    out << "\n";
  }
  if (call.error && !error_shown && !call.failed) {
    out << "    error " << call.error->number << ": " << call.error->description << "\n";
  }
  if (call.outcome == nev::Outcome::kNak && !call.failed) {
    if (!call.nak_cause.empty()) {
      out << "    the device's last status said: " << call.nak_cause << "\n";
    } else {
      out << "    a NAK to a printing command often means no paper or a receipt in another "
             "state: nevctl call GetStatus tells\n";
    }
  }
}

}  // namespace nevctl
