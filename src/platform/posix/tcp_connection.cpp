// TCP connections on POSIX: non-blocking sockets, poll for every wait, keepalive with short
// timers, name resolution on a helper thread so that it stays within its time-out.
#include "platform/tcp_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "nev/error.h"
#include "platform/event_loop.h"

namespace nev::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWriteStallMs = 5000;
// Keepalive: probes after 2 s idle, every 1 s, 3 unanswered end the connection; data not
// acknowledged for 5 s ends it too.
constexpr int kKeepIdleS = 2;
constexpr int kKeepIntervalS = 1;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 5000;
constexpr int kOn = 1;

[[noreturn]] void Fail(const std::string& shown, const std::string& why) {
  Raise(kErrPortOpenFailed, "Cannot open " + shown + ": " + why);
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};
using Addresses = std::unique_ptr<addrinfo, AddrInfoFree>;

// A resolution that the caller may stop waiting for: the helper thread owns its share.
struct Resolution {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int rc = 0;
  addrinfo* result = nullptr;
  ~Resolution() {
    if (result) ::freeaddrinfo(result);
  }
};

Addresses Resolve(const std::string& host, uint16_t port, int limit_ms, const std::string& shown) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  // An address needs no lookup.
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) return Addresses(found);
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  auto r = std::make_shared<Resolution>();
  try {
    std::thread([r, host, service, hints] {
      addrinfo* result = nullptr;
      const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
      std::lock_guard<std::mutex> lock(r->mutex);
      r->rc = rc;
      r->result = result;
      r->done = true;
      r->done_cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    Fail(shown, "the name " + host + " could not be looked up (no thread for it)");
  }
  std::unique_lock<std::mutex> lock(r->mutex);
  if (!r->done_cv.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return r->done; })) {
    Fail(shown,
         "the name " + host + " was not resolved within " + std::to_string(limit_ms) + " ms");
  }
  if (r->rc != 0) {
    Fail(shown, "the name " + host + " could not be resolved (" + ::gai_strerror(r->rc) + ")");
  }
  return Addresses(std::exchange(r->result, nullptr));
}

void KeepAlive(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Connects to one address within the time left: the socket, or -1 with errno set.
int ConnectOne(const addrinfo& a, Clock::time_point end) {
  const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
  if (fd < 0) return -1;
  KeepAlive(fd);
  if (::connect(fd, a.ai_addr, a.ai_addrlen) == 0) return fd;
  if (errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
      r = ::poll(&p, 1, MillisLeft(end));
    } while (r < 0 && errno == EINTR);
    if (r > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err == 0) return fd;
      errno = err;
    } else {
      errno = ETIMEDOUT;
    }
  }
  const int err = errno;
  ::close(fd);
  errno = err;
  return -1;
}

class PosixTcpConnection final : public TcpConnection {
 public:
  ~PosixTcpConnection() override { Close(); }

  void Connect(const std::string& host, uint16_t port, int limit_ms,
               const std::string& shown) override {
    Close();
    const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    const Addresses addresses = Resolve(host, port, limit_ms, shown);
    int err = ETIMEDOUT;
    for (const addrinfo* a = addresses.get(); a && Clock::now() < end; a = a->ai_next) {
      const int fd = ConnectOne(*a, end);
      if (fd >= 0) {
        fd_ = fd;
        return;
      }
      err = errno;
    }
    if (err == ETIMEDOUT) {
      Fail(shown, "no connection within " + std::to_string(limit_ms) + " ms");
    }
    Fail(shown, err == ECONNREFUSED ? "connection refused" : std::strerror(err));
  }

  void Close() override {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
  }

  bool IsOpen() const override { return fd_ >= 0; }

  bool Receive(std::string& out) override {
    if (fd_ < 0) return false;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        // Acknowledge at once: a server that holds its next small write until the last one is
        // acknowledged (Nagle) would otherwise wait for the delayed acknowledgement.
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &kOn, sizeof kOn);
        if (static_cast<std::size_t>(n) < sizeof buf) return true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      Close();  // the peer closed (0) or the connection failed
      return false;
    }
  }

  bool Send(std::string_view bytes) override {
    while (fd_ >= 0 && !bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
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
      Close();
      return false;
    }
    return fd_ >= 0;
  }

  void WaitReadable(int max_ms, bool events) override {
    if (fd_ < 0) return;
    int ms = std::max(0, max_ms);
    const int next = events ? MillisUntilNextEvent() : -1;
    if (next >= 0 && next < ms) ms = next;
    if (ms == 0) return;
    pollfd p{fd_, POLLIN, 0};
    ::poll(&p, 1, ms);
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<TcpConnection> TcpConnection::Create() {
  return std::make_unique<PosixTcpConnection>();
}

}  // namespace nev::platform
