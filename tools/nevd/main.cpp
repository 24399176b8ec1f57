// nevd: the print service. Serves the printers of its configuration (or one built-in simulated
// printer) over HTTP/JSON on loopback, with a web page at /.
#include <signal.h>

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
and exits (0 when it is good, 2 when not).
  {"listen": "127.0.0.1:8631", "token": "...", "cors": ["http://till.local:8080"],
   "printers": [{"id": "front", "port": "/dev/ttyUSB0", "baud": 9600,
                 "journal": "/var/lib/nevd/front.db", "log": "/var/log/nevd/front",
                 "shared": false},
                {"id": "test", "port": "sim"}]}
"shared": true means that other programs print on the device too: a device that has printed
what the printer's journal does not account for is then a warning, not a reason to stop.
)";

int Usage(const std::string& why) {
  std::cerr << "nevd: " << why << "\n\n" << kHelp;
  return 2;
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
    if (config_file.empty()) {
      config = nevd::DefaultConfig();
    } else {
      std::ifstream in(config_file, std::ios::binary);
      if (!in) return Usage("cannot read " + config_file);
      config = nevd::ParseConfig({std::istreambuf_iterator<char>(in), {}});
    }
    if (!listen.empty()) nevd::ApplyListen(config, listen);
    nevd::CheckConfig(config);
  } catch (const nevd::ConfigError& e) {
    std::cerr << "nevd: " << (config_file.empty() ? "configuration" : config_file) << ": "
              << e.what() << "\n";
    return 2;
  }
  if (check_only) {
    std::cout << "nevd: configuration good: " << config.printers.size() << " printer(s), listen "
              << config.host << ":" << config.port << "\n";
    return 0;
  }

  // SIGINT and SIGTERM end the service in order; every thread started later inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  nevd::InstallMessageLog();
  try {
    nevd::Service service(config);
    const int port = service.Bind();
    std::cerr << "nevd: listening on http://" << config.host << ":" << port << "/" << std::endl;
    std::thread stopper([&] {
      int sig = 0;
      sigwait(&signals, &sig);
      std::cerr << "nevd: stopping (signal " << sig << ")" << std::endl;
      service.Stop();
    });
    stopper.detach();
    service.Serve();
  } catch (const std::exception& e) {
    std::cerr << "nevd: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "nevd: stopped" << std::endl;
  return 0;
}
