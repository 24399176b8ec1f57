#include "config.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "nev/port_spec.h"

namespace nevd {

using nlohmann::json;

namespace {

[[noreturn]] void Fail(const std::string& field, const std::string& what) {
  throw ConfigError(field.empty() ? what : field + ": " + what);
}

void OnlyKeys(const json& j, const std::string& path, const std::set<std::string>& keys) {
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!keys.count(it.key())) Fail(path + (path.empty() ? "" : ".") + it.key(), "unknown key");
  }
}

std::string Text(const json& j, const std::string& key, const std::string& path, bool required,
                 std::size_t max = 4096) {
  if (!j.contains(key)) {
    if (required) Fail(path, "missing");
    return {};
  }
  if (!j[key].is_string()) Fail(path, "must be a text");
  std::string s = j[key].get<std::string>();
  if (s.size() > max) Fail(path, "too long");
  for (unsigned char c : s) {
    if (c < 0x20) Fail(path, "holds a control character");
  }
  return s;
}

double Number(const json& j, const std::string& key, const std::string& path, double low,
              double high, double fallback) {
  if (!j.contains(key)) return fallback;
  if (!j[key].is_number()) Fail(path, "must be a number");
  const double v = j[key].get<double>();
  if (!std::isfinite(v) || v < low || v > high) {
    Fail(path, "must lie between " + json(low).dump() + " and " + json(high).dump());
  }
  return v;
}

}  // namespace

bool IsLoopback(const std::string& host) {
  if (host == "localhost") return true;
  // Address literals only: a name such as 127.example.net may resolve anywhere.
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

Config DefaultConfig() {
  Config c;
  PrinterConfig p;
  p.id = "sim";
  p.port = "sim";
  c.printers.push_back(p);
  return c;
}

void ApplyListen(Config& config, const std::string& listen) {
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) {
    Fail("listen", "must be HOST:PORT");
  }
  std::string host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string port = listen.substr(colon + 1);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    Fail("listen", "the port must be a number from 0 to 65535");
  }
  const int n = std::stoi(port);
  if (n > 65535) Fail("listen", "the port must be a number from 0 to 65535");
  config.host = host;
  config.port = n;
}

namespace {

std::vector<std::string> ParseOrigins(const json& list) {
  if (!list.is_array()) Fail("cors", "must be an array of origins");
  std::vector<std::string> origins;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string path = "cors[" + std::to_string(i) + "]";
    const json& o = list[i];
    if (!o.is_string()) Fail(path, "must be a text");
    const std::string origin = o.get<std::string>();
    if (origin == "*") Fail(path, "must name an origin, not *");
    if (origin.rfind("http://", 0) != 0 && origin.rfind("https://", 0) != 0) {
      Fail(path, "must be an origin such as http://till.local:8080");
    }
    origins.push_back(origin);
  }
  return origins;
}

PrinterConfig ParsePrinter(const json& pj, const std::string& path) {
  if (!pj.is_object()) Fail(path, "must be an object");
  OnlyKeys(
      pj, path,
      {"id", "port", "baud", "journal", "log", "shared", "speed", "replyTimeoutMs", "maxWaitMs"});
  PrinterConfig p;
  p.id = Text(pj, "id", path + ".id", true, 64);
  if (p.id.empty() ||
      p.id.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                             "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") != std::string::npos) {
    Fail(path + ".id", "may hold only letters, digits, - and _");
  }
  p.port = Text(pj, "port", path + ".port", true, 1024);
  if (p.port.empty()) Fail(path + ".port", "must not be empty");
  if (!p.simulated()) {
    try {
      nev::PortSpec::Parse(p.port);
    } catch (const nev::PortSpecError& e) {
      Fail(path + ".port", e.what());
    }
  }
  const double baud = Number(pj, "baud", path + ".baud", 1, 4000000, 9600);
  if (baud != std::floor(baud)) Fail(path + ".baud", "must be a whole number");
  p.baud = static_cast<int32_t>(baud);
  if (!nev::LineSpeedSupported(p.baud)) {
    Fail(path + ".baud", std::to_string(p.baud) + " is not a line speed the driver can set (" +
                             nev::LineSpeedsText() + ")");
  }
  // "speed" is the line speed by its newer name; a printer found by a scan tries it first.
  if (pj.contains("speed")) {
    const double speed = Number(pj, "speed", path + ".speed", 1, 4000000, 9600);
    if (speed != std::floor(speed) || !nev::LineSpeedSupported(static_cast<int32_t>(speed))) {
      Fail(path + ".speed",
           "must be a line speed the driver can set (" + nev::LineSpeedsText() + ")");
    }
    if (pj.contains("baud") && static_cast<int32_t>(speed) != p.baud) {
      Fail(path + ".speed", "differs from baud (give one of the two)");
    }
    p.baud = static_cast<int32_t>(speed);
  }
  for (const auto& [key, field, high] : {std::tuple{"replyTimeoutMs", &p.reply_timeout_ms, 30000.0},
                                         std::tuple{"maxWaitMs", &p.max_wait_ms, 3600000.0}}) {
    const double ms = Number(pj, key, path + "." + key, 1, high, 0);
    if (ms != std::floor(ms)) Fail(path + "." + key, "must be a whole number of ms");
    *field = static_cast<int32_t>(ms);
  }
  if (p.simulated() && (pj.contains("baud") || pj.contains("speed"))) p.sim_pacing = p.baud;
  p.journal = Text(pj, "journal", path + ".journal", false);
  p.log_dir = Text(pj, "log", path + ".log", false);
  if (pj.contains("shared")) {
    if (!pj["shared"].is_boolean()) Fail(path + ".shared", "must be true or false");
    p.shared = pj["shared"].get<bool>();
  }
  return p;
}

}  // namespace

