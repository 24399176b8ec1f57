// Measures what the reply wait costs: CPU used during a silent time-out wait, and the time per
// exchange with an instant responder next to a plain loop on the same kind of pseudo-terminal pair
// that does the same protocol work (drain, frame, wait, read, ACK). Prints figures; asserts
// nothing.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nev/message.h"
#include "protocol/exchange.h"
#include "protocol/frame.h"
#include "protocol/helper.h"

namespace {

using namespace nev::protocol;

constexpr int kExchanges = 1000;
// Rounds of kExchanges each, driver and raw loop taking turns; medians are reported, so that a
// burst of load from elsewhere on the machine does not decide the comparison.
constexpr int kRounds = 5;

struct Figures {
  double wall_us = 0;  // per exchange
  double cpu_us = 0;   // CPU of the calling thread per exchange
  int answered = 0;
};

double Now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
double Wall() {
  return Now(CLOCK_MONOTONIC);
}
double Cpu() {
  return Now(CLOCK_PROCESS_CPUTIME_ID);
}
double ThreadCpu() {
  return Now(CLOCK_THREAD_CPUTIME_ID);
}

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    path = name;
  }
  ~Pty() {
    close(slave);
    close(master);
  }
};

// The device's answer to every request frame: a reply frame with a little data and status.
const std::string kReply =
    std::string("\x02\x20\x21\x90\x25") + "12345" + "\x80\x80\x80" + "00\x03";

// Answers every frame it reads on fd (STX ... ETX) with kReply at once, until stop.
void Respond(int fd, std::atomic<bool>& stop) {
  bool in_frame = false;
  char buf[512];
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == STX) in_frame = true;
      if (buf[i] == ETX && in_frame) {
        in_frame = false;
        if (write(fd, kReply.data(), kReply.size()) < 0) return;
      }
    }
  }
}

class QuietSink : public nev::MessageSink {
 public:
  void Show(const std::string&, int, const std::string&) override {}
};

void SilentWait() {
  Pty pty;
  Link link;
  link.host = std::make_unique<frmMain>();
  link.host->Com().Open(pty.path, "9600,n,8,1");
  TimeoutInterval() = 3000;
  const std::string frame = BuildFrame(link.sequence, 0x90, "");
  const double wall0 = Wall(), cpu0 = Cpu();
  SendFrame(link, frame);
  const Reply reply = ReadReply(link, ETX);
  const double wall = Wall() - wall0, cpu = Cpu() - cpu0;
  std::printf(
      "silent wait:  %s after %.0f ms wall, %.2f ms CPU = %.3f%% of the wall time "
      "(target < 2%%)\n",
      reply.end == WaitEnd::kTimeout ? "timed out" : "ENDED OTHERWISE", wall * 1e3, cpu * 1e3,
      100.0 * cpu / wall);
}

Figures DriverExchanges() {
  Pty pty;
  std::atomic<bool> stop{false};
  std::thread responder(Respond, pty.master, std::ref(stop));
  Link link;
  link.host = std::make_unique<frmMain>();
  link.host->Com().Open(pty.path, "9600,n,8,1");
  TimeoutInterval() = 3000;
  int ok = 0;
  const double wall0 = Wall(), cpu0 = ThreadCpu();
  for (int i = 0; i < kExchanges; ++i) {
    const std::string frame = BuildFrame(link.sequence, 0x90, "0");
    SendFrame(link, frame);
    const Reply reply = ReadReply(link, ETX);
    if (reply.ok() && reply.data == "12345") ++ok;
  }
  const double wall = Wall() - wall0, cpu = ThreadCpu() - cpu0;
  stop = true;
  responder.join();
  return {wall * 1e6 / kExchanges, cpu * 1e6 / kExchanges, ok};
}

// The same protocol work as the driver, written plainly: empty the input, write the frame, sleep
// until the answer is readable, read it up to ETX, write the ACK.
Figures RawExchanges() {
  Pty pty;
  std::atomic<bool> stop{false};
  std::thread responder(Respond, pty.master, std::ref(stop));
  fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
  uint8_t sequence = 0;
  int ok = 0;
  char buf[512];
  const double wall0 = Wall(), cpu0 = ThreadCpu();
  for (int i = 0; i < kExchanges; ++i) {
    while (read(pty.slave, buf, sizeof buf) > 0) {
    }
    const std::string frame = BuildFrame(sequence, 0x90, "0");
    if (write(pty.slave, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) break;
    std::string got;
    while (got.empty() || got.back() != ETX) {
      pollfd p{pty.slave, POLLIN, 0};
      if (poll(&p, 1, 3000) <= 0) break;
      const ssize_t n = read(pty.slave, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    if (write(pty.slave, &ACK, 1) != 1) break;
    if (got == kReply) ++ok;
  }
  const double wall = Wall() - wall0, cpu = ThreadCpu() - cpu0;
  stop = true;
  responder.join();
  return {wall * 1e6 / kExchanges, cpu * 1e6 / kExchanges, ok};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Report(const char* name, const std::vector<Figures>& rounds) {
  std::vector<double> wall, cpu;
  int answered = 0;
  for (const Figures& f : rounds) {
    wall.push_back(f.wall_us);
    cpu.push_back(f.cpu_us);
    answered += f.answered;
  }
  std::printf(
      "%-13s %d x %d exchanges (%d answered): median %.1f us each (rounds %.1f..%.1f), "
      "caller CPU %.1f us each\n",
      name, kRounds, kExchanges, answered, Median(wall),
      *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()),
      Median(cpu));
}

}  // namespace

int main() {
  nev::SetMessageSink(std::make_shared<QuietSink>());
  SilentWait();
  std::vector<Figures> raw, driver;
  for (int i = 0; i < kRounds; ++i) {
    raw.push_back(RawExchanges());
    driver.push_back(DriverExchanges());
  }
  Report("raw loop:", raw);
  Report("driver:", driver);
  std::vector<double> raw_wall, driver_wall;
  for (const Figures& f : raw) raw_wall.push_back(f.wall_us);
  for (const Figures& f : driver) driver_wall.push_back(f.wall_us);
  std::printf("ratio:        driver / raw = %.2f (medians; target <= 1.15)\n",
              Median(driver_wall) / Median(raw_wall));
  return 0;
}
