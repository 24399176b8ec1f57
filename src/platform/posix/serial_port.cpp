// The serial port on POSIX: termios in raw 8N1, exclusive use, non-blocking reads.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "nev/error.h"
#include "platform/event_loop.h"

namespace nev::platform {

namespace {

// Longest a single write may stall on a full output queue before it counts as failed.
constexpr int kWriteStallMs = 5000;

// The line speeds termios offers here, in rising order.
constexpr struct {
  long baud;
  speed_t speed;
} kSpeeds[] = {{50, B50},           {75, B75},          {110, B110},         {134, B134},
               {150, B150},         {200, B200},        {300, B300},         {600, B600},
               {1200, B1200},       {1800, B1800},      {2400, B2400},       {4800, B4800},
               {9600, B9600},       {19200, B19200},    {38400, B38400},     {57600, B57600},
               {115200, B115200},   {230400, B230400},  {460800, B460800},   {500000, B500000},
               {576000, B576000},   {921600, B921600},  {1000000, B1000000}, {1152000, B1152000},
               {1500000, B1500000}, {2000000, B2000000}};

// The baud rate from the leading digits of a settings text such as "9600,n,8,1". Any other
// speed is error 380, with the speeds that work.
speed_t ParseSettings(const std::string& settings) {
  long baud = 0;
  std::size_t i = 0;
  while (i < settings.size() && settings[i] >= '0' && settings[i] <= '9' && baud < 100000000) {
    baud = baud * 10 + (settings[i] - '0');
    ++i;
  }
  for (const auto& s : kSpeeds) {
    if (i > 0 && s.baud == baud) return s.speed;
  }
  const std::string given = settings.substr(0, settings.find(','));
  Raise(kErrBadPropertyValue, StandardDescription(kErrBadPropertyValue) + ": the line speed " +
                                  given.substr(0, 20) + " is not one this port can use (" +
                                  SpeedsText() + ")");
}

// Error 8002 for a device that cannot be opened, saying why in terms a person can act on.
[[noreturn]] void CannotOpen(const std::string& device, int err) {
  std::string why;
  switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      why =
          "no such device (check the port number or the path; nevctl ports lists the serial "
          "ports of this machine)";
      break;
    case EACCES:
    case EPERM: {
      why = "permission denied: this user needs access to the serial devices";
      struct stat st {};
      if (::stat(device.c_str(), &st) == 0) {
        if (const group* g = ::getgrgid(st.st_gid)) {
          why += " (add the user to the group \"" + std::string(g->gr_name) +
                 "\" that owns it, then log in again)";
        }
      }
      break;
    }
    case ENOTTY:
    case EISDIR:
    case EINVAL:
      why = "not a serial device";
      break;
    default:
      why = std::strerror(err);
  }
  Raise(kErrPortOpenFailed, "Cannot open " + device + ": " + why);
}

class PosixSerialPort final : public SerialPort {
 public:
  ~PosixSerialPort() override { Close(); }

  void Open(const std::string& device, const std::string& settings) override {
    if (fd_ >= 0) Raise(kErrPortAlreadyOpen);
    const speed_t speed = ParseSettings(settings);
    // A path with an embedded NUL would silently name another device.
    if (device.empty() || device.find('\0') != std::string::npos) Raise(kErrPortOpenFailed);

    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == EBUSY) Raise(kErrPortAlreadyOpen);  // TIOCEXCL of another opener
      CannotOpen(device, errno);
    }
    // The advisory lock holds even against openers that TIOCEXCL lets through (root).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) Raise(kErrPortAlreadyOpen);
      CannotOpen(device, err);
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
      const int err = errno;
      ::close(fd);
      CannotOpen(device, err);
    }
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
      const int err = errno;
      ::close(fd);
      CannotOpen(device, err);
    }
    ::ioctl(fd, TIOCEXCL);
    // Modem lines: DTR on, RTS off. Pseudo-terminals have none; their refusal is harmless.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &dtr);
    ::ioctl(fd, TIOCMBIC, &rts);
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
  }

  void Close() override {
    if (fd_ < 0) return;
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    hung_up_ = false;
    buffer_.clear();
    head_ = 0;
  }

  bool IsOpen() const override { return fd_ >= 0; }

  void SetInputLen(int n) override {
    if (n < 0) Raise(kErrInvalidArgument);
    input_len_ = n;
  }

  std::string Input() override {
    if (fd_ < 0) Raise(kErrPortNotOpen);
    // Bytes are fetched from the line in blocks into the port's own buffer and handed out from
    // there, as a serial driver's receive buffer does: one-byte reads cost no system call each.
    if (input_len_ == 0) {
      while (Fill()) {
      }
      std::string out = buffer_.substr(head_);
      buffer_.clear();
      head_ = 0;
      return out;
    }
    if (head_ == buffer_.size()) Fill();
    const std::size_t n = std::min(static_cast<std::size_t>(input_len_), buffer_.size() - head_);
    std::string out = buffer_.substr(head_, n);
    head_ += n;
    return out;
  }

  void Output(std::string_view bytes) override {
    if (fd_ < 0) Raise(kErrPortNotOpen);
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{fd_, POLLOUT, 0};
        const int r = ::poll(&p, 1, kWriteStallMs);
        if (r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
        if (r < 0 && errno == EINTR) continue;
      }
      Raise(kErrPortOpenFailed, "Write to the port failed");
    }
  }

  void WaitReadable(int max_ms) override {
    if (fd_ < 0) return;
    int ms = max_ms < 0 ? 0 : max_ms;
    const int next = MillisUntilNextEvent();
    if (next >= 0 && next < ms) ms = next;
    if (ms == 0 || head_ < buffer_.size()) return;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, ms);
    // A line that hung up (the far end of a pseudo-terminal closed, an adapter pulled out)
    // reports itself at once; the next read that finds nothing then fails, so the caller learns
    // of the loss instead of waiting on a dead line.
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) hung_up_ = true;
  }

 private:
  // Appends what the line has pending to the buffer (compacting it first when it is all read).
  // False when nothing was pending. Throws when the read fails with nothing buffered.
  bool Fill() {
    if (head_ == buffer_.size()) {
      buffer_.clear();
      head_ = 0;
    }
    char buf[512];
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) {
        buffer_.append(buf, static_cast<std::size_t>(n));
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      const bool nothing = n == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
      if (nothing && !hung_up_) return false;
      if (head_ == buffer_.size()) Raise(kErrPortOpenFailed, "Read from the port failed");
      return false;
    }
  }

  int fd_ = -1;
  bool hung_up_ = false;  // the last wait saw the line hang up
  int input_len_ = 0;
  std::string buffer_;  // received bytes not yet handed out, from head_ on
  std::size_t head_ = 0;
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Create() {
  return std::make_unique<PosixSerialPort>();
}

bool SpeedSupported(int32_t baud) {
  return std::any_of(std::begin(kSpeeds), std::end(kSpeeds),
                     [baud](const auto& s) { return s.baud == baud; });
}

std::string SpeedsText() {
  std::string speeds;
  for (const auto& s : kSpeeds) speeds += (speeds.empty() ? "" : ", ") + std::to_string(s.baud);
  return speeds;
}

std::string DeviceForPort(int16_t port) {
  const std::string name = "NEVCOM_COM" + std::to_string(port);
  if (const char* device = std::getenv(name.c_str()); device && *device) return device;
  return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace nev::platform
