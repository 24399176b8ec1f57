// The scan's wall time and CPU for 8 candidate ports x 8 speeds with 3 devices present (nev-sim
// processes at 1200, 38400 and 115200 baud, so that found ports cost different numbers of
// speeds) and 5 silent pseudo-terminals. The CPU is this process's own (the scan), measured
// over the whole scan. Prints figures; asserts nothing.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "nev/scan.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 3;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

pid_t StartSim(const std::string& link, int speed, const std::string& serial) {
  std::vector<std::string> args{
      NEV_SIM_EXE, "--line-speed", std::to_string(speed), "--serial", serial, "--link", link};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/nev-scan-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path dir = pattern;
  std::vector<pid_t> sims;
  const int speeds[] = {1200, 38400, 115200};
  for (int i = 0; i < 3; ++i) {
    sims.push_back(StartSim((dir / ("dev" + std::to_string(i))).string(), speeds[i],
                            std::to_string(1000 + i)));
  }
  std::vector<int> fds;
  for (int i = 0; i < 5; ++i) {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
    fds.insert(fds.end(), {master, slave});
    fs::create_symlink(name, dir / ("silent" + std::to_string(i)));
  }
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 500 && !fs::exists(dir / ("dev" + std::to_string(i))); ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  nev::ScanOptions options;
  options.ports = {(dir / "*").string()};
  std::vector<double> walls, cpus;
  std::size_t found = 0;
  for (int r = 0; r < kRounds; ++r) {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const nev::ScanResult result = nev::Scan(options);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    walls.push_back(wall);
    cpus.push_back((CpuSeconds() - cpu0) / wall * 100);
    found = result.Found().size();
    std::printf("round %d: %zu ports, %zu found, %.2f s, CPU %.2f %% of a core\n", r + 1,
                result.ports.size(), found, wall, cpus.back());
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  std::printf(
      "scan of 8 ports x 8 speeds, 3 devices: median wall %.2f s (target < 10 s), median CPU "
      "%.2f %% of a core (target < 5 %%)\n",
      walls[kRounds / 2], cpus[kRounds / 2]);

  for (pid_t pid : sims) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  for (int fd : fds) close(fd);
  fs::remove_all(dir);
  return found == 3 ? 0 : 1;
}
