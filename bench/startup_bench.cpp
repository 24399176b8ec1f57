// What nevctl costs as a whole process, against an empty process (/bin/true): its start-up and
// exit alone (--version), a whole `call GetStatus` whose port cannot be opened (start-up, the
// log's session, the member's binding, the refused open, teardown: everything but the line), and
// a whole `call GetStatus` answered by a simulator on a pseudo-terminal (which includes the
// protocol's quiet gap after connecting). Wall time and the child's CPU time (user + system, from
// wait4) are medians of many runs, taken in turns so that load from elsewhere hits each alike.
// Prints figures; asserts nothing.
//   startup_bench [RUNS] [NEVCTL]   RUNS per case (default 200); NEVCTL: the program to measure
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "nevsim/simulator.h"

extern char** environ;

namespace {

struct Run {
  double wall_ms = 0;
  double cpu_ms = 0;
};

// Runs argv once with its output thrown away; -1 wall time when it could not be started.
Run Once(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int err = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return {-1, -1};
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return {std::chrono::duration<double, std::milli>(end - start).count(),
          ms(usage.ru_utime) + ms(usage.ru_stime)};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Case {
  const char* name;
  std::vector<std::string> argv;
  int runs;
  std::vector<double> wall, cpu;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const std::string nevctl = argc > 2 ? argv[2] : NEVCTL_EXE;
  nevsim::Simulator sim;
  sim.Start();
  // The log goes to a scratch folder, not beside the program.
  char folder[] = "/tmp/startup_bench.XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  const std::vector<std::string> common = {nevctl, "--log-dir", folder, "--baud", "115200"};
  auto with = [&](std::vector<std::string> rest) {
    std::vector<std::string> all = common;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  };
  std::vector<Case> cases = {
      {"empty process (/bin/true)", {"/bin/true"}, runs, {}, {}},
      {"nevctl --version", {nevctl, "--version"}, runs, {}, {}},
      {"nevctl call GetStatus, no such port",
       with({"--port", "/dev/nev-bench-none", "call", "GetStatus"}),
       runs,
       {},
       {}},
      // Each run waits out the quiet gap after the probe: a few runs tell enough.
      {"nevctl call GetStatus on nev-sim",
       with({"--port", sim.SlavePath(), "call", "GetStatus"}),
       std::min(runs, 10),
       {},
       {}},
  };
  for (int i = 0; i < runs; ++i) {
    for (Case& c : cases) {
      if (i >= c.runs) continue;
      const Run r = Once(c.argv);
      if (r.wall_ms < 0) {
        std::fprintf(stderr, "startup_bench: cannot start %s\n", c.argv[0].c_str());
        return 1;
      }
      c.wall.push_back(r.wall_ms);
      c.cpu.push_back(r.cpu_ms);
    }
  }
  std::printf("%-40s %10s %10s %6s\n", "case", "wall ms", "cpu ms", "runs");
  for (const Case& c : cases) {
    std::printf("%-40s %10.2f %10.2f %6d\n", c.name, Median(c.wall), Median(c.cpu), c.runs);
  }
  const double empty = Median(cases[0].wall), empty_cpu = Median(cases[0].cpu);
  std::printf("nevctl's own start-up over an empty process: %.2f ms wall, %.2f ms cpu\n",
              Median(cases[2].wall) - empty, Median(cases[2].cpu) - empty_cpu);
  std::filesystem::remove_all(folder);
  return 0;
}
