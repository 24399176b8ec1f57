// nevd: the print service. Serves the printers of its configuration (or one built-in simulated
// printer) over HTTP/JSON on loopback, with a web page at /.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "config.h"
#include "nev/version.h"
#include "service.h"

namespace {

constexpr const char* kHelp =
    R"(usage: nevd [--config FILE] [--listen HOST:PORT] [--check-config] [--version]

Serves fiscal printers over HTTP/JSON (API under /api/v1, described at /api/v1/openapi.json) and
a web page at /. Without --config it serves one simulated printer, "sim". It listens on
127.0.0.1:8631 unless --listen (or "listen" in the configuration) says otherwise; beyond
loopback the configuration must hold a bearer token. --check-config checks the configuration
and exits (0 when it is good, 2 when not). SIGHUP reloads the token and the CORS origins from
the configuration file; other changes need a restart. SIGINT and SIGTERM stop it.
  {"listen": "127.0.0.1:8631", "token": "...", "cors": ["http://till.local:8080"],
   "printers": [{"id": "front", "port": "/dev/ttyUSB0", "baud": 9600,
                 "journal": "/var/lib/nevd/front.db", "log": "/var/log/nevd/front",
                 "shared": false},
                {"id": "test", "port": "sim"}]}
A printer without "journal" keeps it in the user's state folder: $XDG_STATE_HOME/nevd/nevd-ID.db,
or ~/.local/state/nevd/nevd-ID.db when XDG_STATE_HOME is not set (as a systemd service: in its
$STATE_DIRECTORY, /var/lib/nevd).
"shared": true means that other programs print on the device too: a device that has printed
what the printer's journal does not account for is then a warning, not a reason to stop.
"port" may also be "serial:NUMBER" (the device with that serial number, looked up by a scan of
the serial ports at every connection, so that a renamed adapter is found again) or "auto" (the
one device a scan finds). "speed" (or "baud"), "replyTimeoutMs" (default 3000) and "maxWaitMs"
are the printer's line speed, reply time-out and ceiling of one command's whole wait.
"mqtt" (optional) connects the shop to a fleet's broker; it takes jobs from
PREFIX/printers/ID/jobs and publishes results, status and the shop's state:
  "mqtt": {"url": "mqtts://broker.example:8883", "clientId": "shop-17", "prefix": "nev/shop-17",
           "caFile": "ca.pem", "certFile": "shop.pem", "keyFile": "shop.key",
           "username": "shop-17", "password": "...", "journal": "/var/lib/nevd/mqtt.db"}
GET /livez, /readyz and /metrics (Prometheus text) serve operators, with the API's access rules.
)";

int Usage(const std::string& why) {
  std::cerr << "nevd: " << why << "\n\n" << kHelp;
  return 2;
}

// The configuration from the file (or the built-in one) with --listen applied. Throws
// nevd::ConfigError naming the file and the field, or why the file could not be read.
nevd::Config LoadConfig(const std::string& file, const std::string& listen) {
  nevd::Config config;
  if (file.empty()) {
    config = nevd::DefaultConfig();
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw nevd::ConfigError("cannot read " + file + ": " + std::strerror(errno));
    try {
      config = nevd::ParseConfig({std::istreambuf_iterator<char>(in), {}});
    } catch (const nevd::ConfigError& e) {
      throw nevd::ConfigError(file + ": " + e.what());
    }
  }
  if (!listen.empty()) nevd::ApplyListen(config, listen);
  nevd::CheckConfig(config);
  return config;
}

// The HTTP limits, with the cap on connections in all fitted to the descriptors this process
// may open (raised to the hard limit first): 64 are left for the printers' lines, journals and
// logs.
nevd::http::Limits FitLimits() {
  nevd::http::Limits limits;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return limits;
  const rlim_t want = std::min<rlim_t>(files.rlim_max, 65536);
  if (files.rlim_cur < want) {
    files.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &files) != 0) getrlimit(RLIMIT_NOFILE, &files);
  }
  const long spare = static_cast<long>(std::min<rlim_t>(files.rlim_cur, 1 << 20)) - 64;
  limits.connections = static_cast<int>(std::clamp<long>(spare, 16, 4096));
  limits.per_client = std::min(limits.per_client, limits.connections);
  return limits;
}

// Waits for the signals: SIGINT and SIGTERM stop the service, SIGHUP reloads what can change
// without a restart (the token and the CORS origins).
void Signals(const sigset_t& signals, nevd::Service& service, const std::string& file,
             const std::string& listen) {
  for (;;) {
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) continue;
    if (sig != SIGHUP) {
      std::cerr << "nevd: stopping (signal " << sig << ")" << std::endl;
      service.Stop();
      return;
    }
    if (file.empty()) {
      std::cerr << "nevd: SIGHUP: no configuration file to reload" << std::endl;
      continue;
    }
    try {
      const std::vector<std::string> later = service.Reload(LoadConfig(file, listen));
      std::cerr << "nevd: reloaded the token and the CORS origins from " << file;
      for (std::size_t i = 0; i < later.size(); ++i) {
        std::cerr << (i == 0 ? "; a restart is needed for the changed " : ", ") << later[i];
      }
      std::cerr << std::endl;
    } catch (const nevd::ConfigError& e) {
      std::cerr << "nevd: SIGHUP: kept the running configuration: " << e.what() << std::endl;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string config_file, listen;
  bool check_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::cout << kHelp;
      return 0;
    } else if (a == "--config" || a == "--listen") {
      if (i + 1 >= argc) return Usage(a + " needs a value");
      (a == "--config" ? config_file : listen) = argv[++i];
    } else if (a == "--version") {
      std::cout << "nevd " << NEV_VERSION_STRING << "\n";
      return 0;
    } else if (a == "--check-config") {
      check_only = true;
    } else {
      return Usage("unknown argument " + a);
    }
  }

  nevd::Config config;
  try {
    config = LoadConfig(config_file, listen);
  } catch (const nevd::ConfigError& e) {
    std::cerr << "nevd: " << (config_file.empty() ? "configuration: " : "") << e.what() << "\n";
    return 2;
  }
  if (check_only) {
    std::cout << "nevd: configuration good: " << config.printers.size() << " printer(s), listen "
              << config.host << ":" << config.port;
    if (config.mqtt) {
      std::cout << ", mqtt " << config.mqtt->url << " as " << config.mqtt->client_id
                << (config.mqtt->tls ? " (TLS)" : "");
    }
    std::cout << "\n";
    return 0;
  }

  // SIGINT and SIGTERM end the service in order, SIGHUP reloads; every thread started later
  // inherits the mask, so only the signal thread sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  nevd::InstallMessageLog();
  try {
    nevd::Service service(config, FitLimits());
    const int port = service.Bind();
    std::cerr << "nevd: listening on http://" << config.host << ":" << port << "/" << std::endl;
    std::thread stopper([&] { Signals(signals, service, config_file, listen); });
    stopper.detach();
    service.Serve();
  } catch (const std::exception& e) {
    std::cerr << "nevd: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "nevd: stopped" << std::endl;
  return 0;
}
