#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "line.h"

namespace nevsim {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return 0;
  }
}

int BaudOf(speed_t speed) {
  for (int baud : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
    if (SpeedOf(baud) == speed) return baud;
  }
  return -1;  // a speed the device never runs at
}

void MakeRaw(int fd, int baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;  // not a terminal: nothing to set
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (speed_t s = SpeedOf(baud)) {
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
  }
  tcsetattr(fd, TCSANOW, &t);
}

timespec Until(Line::Clock::time_point deadline) {
  auto left = deadline - Line::Clock::now();
  if (left < Line::Clock::duration::zero()) left = Line::Clock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

void Line::Open(const std::string& device, int baud) {
  Close();
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) Fail("eventfd");
  device_ = device;
  OpenLine(device, baud);
}

void Line::Reopen(int baud) {
  if (!device_.empty()) throw std::runtime_error("a served device cannot be reopened");
  Drop();
  OpenLine("", baud);
}

void Line::OpenLine(const std::string& device, int baud) {
  if (device.empty()) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) Fail("posix_openpt");
    char name[128];
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0 || ptsname_r(fd_, name, sizeof name) != 0) {
      int e = errno;
      Close();
      errno = e;
      Fail("pseudo-terminal");
    }
    path_ = name;
    keep_slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keep_slave_ < 0) {
      int e = errno;
      Close();
      errno = e;
      Fail("open " + path_);
    }
    MakeRaw(keep_slave_, baud);
  } else {
    fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      int e = errno;
      Close();
      errno = e;
      Fail("open " + device);
    }
    path_ = device;
    MakeRaw(fd_, baud);
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void Line::Close() {
  for (int* fd : {&fd_, &keep_slave_, &wake_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void Line::Drop() {
  for (int* fd : {&fd_, &keep_slave_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

int Line::PeerSpeed() const {
  termios t{};
  // On Linux the master side of a pseudo-terminal reads the slave side's settings.
  if (fd_ < 0 || tcgetattr(fd_, &t) != 0) return 0;
  return BaudOf(cfgetispeed(&t));
}

void Line::Wake() {
  if (wake_ < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] auto n = write(wake_, &one, sizeof one);
}

int Line::Poll(short events, Clock::time_point deadline, short& revents) {
  pollfd fds[2] = {{wake_, POLLIN, 0}, {fd_, events, 0}};
  const nfds_t n = events ? 2 : 1;
  for (;;) {
    timespec ts = Until(deadline);
    int r = ppoll(fds, n, deadline == Clock::time_point::max() ? nullptr : &ts, nullptr);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    revents = n == 2 ? fds[1].revents : 0;
    if (fds[0].revents) return 1;  // woken
    return r == 0 ? 0 : 2;
  }
}

Line::WaitResult Line::WaitInput(Clock::time_point deadline) {
  if (fd_ < 0) return kGone;
  short rev = 0;
  int r = Poll(POLLIN, deadline, rev);
  if (r == 1) return kWoken;
  if (r == 0) return kTimeout;
  if (r < 0) return kGone;
  if (rev & POLLIN) return kReadable;
  return kGone;  // hang-up or error without data
}

long Line::Read(char* buf, unsigned long size) {
  if (fd_ < 0) return -1;
  ssize_t n = read(fd_, buf, size);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;
}

bool Line::SleepUntil(Clock::time_point deadline) {
  short rev = 0;
  return Poll(0, deadline, rev) == 0;
}

bool Line::Write(const std::string& bytes, int baud) {
  const auto byte_time = std::chrono::nanoseconds(baud > 0 ? 10'000'000'000LL / baud : 0);
  auto next = Clock::now();
  size_t at = 0;
  while (at < bytes.size()) {
    if (fd_ < 0) return false;
    const size_t chunk = baud > 0 ? 1 : bytes.size() - at;
    ssize_t n = write(fd_, bytes.data() + at, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return false;
      short rev = 0;
      if (Poll(POLLOUT, Clock::time_point::max(), rev) != 2) return false;
      continue;
    }
    at += static_cast<size_t>(n);
    if (baud > 0) {
      next += byte_time * n;
      if (!SleepUntil(next)) return false;
    }
  }
  return true;
}

}  // namespace nevsim
