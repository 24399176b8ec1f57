// Network lines: the time per exchange of a whole receipt through ser2net on loopback, as raw
// TCP and as Telnet COM-PORT-OPTION (RFC 2217), against the same receipt on the simulator's pty
// directly (unpaced, or paced like a real line). Prints figures; asserts nothing.
//   network_bench [RECEIPTS [BAUD]]   receipts per line kind (default 50); the simulator paced
//                                     at BAUD (default 0: unpaced)
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nev/message.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "support/net.h"

extern char** environ;

namespace {

using nevtest::FreePort;
using nevtest::Listening;

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kExchanges = 8;  // the calls of one receipt

// ser2net in front of the device with both accepters; its pid, or -1.
pid_t StartSer2net(const fs::path& dir, const std::string& device, int raw, int telnet) {
  const std::string config = (dir / "ser2net.yaml").string();
  std::ofstream(config) << "connection: &raw\n  accepter: tcp,127.0.0.1," << raw
                        << "\n  connector: serialdev," << device << ",9600n81,local\n"
                        << "  options:\n    chardelay: false\n"
                        << "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                        << telnet << "\n  connector: serialdev," << device << ",9600n81,local\n"
                        << "  options:\n    chardelay: false\n";
  std::vector<std::string> args = {"/usr/sbin/ser2net",           "-n", "-u", "-c", config, "-P",
                                   (dir / "ser2net.pid").string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; pid > 0 && i < 500 && !(Listening(raw) && Listening(telnet)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pid;
}

bool Receipt(nev::NEV& p) {
  bool ok = p.OpenFiscNote("1", "0000");
  ok &= p.SellTaxGroup("Bread", "B", 1, 1.89);
  ok &= p.SellArt(3, 2, 1.80);
  ok &= p.SellDep(1, 1, 4.5);
  ok &= p.FiscText("Thank you!");
  double t = 0, a = 0, b = 0, c = 0;
  ok &= p.SubTotal(t, a, b, c);
  ok &= p.Pay(1, 20);
  ok &= p.CloseFiscNote();
  return ok;
}

// Median and 90th percentile of the per-exchange time (ms) over the receipts, after two warm-up
// receipts; -1 when a receipt failed.
std::pair<double, double> PerExchange(const std::string& port, int receipts) {
  nev::NEV p{fs::temp_directory_path().string()};
  p.SilentMode(true);
  // The serial server lets go of the device a moment after the last connection closed.
  bool open = false;
  for (int i = 0; i < 50 && !(open = p.InitConnection(port, 115200)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!open) return {-1, -1};
  std::vector<double> ms;
  for (int i = 0; i < receipts + 2; ++i) {
    const auto start = Clock::now();
    if (!Receipt(p)) return {-1, -1};
    if (i >= 2) {
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() /
                   kExchanges);
    }
  }
  p.StopConnection();
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[ms.size() * 9 / 10]};
}

}  // namespace

int main(int argc, char** argv) {
  const int receipts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  nev::SetMessageSink(std::make_shared<nev::RecordingSink>());
  nevsim::Options options;
  options.baud = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;
  nevsim::Simulator sim(options);
  sim.Start();
  const fs::path dir = fs::temp_directory_path() / ("network_bench." + std::to_string(getpid()));
  fs::create_directories(dir);
  const int raw = FreePort(), telnet = FreePort();
  const pid_t server = StartSer2net(dir, sim.SlavePath(), raw, telnet);
  if (server <= 0) {
    std::fprintf(stderr, "network_bench: ser2net did not start\n");
    return 1;
  }
  std::printf("receipt of %d exchanges, %d receipts per line, simulator %s\n", kExchanges, receipts,
              options.baud ? ("paced at " + std::to_string(options.baud)).c_str() : "unpaced");
  std::printf("%-10s %14s %14s %10s\n", "line", "median ms/ex", "p90 ms/ex", "vs pty");
  const auto direct = PerExchange(sim.SlavePath(), receipts);
  const struct {
    const char* name;
    std::string port;
  } lines[] = {{"pty", sim.SlavePath()},
               {"tcp", "tcp://127.0.0.1:" + std::to_string(raw)},
               {"rfc2217", "rfc2217://127.0.0.1:" + std::to_string(telnet)}};
  for (const auto& line : lines) {
    const auto r = line.port == sim.SlavePath() ? direct : PerExchange(line.port, receipts);
    std::printf("%-10s %14.3f %14.3f %9.2fx\n", line.name, r.first, r.second,
                direct.first > 0 ? r.first / direct.first : 0);
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  fs::remove_all(dir);
  return 0;
}
