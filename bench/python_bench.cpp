// What the Python binding costs per call: the same six calls (GetStatus, ECRInfo, OpenServNote,
// ServText, CloseServNote, GetTaxRates) made from C++ and through the module nev
// (bench/python_bench.py), taking turns on one unpaced nev-sim. Rounds alternate and medians are
// reported, so that a burst of load elsewhere on the machine does not decide the comparison.
// Prints figures; asserts nothing. Target: Python within 1.05 times the C++ cost per call.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "nev/message.h"
#include "nev/nev.h"

namespace {

constexpr int kIterations = 500;  // six calls each
constexpr int kRounds = 7;
constexpr int kCallsPerIteration = 6;

double Wall() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// nev-sim as a child process; the first line it writes is the device to open.
struct SimProcess {
  pid_t pid = -1;
  std::string device;
  SimProcess() {
    int out[2];
    if (pipe(out) != 0) std::exit(1);
    pid = fork();
    if (pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(NEV_SIM_EXE, NEV_SIM_EXE, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') device.push_back(c);
    close(out[0]);
    if (device.empty()) {
      std::fprintf(stderr, "python_bench: nev-sim did not start (%s)\n", NEV_SIM_EXE);
      std::exit(1);
    }
  }
  ~SimProcess() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

class QuietSink : public nev::MessageSink {
 public:
  void Show(const std::string&, int, const std::string&) override {}
};

struct Round {
  double us_per_call = 0;
  int answered = 0;
};

Round CppRound(const std::string& device) {
  nev::NEV p("/tmp");
  p.SetMessageSink(std::make_shared<QuietSink>());
  if (!p.InitConnection(device, 9600)) {
    std::fprintf(stderr, "python_bench: the simulator did not answer\n");
    std::exit(1);
  }
  int answered = 0;
  const double start = Wall();
  for (int i = 0; i < kIterations; ++i) {
    answered += p.GetStatus() == 0;
    answered += !p.ECRInfo().empty();
    answered += p.OpenServNote();
    answered += p.ServText("python_bench");
    answered += p.CloseServNote();
    answered += !p.GetTaxRates().empty();
  }
  const double elapsed = Wall() - start;
  p.StopConnection();
  return {elapsed * 1e6 / (kIterations * kCallsPerIteration), answered};
}

Round PythonRound(const std::string& device) {
  const std::string command = "PYTHONPATH=" NEV_PYTHON_PATH " " NEV_PYTHON_EXE " " NEV_PYTHON_BENCH
                              " " +
                              device + " " + std::to_string(kIterations);
  FILE* out = popen(command.c_str(), "r");
  Round round;
  if (!out || std::fscanf(out, "%lf %d", &round.us_per_call, &round.answered) != 2) {
    std::fprintf(stderr, "python_bench: %s gave no figures\n", command.c_str());
    std::exit(1);
  }
  pclose(out);
  return round;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Report(const char* name, const std::vector<Round>& rounds) {
  std::vector<double> us;
  int answered = 0;
  for (const Round& r : rounds) {
    us.push_back(r.us_per_call);
    answered += r.answered;
  }
  std::printf("%-7s %d x %d calls (%d answered): median %.2f us per call (rounds %.2f..%.2f)\n",
              name, kRounds, kIterations * kCallsPerIteration, answered, Median(us),
              *std::min_element(us.begin(), us.end()), *std::max_element(us.begin(), us.end()));
}

}  // namespace

int main() {
  SimProcess sim;
  std::vector<Round> cpp, python;
  for (int r = 0; r < kRounds; ++r) {
    cpp.push_back(CppRound(sim.device));
    python.push_back(PythonRound(sim.device));
  }
  Report("C++", cpp);
  Report("Python", python);
  std::vector<double> ratios;
  for (int r = 0; r < kRounds; ++r) ratios.push_back(python[r].us_per_call / cpp[r].us_per_call);
  std::printf("Python / C++ per call: median of the rounds' ratios %.3f (target <= 1.05)\n",
              Median(ratios));
  return 0;
}
