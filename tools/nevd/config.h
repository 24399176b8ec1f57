// nevd's configuration: where it listens, who may call it and which printers it serves.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nevd {

struct PrinterConfig {
  std::string id;
  std::string port;  // a port text (nev/port_spec.h), or "sim" for a built-in simulated printer
  int32_t baud = 9600;
  std::string journal;     // the SQLite journal of its receipts; empty: see JournalPath
  std::string log_dir;     // the folder in which its driver log's "Logs" folder is made
  int32_t sim_pacing = 0;  // a simulated printer's line speed when "baud" is given, else unpaced
  bool shared = false;     // other programs print on the device too: the journal only warns
                           // when the device is ahead of it
  int32_t reply_timeout_ms = 0;  // the reply time-out of its commands; 0: the driver's (3000)
  int32_t max_wait_ms = 0;       // the ceiling of one command's whole wait; 0: the driver's
  bool simulated() const { return port == "sim"; }
};

// The MQTT connector ("mqtt" in the configuration; off when absent). Credentials are never logged.
struct MqttConfig {
  std::string url;  // mqtt://HOST:PORT or mqtts://HOST:PORT, as configured
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string client_id, prefix;  // prefix: the shop's topics, e.g. nev/shop-17
  std::string ca_file, cert_file, key_file, username, password;
  std::string journal =
      "nevd-mqtt.db";  // jobs and unacknowledged results; default in StateFolder()
  int keepalive_seconds = 30;
  double hold_seconds = 900;  // how long a job waits for its printer to come online
  bool operator==(const MqttConfig&) const = default;
};

struct Config {
  std::string host = "127.0.0.1";
  int port = 8631;
  std::string token;                 // required beyond loopback
  std::vector<std::string> origins;  // CORS origins allowed to call the API
  double probe_seconds = 5;          // how often an idle printer is asked for its status
  double max_backoff_seconds = 10;   // the longest wait between two reopening attempts
  std::vector<PrinterConfig> printers;
  std::optional<MqttConfig> mqtt;
};

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The built-in configuration: one simulated printer "sim" on loopback.
Config DefaultConfig();
// Parses a JSON configuration; throws ConfigError naming the field. A printer's port must name a
// port and its baud rate must be a speed the driver can set.
Config ParseConfig(const std::string& json_text);
// Applies "--listen HOST:PORT"; throws ConfigError.
void ApplyListen(Config& config, const std::string& listen);
// Checks what only the whole configuration can tell (a token beyond loopback, one journal file
// per printer). Throws ConfigError.
void CheckConfig(const Config& config);
// localhost, or an address literal in 127.0.0.0/8 or ::1.
bool IsLoopback(const std::string& host);
// The printer's journal file: the one configured, else nevd-<id>.db in StateFolder() (in the
// current folder when there is none).
std::string JournalPath(const PrinterConfig& printer);
// The state folder for nevd: the service's $STATE_DIRECTORY (systemd's StateDirectory=), else
// the user's $XDG_STATE_HOME/nevd, else ~/.local/state/nevd; empty when no variable holds an
// absolute path.
std::string StateFolder();

}  // namespace nevd
