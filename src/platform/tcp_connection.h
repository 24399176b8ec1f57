// A TCP connection to a serial server: what the network line needs of the system's sockets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nev::platform {

class TcpConnection {
 public:
  virtual ~TcpConnection() = default;

  // Resolves the host (a name, an IPv4 address or an IPv6 address without brackets) and
  // connects, within limit_ms in all. The connection sends small writes at once and probes an
  // idle peer every few seconds (TCP keepalive), so a converter that died is noticed within
  // seconds. Throws RuntimeError 8002 "Cannot open <shown>: <why>" on failure, with nothing
  // left open.
  virtual void Connect(const std::string& host, uint16_t port, int limit_ms,
                       const std::string& shown) = 0;
  virtual void Close() = 0;  // no-op when not connected
  virtual bool IsOpen() const = 0;

  // Never blocks: appends what has arrived to `out`. False when the connection has ended (the
  // peer closed it, reset it, or stopped answering keepalive probes); it is then closed.
  virtual bool Receive(std::string& out) = 0;
  // Sends the whole buffer. False when the connection failed (it is then closed) or a write
  // stalled for seconds.
  virtual bool Send(std::string_view bytes) = 0;
  // Sleeps until bytes (or the end of the connection) can be read, the thread has an event due
  // (unless events is false), or max_ms passed. Returns at once when not connected.
  virtual void WaitReadable(int max_ms, bool events = true) = 0;

  static std::unique_ptr<TcpConnection> Create();
};

}  // namespace nev::platform
