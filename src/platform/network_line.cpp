// Network lines (raw TCP and Telnet COM-PORT-OPTION serial servers) behind the serial port's
// interface, and the line that is either, chosen by the device text at each Open.
#include <algorithm>
#include <chrono>

#include "nev/error.h"
#include "nev/port_spec.h"
#include "platform/event_loop.h"
#include "platform/serial_port.h"
#include "platform/tcp_connection.h"
#include "platform/telnet.h"

namespace nev::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Open's whole reach for a network line unless the caller sets another: resolving, connecting
// and setting the line up.
constexpr int kDefaultOpenLimitMs = 5000;
// A server that has sent this many option negotiations is looping, not setting up.
constexpr int kMaxNegotiations = 200;
constexpr uint32_t kMaxBaud = 4000000;

uint32_t ParseBaud(const std::string& settings) {
  uint64_t baud = 0;
  std::size_t i = 0;
  for (; i < settings.size() && i < 10 && settings[i] >= '0' && settings[i] <= '9'; ++i) {
    baud = baud * 10 + static_cast<uint64_t>(settings[i] - '0');
  }
  if (i == 0 || baud < 1 || baud > kMaxBaud) {
    Raise(kErrBadPropertyValue,
          StandardDescription(kErrBadPropertyValue) + ": the line speed " +
              settings.substr(0, std::min<std::size_t>(settings.find(','), 20)) +
              " is not one a line can use (1 to 4000000, e.g. 9600)");
  }
  return static_cast<uint32_t>(baud);
}

class NetworkLine final : public SerialPort {
 public:
  explicit NetworkLine(bool rfc2217) : rfc2217_(rfc2217), conn_(TcpConnection::Create()) {}
  ~NetworkLine() override { Close(); }

  void Open(const std::string& device, const std::string& settings) override {
    if (open_) Raise(kErrPortAlreadyOpen);
    const uint32_t baud = ParseBaud(settings);
    PortSpec spec;
    try {
      spec = PortSpec::Parse(device);
    } catch (const PortSpecError& e) {
      Raise(kErrPortOpenFailed, "Cannot open " + e.shown() + ": " + e.reason());
    }
    if (!spec.Network())
      Raise(kErrPortOpenFailed, "Cannot open " + device + ": not a network line");
    shown_ = spec.Text();
    const auto end = Clock::now() + std::chrono::milliseconds(limit_ms_);
    conn_->Connect(spec.host, spec.tcp_port, limit_ms_, shown_);
    buffer_.clear();
    head_ = 0;
    pending_.clear();
    dead_.clear();
    decoder_ = telnet::Decoder();
    if (rfc2217_) {
      try {
        SetUp(baud, end);
      } catch (...) {
        conn_->Close();
        throw;
      }
    }
    open_ = true;
  }

  void Close() override {
    conn_->Close();
    open_ = false;
    dead_.clear();
    buffer_.clear();
    head_ = 0;
    pending_.clear();
  }

  bool IsOpen() const override { return open_; }

  void SetInputLen(int n) override {
    if (n < 0) Raise(kErrInvalidArgument);
    input_len_ = n;
  }

  std::string Input() override {
    if (!open_) Raise(kErrPortNotOpen);
    if (input_len_ == 0 || head_ == buffer_.size()) Fill();
    if (head_ == buffer_.size() && !dead_.empty()) {
      Raise(kErrPortOpenFailed, "Read from the port failed: " + shown_ + " " + dead_);
    }
    const std::size_t left = buffer_.size() - head_;
    const std::size_t n =
        input_len_ == 0 ? left : std::min(static_cast<std::size_t>(input_len_), left);
    std::string out = buffer_.substr(head_, n);
    head_ += n;
    if (head_ == buffer_.size()) {
      buffer_.clear();
      head_ = 0;
    }
    return out;
  }

  void Output(std::string_view bytes) override {
    if (!open_) Raise(kErrPortNotOpen);
    if (dead_.empty()) {
      std::string out = std::move(pending_);
      pending_.clear();
      if (rfc2217_) {
        out += telnet::Escape(bytes);
      } else {
        out.append(bytes);
      }
      if (conn_->Send(out)) return;
      dead_ = "failed";
    }
    Raise(kErrPortOpenFailed, "Write to the port failed: " + shown_ + " " + dead_);
  }

  void WaitReadable(int max_ms) override {
    if (!open_ || !dead_.empty() || head_ < buffer_.size()) return;
    conn_->WaitReadable(max_ms);
  }

  // The purge goes out with the next frame, ahead of it, in the same write.
  void Purge() override {
    if (open_ && rfc2217_ && pending_.empty()) pending_ = telnet::PurgeReceived();
  }

  void SetOpenLimit(int ms) override { limit_ms_ = std::max(1, ms); }

 private:
  [[noreturn]] void Fail(const std::string& why) {
    Raise(kErrPortOpenFailed, "Cannot open " + shown_ + ": " + why);
  }