Config ParseConfig(const std::string& json_text) {
  json j;
  try {
    j = json::parse(json_text);
  } catch (const json::exception& e) {
    Fail("", std::string("not JSON: ") + e.what());
  }
  if (!j.is_object()) Fail("", "must be a JSON object");
  OnlyKeys(j, "", {"listen", "token", "cors", "probeSeconds", "maxBackoffSeconds", "printers"});
  Config c;
  if (j.contains("listen")) ApplyListen(c, Text(j, "listen", "listen", true, 300));
  c.token = Text(j, "token", "token", false, 512);
  if (j.contains("token") && c.token.size() < 16) Fail("token", "needs at least 16 characters");
  if (j.contains("cors")) c.origins = ParseOrigins(j["cors"]);
  c.probe_seconds = Number(j, "probeSeconds", "probeSeconds", 0.1, 3600, c.probe_seconds);
  c.max_backoff_seconds =
      Number(j, "maxBackoffSeconds", "maxBackoffSeconds", 0.1, 3600, c.max_backoff_seconds);
  if (!j.contains("printers") || !j["printers"].is_array() || j["printers"].empty()) {
    Fail("printers", "must be a non-empty array");
  }
  std::set<std::string> ids;
  for (std::size_t i = 0; i < j["printers"].size(); ++i) {
    const std::string path = "printers[" + std::to_string(i) + "]";
    c.printers.push_back(ParsePrinter(j["printers"][i], path));
    if (!ids.insert(c.printers.back().id).second) Fail(path + ".id", "is used twice");
  }
  return c;
}

void CheckConfig(const Config& config) {
  if (!IsLoopback(config.host) && config.token.empty()) {
    Fail("token", "is required when nevd listens beyond loopback (" + config.host + ")");
  }
  // Each printer settles its journal's unfinished rows against its own device: two printers on
  // one file would settle each other's receipts.
  std::map<std::string, std::string> journals;  // the file as resolved -> the printer's id
  for (std::size_t i = 0; i < config.printers.size(); ++i) {
    const PrinterConfig& p = config.printers[i];
    const std::filesystem::path file = JournalPath(p);
    // Absolute first: a relative path that does not exist yet would otherwise stay relative
    // ("j.db") while its twin with a folder ("./j.db") became absolute.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(file, ec).lexically_normal();
    std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ec);
    if (ec) resolved = absolute;
    const auto [it, fresh] = journals.emplace(resolved.string(), p.id);
    if (!fresh) {
      Fail("printers[" + std::to_string(i) + "].journal",
           "printers " + it->second + " and " + p.id + " share the journal " + file.string());
    }
  }
}

std::string StateFolder() {
  // systemd's StateDirectory= (a list separated by colons; the first is ours).
  const char* systemd = std::getenv("STATE_DIRECTORY");
  if (systemd != nullptr && systemd[0] == '/') {
    const std::string list = systemd;
    return list.substr(0, list.find(':'));
  }
  // An XDG base folder must be absolute; a relative one is ignored.
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/nevd";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/nevd";
  return {};
}

std::string JournalPath(const PrinterConfig& printer) {
  if (!printer.journal.empty()) return printer.journal;
  const std::string folder = StateFolder();
  return (folder.empty() ? "" : folder + "/") + "nevd-" + printer.id + ".db";
}

}  // namespace nevd
