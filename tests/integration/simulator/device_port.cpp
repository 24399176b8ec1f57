#include "device_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string Check(const std::string& bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  sum &= 0xFF;
  return {static_cast<char>(0x30 + (sum >> 4)), static_cast<char>(0x30 + (sum & 15))};
}

std::string Frame(uint8_t seq, uint8_t cmd, const std::string& data) {
  std::string body{static_cast<char>(seq), 0x21, static_cast<char>(cmd),
                   static_cast<char>(0x20 + data.size())};
  body += data;
  return "\x02" + body + Check(body) + "\x03";
}

std::string Cp(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else if ((b & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
      unsigned cp = ((b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F);
      out += cp >= 0x410 && cp <= 0x44F ? static_cast<char>(0xC0 + cp - 0x410) : '?';
    } else {
      out += '?';
    }
  }
  return out;
}

DevicePort::DevicePort(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  termios t{};
  ::tcgetattr(fd_, &t);
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::tcsetattr(fd_, TCSANOW, &t);
  ::tcflush(fd_, TCIOFLUSH);
}

DevicePort::~DevicePort() {
  if (fd_ >= 0) ::close(fd_);
}

void DevicePort::Write(const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
    } else {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) throw std::runtime_error("write stalled");
    }
  }
}

Answer DevicePort::Read(int timeout_ms) {
  Answer a;
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(end)) <= 0) return Answer{};
    char c;
    ssize_t n = ::read(fd_, &c, 1);
    if (n <= 0) {
      if (p.revents & (POLLHUP | POLLERR)) return Answer{};
      continue;
    }
    if (!a.raw.empty()) {
      a.raw += c;
      if (a.raw.size() >= 5 &&
          a.raw.size() == static_cast<size_t>(static_cast<uint8_t>(a.raw[4])) - 0x20 + 11) {
        a.kind = Answer::kFrame;
        const size_t m = a.raw.size() - 11;
        a.data = a.raw.substr(5, m);
        for (int i = 0; i < 3; ++i) a.status[i] = static_cast<uint8_t>(a.raw[5 + m + i]);
        return a;
      }
    } else if (c == 0x02) {
      a.raw = c;
    } else if (c == 0x16) {
      ++a.syns;
    } else if (c == 0x06 || c == 0x15) {
      a.kind = c == 0x06 ? Answer::kAck : Answer::kNak;
      a.raw = c;
      return a;
    } else {
      a.before += c;
    }
  }
}

Answer DevicePort::Command(uint8_t cmd, const std::string& data, int timeout_ms) {
  Write(Frame(seq, cmd, data));
  seq = seq == 0xFF ? 0x20 : seq + 1;
  Answer a = Read(timeout_ms);
  if (a.kind != Answer::kNone && a.kind != Answer::kNak) Write("\x06");
  return a;
}

Answer DevicePort::Next(int timeout_ms) {
  Write("N");
  Answer a = Read(timeout_ms);
  if (a.kind == Answer::kFrame) Write("\x06");
  return a;
}

std::string DevicePort::Drain(int ms) {
  std::string out;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(end)) <= 0) return out;
    char buf[256];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0)
      out.append(buf, static_cast<size_t>(n));
    else if (p.revents & (POLLHUP | POLLERR))
      return out;
  }
}

bool DevicePort::HungUp(int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(end)) <= 0) return false;
    char buf[256];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno != EAGAIN) return true;
    if (n == 0 || (p.revents & (POLLHUP | POLLERR))) return true;
  }
}

}  // namespace simtest
