// TCP connections on Windows (Winsock 2, XP and later): non-blocking sockets; a wait for input is
// an event of the socket slept on with MsgWaitForMultipleObjectsEx, so the thread's window
// messages (timer ticks among them) still end it. Keepalive with short timers; name resolution on
// a helper thread so that it stays within its time-out.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "nev/error.h"
#include "platform/event_loop.h"
#include "platform/tcp_connection.h"

namespace nev::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kWriteStallMs = 5000;
// Keepalive: the first probe after 2 s idle, then every 1 s (the system sends a fixed number).
constexpr ULONG kKeepIdleMs = 2000;
constexpr ULONG kKeepIntervalMs = 1000;
// SIO_TCP_SET_ACK_FREQUENCY, which the XP-era headers do not name.
constexpr DWORD kSetAckFrequency = _WSAIOW(IOC_VENDOR, 23);

[[noreturn]] void Fail(const std::string& shown, const std::string& why) {
  Raise(kErrPortOpenFailed, "Cannot open " + shown + ": " + why);
}

std::string ErrorText(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return "connection refused";
    case WSAETIMEDOUT:
      return "no answer from the server";
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
      return "the server cannot be reached";
    default:
      return "socket error " + std::to_string(error);
  }
}

struct Resolution {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int rc = 0;
  addrinfo* result = nullptr;
  ~Resolution() {
    if (result) freeaddrinfo(result);
  }
};

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};
using Addresses = std::unique_ptr<addrinfo, AddrInfoFree>;

Addresses Resolve(const std::string& host, uint16_t port, int limit_ms, const std::string& shown) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST;
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) return Addresses(found);
  hints.ai_flags = 0;
  auto r = std::make_shared<Resolution>();
  try {
    std::thread([r, host, service, hints] {
      addrinfo* result = nullptr;
      const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
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
    Fail(shown,
         "the name " + host + " could not be resolved (error " + std::to_string(r->rc) + ")");
  }
  return Addresses(std::exchange(r->result, nullptr));
}

void KeepAlive(SOCKET s) {
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive keep{1, kKeepIdleMs, kKeepIntervalMs};
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr);
  // Acknowledge every segment at once (Windows 8 and later; refused harmlessly before): a server
  // that holds its next small write until the last is acknowledged (Nagle) would otherwise wait
  // for the delayed acknowledgement at every exchange.
  DWORD every = 1;
  WSAIoctl(s, kSetAckFrequency, &every, sizeof every, nullptr, 0, &returned, nullptr, nullptr);
}

// Waits until the socket can be written (a connect finished, room to send), or ms passed.
// 0 when writable, else the socket's error (WSAETIMEDOUT when the time ran out).
int WaitWritable(SOCKET s, int ms) {
  fd_set write_set, error_set;
  FD_ZERO(&write_set);
  FD_ZERO(&error_set);
  FD_SET(s, &write_set);
  FD_SET(s, &error_set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  const int r = select(0, nullptr, &write_set, &error_set, &tv);
  if (r == 0) return WSAETIMEDOUT;
  if (r < 0) return WSAGetLastError();
  if (FD_ISSET(s, &error_set)) {
    int err = 0;
    int len = sizeof err;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
    return err ? err : WSAECONNREFUSED;
  }
  return 0;
}

class Win32TcpConnection final : public TcpConnection {
 public:
  Win32TcpConnection() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    event_ = WSACreateEvent();
  }
  ~Win32TcpConnection() override {
    Close();
    if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
    if (started_) WSACleanup();
  }

  void Connect(const std::string& host, uint16_t port, int limit_ms,
               const std::string& shown) override {
    Close();
    if (!started_ || event_ == WSA_INVALID_EVENT) Fail(shown, "Winsock is not available");
    const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    const Addresses addresses = Resolve(host, port, limit_ms, shown);
    int err = WSAETIMEDOUT;
    for (const addrinfo* a = addresses.get(); a && Clock::now() < end; a = a->ai_next) {
      SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
      if (s == INVALID_SOCKET) {
        err = WSAGetLastError();
        continue;
      }
      u_long non_blocking = 1;
      ioctlsocket(s, FIONBIO, &non_blocking);
      KeepAlive(s);
      err = 0;
      if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) err = WaitWritable(s, MillisLeft(end));
      }
      if (err == 0 && WSAEventSelect(s, event_, FD_READ | FD_CLOSE) == 0) {
        socket_ = s;
        return;
      }
      closesocket(s);
    }
    if (err == WSAETIMEDOUT)
      Fail(shown, "no connection within " + std::to_string(limit_ms) + " ms");
    Fail(shown, ErrorText(err));
  }

  void Close() override {
    if (socket_ == INVALID_SOCKET) return;
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
    WSAResetEvent(event_);
  }

  bool IsOpen() const override { return socket_ != INVALID_SOCKET; }

  bool Receive(std::string& out) override {
    if (socket_ == INVALID_SOCKET) return false;
    char buf[4096];
    for (;;) {
      const int n = recv(socket_, buf, sizeof buf, 0);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        if (n < static_cast<int>(sizeof buf)) return true;
        continue;
      }
      if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return true;
      Close();
      return false;
    }
  }

  bool Send(std::string_view bytes) override {
    while (socket_ != INVALID_SOCKET && !bytes.empty()) {
      const int n = send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK &&
          WaitWritable(socket_, static_cast<int>(kWriteStallMs)) == 0) {
        continue;
      }
      Close();
      return false;
    }
    return socket_ != INVALID_SOCKET;
  }

  void WaitReadable(int max_ms, bool events) override {
    if (socket_ == INVALID_SOCKET || max_ms <= 0) return;
    if (events && MillisUntilNextEvent() == 0) return;
    // What the socket recorded since the last look (this resets its event): input or the close
    // ends the wait at once.
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(socket_, event_, &happened) != 0 ||
        (happened.lNetworkEvents & (FD_READ | FD_CLOSE))) {
      return;
    }
    u_long queued = 0;
    if (ioctlsocket(socket_, FIONREAD, &queued) != 0 || queued > 0) return;
    HANDLE handle = event_;
    if (events) {
      MsgWaitForMultipleObjectsEx(1, &handle, static_cast<DWORD>(max_ms), QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
    } else {
      WaitForSingleObject(handle, static_cast<DWORD>(max_ms));
    }
  }

 private:
  bool started_ = false;
  WSAEVENT event_ = WSA_INVALID_EVENT;
  SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace

std::unique_ptr<TcpConnection> TcpConnection::Create() {
  return std::make_unique<Win32TcpConnection>();
}

}  // namespace nev::platform
