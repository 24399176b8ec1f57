#include "config.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// The "mqtt" section: the broker's address, the shop's identity and topics, TLS and credentials.
MqttConfig ParseMqtt(const json& mj) {
  if (!mj.is_object()) Fail("mqtt", "must be an object");
  OnlyKeys(mj, "mqtt",
           {"url", "clientId", "prefix", "caFile", "certFile", "keyFile", "username", "password",
            "journal", "keepaliveSeconds", "holdSeconds"});
  MqttConfig m;
  m.url = Text(mj, "url", "mqtt.url", true, 300);
  std::string rest;
  if (m.url.rfind("mqtt://", 0) == 0) {
    rest = m.url.substr(7);
  } else if (m.url.rfind("mqtts://", 0) == 0) {
    rest = m.url.substr(8);
    m.tls = true;
  } else {
    Fail("mqtt.url", "must be mqtt://HOST:PORT or mqtts://HOST:PORT");
  }
  if (rest.find('@') != std::string::npos) {
    Fail("mqtt.url", "must not hold credentials; use username and password");
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const std::size_t colon = rest.rfind(':');
  m.port = m.tls ? 8883 : 1883;
  m.host = rest;
  const std::size_t bracket = rest.find(']');  // an IPv6 address is written [::1]
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    m.host = rest.substr(0, colon);
    const std::string port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535) {
      Fail("mqtt.url", "the port must be a number from 1 to 65535");
    }
    m.port = std::stoi(port);
  }
  if (m.host.size() > 2 && m.host.front() == '[' && m.host.back() == ']') {
    m.host = m.host.substr(1, m.host.size() - 2);
  }
  if (m.host.empty() || m.host.find_first_of("/?# ") != std::string::npos) {
    Fail("mqtt.url", "must name a host");
  }
  m.client_id = Text(mj, "clientId", "mqtt.clientId", true, 128);
  if (m.client_id.empty()) Fail("mqtt.clientId", "must not be empty");
  m.prefix = Text(mj, "prefix", "mqtt.prefix", true, 200);
  if (m.prefix.empty() || m.prefix.front() == '/' || m.prefix.back() == '/' ||
      m.prefix.find_first_of("+#") != std::string::npos ||
      m.prefix.find("//") != std::string::npos) {
    Fail("mqtt.prefix", "must be a topic such as nev/shop-17 (no + or #, no empty level)");
  }
  m.ca_file = Text(mj, "caFile", "mqtt.caFile", false);
  m.cert_file = Text(mj, "certFile", "mqtt.certFile", false);
  m.key_file = Text(mj, "keyFile", "mqtt.keyFile", false);
  m.username = Text(mj, "username", "mqtt.username", false, 256);
  m.password = Text(mj, "password", "mqtt.password", false, 256);
  if (!m.tls && (!m.ca_file.empty() || !m.cert_file.empty() || !m.key_file.empty())) {
    Fail("mqtt.url", "caFile, certFile and keyFile need mqtts://");
  }
  if (m.cert_file.empty() != m.key_file.empty()) {
    Fail(m.cert_file.empty() ? "mqtt.certFile" : "mqtt.keyFile",
         "a client certificate needs both certFile and keyFile");
  }
  if (mj.contains("password") && m.username.empty()) {
    Fail("mqtt.username", "is required with a password");
  }
  if (mj.contains("journal")) {
    m.journal = Text(mj, "journal", "mqtt.journal", true);
  } else if (const std::string folder = StateFolder(); !folder.empty()) {
    m.journal = folder + "/" + m.journal;  // beside the printers' default journals
  }
  if (m.journal.empty()) Fail("mqtt.journal", "must not be empty");
  const double keepalive = Number(mj, "keepaliveSeconds", "mqtt.keepaliveSeconds", 5, 3600, 30);
  if (keepalive != std::floor(keepalive)) Fail("mqtt.keepaliveSeconds", "must be a whole number");
  m.keepalive_seconds = static_cast<int>(keepalive);
  m.hold_seconds = Number(mj, "holdSeconds", "mqtt.holdSeconds", 1, 86400 * 7, m.hold_seconds);
  return m;
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
  OnlyKeys(j, "",
           {"listen", "token", "cors", "probeSeconds", "maxBackoffSeconds", "printers", "mqtt"});
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
  if (j.contains("mqtt")) c.mqtt = ParseMqtt(j["mqtt"]);
  return c;
}

namespace {

// The TLS files must be there and hold PEM text; the connector's journal's folder must exist.
void CheckMqttFiles(const MqttConfig& m) {
  const std::pair<const char*, const std::string*> files[] = {
      {"mqtt.caFile", &m.ca_file}, {"mqtt.certFile", &m.cert_file}, {"mqtt.keyFile", &m.key_file}};
  for (const auto& [field, file] : files) {
    if (file->empty()) continue;
    std::ifstream in(*file, std::ios::binary);
    if (!in) Fail(field, "cannot read " + *file + ": " + std::strerror(errno));
    std::string head(65536, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (head.find("-----BEGIN ") == std::string::npos) Fail(field, *file + " holds no PEM text");
  }
  const std::filesystem::path folder =
      std::filesystem::absolute(std::filesystem::path(m.journal)).parent_path();
  std::error_code ec;
  // The state folder is made when the journal opens; a folder configured must exist.
  if (folder != std::filesystem::path(StateFolder()) &&
      !std::filesystem::is_directory(folder, ec)) {
    Fail("mqtt.journal", "the folder " + folder.string() + " does not exist");
  }
}

}  // namespace

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
  if (config.mqtt) CheckMqttFiles(*config.mqtt);
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
