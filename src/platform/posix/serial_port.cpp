// The serial port on POSIX: termios in raw 8N1, exclusive use, non-blocking reads.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "nev/error.h"
#include "nev/port_spec.h"
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

[[noreturn]] void RaiseWith(int32_t number, const std::string& device, const std::string& cause,
                            const std::string& remedy) {
  ErrorRecord record{number, cause + (remedy.empty() ? "" : ": " + remedy), "NEVComServer"};
  record.port = device;
  record.remedy = remedy;
  throw RuntimeError(std::move(record));
}

// Who may open a device file, from its owner, group and mode: "only root", "only root and the
// group \"dialout\"", "everyone".
std::string WhoMayOpen(const struct stat& st, const std::string& group) {
  const mode_t rw = S_IRUSR | S_IWUSR, grw = S_IRGRP | S_IWGRP, orw = S_IROTH | S_IWOTH;
  if ((st.st_mode & orw) == orw) return "everyone";
  std::string who = "only root";
  if ((st.st_mode & rw) == rw && st.st_uid != 0) {
    const passwd* owner = ::getpwuid(st.st_uid);
    who +=
        ", the user \"" + (owner ? std::string(owner->pw_name) : std::to_string(st.st_uid)) + "\"";
  }
  if ((st.st_mode & grw) == grw && st.st_gid != 0) who += " and the group \"" + group + "\"";
  return who;
}

// Error 8002 for a device that cannot be opened, saying why and what to do in terms a person can
// act on. Access is never advised through root or its group: a udev rule or the serial group.
[[noreturn]] void CannotOpen(const std::string& device, int err) {
  const std::string cause = "Cannot open " + device + ": ";
  switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      RaiseWith(kErrPortOpenFailed, device, cause + "no such device",
                "check the port number or the path and that the adapter is plugged in (nevctl "
                "ports lists the serial ports of this machine)");
    case EACCES:
    case EPERM: {
      struct stat st {};
      if (::stat(device.c_str(), &st) != 0) {
        RaiseWith(kErrPortOpenFailed, device, cause + "permission denied",
                  "this user needs access to the serial devices (nevctl doctor tells more)");
      }
      const group* g = ::getgrgid(st.st_gid);
      const std::string group = g ? g->gr_name : std::to_string(st.st_gid);
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      const std::string who = WhoMayOpen(st, group);
      const std::string why =
          "permission denied: " + who + " may open it (group \"" + group + "\", mode " + mode + ")";
      // A group other than root's that may read and write it is the safe way in; otherwise the
      // device is given to the serial group by a udev rule first.
      const bool group_may = st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) ==
                                                   static_cast<mode_t>(S_IRGRP | S_IWGRP);
      const std::string rule =
          "a udev rule such as SUBSYSTEM==\"tty\", KERNEL==\"" +
          device.substr(device.rfind('/') + 1) +
          "\", GROUP=\"dialout\", MODE=\"0660\" in /etc/udev/rules.d/60-nev.rules";
      const std::string remedy =
          group_may
              ? "add this user to the group \"" + group + "\" (sudo usermod -aG " + group +
                    " USER, then log in again), or give the device to another group with " + rule
              : "give the device to the serial group with " + rule +
                    ", then add this user to the group \"dialout\" (sudo usermod -aG "
                    "dialout USER, then log in again)";
      RaiseWith(kErrPortOpenFailed, device, cause + why, remedy);
    }
    case ENOTTY:
    case EISDIR:
    case EINVAL:
      RaiseWith(kErrPortOpenFailed, device, cause + "not a serial device",
                "give the path of a serial device (nevctl ports lists them)");
    default:
      RaiseWith(kErrPortOpenFailed, device, cause + std::strerror(err), "");
  }
}

// The programs that hold the device, as "nevd (pid 42)": those holding its lock (/proc/locks),
// else those that have it open (/proc/*/fd); empty when the system does not tell (another user's
// programs are hidden from an ordinary user).
std::string HoldersOf(const std::string& device) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target = fs::canonical(device, ec);
  struct stat st {};
  if (ec || ::stat(target.c_str(), &st) != 0) return {};
  auto named = [](const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return (name.empty() ? "a program" : name) + " (pid " + pid + ")";
  };
  std::string holders;
  // "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF": the pid, and the file as dev major:minor
  // (hex):inode.
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream in(line);
    std::string n, kind, mode, rw, pid, where;
    if (!(in >> n >> kind >> mode >> rw >> pid >> where) || where != file) continue;
    holders += (holders.empty() ? "" : ", ") + named(pid);
  }
  if (!holders.empty()) return holders;
  for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fd_ec;
    for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd.path(), link_ec) != target) continue;
      holders += (holders.empty() ? "" : ", ") + named(pid);
      break;
    }
  }
  return holders;
}

// Error 8005: the port is held elsewhere, naming the holder when the system can tell.
[[noreturn]] void InUse(const std::string& device) {
  const std::string holders = HoldersOf(device);
  const std::string cause = StandardDescription(kErrPortAlreadyOpen) + ": " + device +
                            " is held by " + (holders.empty() ? "another program" : holders);
  std::string remedy =
      holders.empty() ? "close the program that uses it (as root, fuser " + device + " names it)"
                      : "close that program or wait until it lets the port go";
  if (holders.find("nevd (") != std::string::npos) {
    remedy =
        "nevd holds it for its printer: let nevd release it for a while (POST "
        "/api/v1/printers/ID/release) or print through nevd";
  }
  RaiseWith(kErrPortAlreadyOpen, device, cause, remedy);
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
      if (errno == EBUSY) InUse(device);  // TIOCEXCL of another opener
      CannotOpen(device, errno);
    }
    // The advisory lock holds even against openers that TIOCEXCL lets through (root).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) InUse(device);
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

namespace nev {

std::string PortHolders(const std::string& device) {
  return platform::HoldersOf(device);
}

}  // namespace nev