  // Agrees on the COM-PORT-OPTION and sets the line: the speed, 8 data bits, no parity, one stop
  // bit; done when the server confirms the speed. What the device sent meanwhile is let go.
  void SetUp(uint32_t baud, Clock::time_point end) {
    if (!conn_->Send(telnet::Opening())) Fail("the server closed the connection");
    bool settings_sent = false;
    for (;;) {
      std::string raw, data, answer;
      const bool alive = conn_->Receive(raw);
      decoder_.Take(raw, data, answer);
      if (!answer.empty() && !conn_->Send(answer)) Fail("the server closed the connection");
      if (decoder_.com_port_refused()) {
        Fail(
            "the server refuses the COM-PORT-OPTION (RFC 2217): a raw TCP server is "
            "tcp://HOST:PORT");
      }
      if (decoder_.com_port_agreed() && !settings_sent) {
        if (!conn_->Send(telnet::LineSettings(baud))) Fail("the server closed the connection");
        settings_sent = true;
      }
      if (const auto set = decoder_.baud_set()) {
        if (*set == baud) return;
        Fail("the server set the line speed to " + std::to_string(*set) + ", not " +
             std::to_string(baud));
      }
      if (!alive) Fail("the server closed the connection while the line was being set up");
      if (decoder_.negotiations() > kMaxNegotiations) Fail("the server does not stop negotiating");
      if (Clock::now() >= end) {
        Fail(std::string(settings_sent ? "the server did not confirm the line speed"
                                       : "the server did not take the COM-PORT-OPTION") +
             " within " + std::to_string(limit_ms_) + " ms");
      }
      conn_->WaitReadable(MillisLeft(end), false);
    }
  }

  // Takes what has arrived into the buffer (decoded, negotiations answered). A connection that
  // ended, or a server that keeps negotiating, makes the line dead, its socket closed.
  void Fill() {
    if (!dead_.empty()) return;
    std::string raw;
    const bool alive = conn_->Receive(raw);
    if (rfc2217_) {
      std::string answer;
      decoder_.Take(raw, buffer_, answer);
      if (!answer.empty() && alive && !conn_->Send(answer)) dead_ = "failed";
      if (decoder_.negotiations() > kMaxNegotiations) {
        conn_->Close();
        dead_ = "failed: the server does not stop negotiating";
      }
    } else {
      buffer_ += raw;
    }
    if (!alive && dead_.empty()) dead_ = "failed: the connection was closed";
  }

  const bool rfc2217_;
  std::unique_ptr<TcpConnection> conn_;
  telnet::Decoder decoder_;
  int limit_ms_ = kDefaultOpenLimitMs;
  bool open_ = false;
  std::string dead_;  // not empty: the connection ended, and how
  std::string shown_;
  int input_len_ = 0;
  std::string buffer_;  // received data not yet handed out, from head_ on
  std::size_t head_ = 0;
  std::string pending_;  // control bytes to go out ahead of the next data
};

// The serial port or a network line, as the device text of each Open says.
class AnyLine final : public SerialPort {
 public:
  void Open(const std::string& device, const std::string& settings) override {
    if (!line_ || !line_->IsOpen()) {
      int kind = 0;  // 0 serial, 1 tcp, 2 rfc2217
      if (device.rfind("tcp://", 0) == 0) kind = 1;
      if (device.rfind("rfc2217://", 0) == 0) kind = 2;
      if (!line_ || kind != kind_) {
        line_ = kind == 0 ? SerialPort::Create() : CreateNetworkLine(kind == 2);
        line_->SetInputLen(input_len_);
        kind_ = kind;
      }
      line_->SetOpenLimit(limit_ms_);
    }
    line_->Open(device, settings);
  }
  void Close() override {
    if (line_) line_->Close();
  }
  bool IsOpen() const override { return line_ && line_->IsOpen(); }
  void SetInputLen(int n) override {
    if (n < 0) Raise(kErrInvalidArgument);
    if (line_) line_->SetInputLen(n);
    input_len_ = n;
  }
  std::string Input() override {
    if (!line_) Raise(kErrPortNotOpen);
    return line_->Input();
  }
  void Output(std::string_view bytes) override {
    if (!line_) Raise(kErrPortNotOpen);
    line_->Output(bytes);
  }
  void WaitReadable(int max_ms) override {
    if (line_) line_->WaitReadable(max_ms);
  }
  void Purge() override {
    if (line_) line_->Purge();
  }
  void SetOpenLimit(int ms) override {
    limit_ms_ = ms;
    if (line_) line_->SetOpenLimit(ms);
  }

 private:
  std::unique_ptr<SerialPort> line_;
  int kind_ = 0;
  int input_len_ = 0;
  int limit_ms_ = kDefaultOpenLimitMs;
};

}  // namespace

std::unique_ptr<SerialPort> CreateNetworkLine(bool rfc2217) {
  return std::make_unique<NetworkLine>(rfc2217);
}

std::unique_ptr<SerialPort> SerialPort::CreateLine() {
  return std::make_unique<AnyLine>();
}

}  // namespace nev::platform
