// A simulator on a fresh pseudo-terminal, with the test playing the driver on its slave side by
// writing and reading raw bytes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nevsim/simulator.h"
#include "support/commands.h"

namespace simtest {

using Clock = std::chrono::steady_clock;
using nev::protocol::Code;
using nev::protocol::Command;

// Check characters of a byte sum: 0x30 + high nibble, 0x30 + low nibble.
inline std::string Check(const std::string& bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  return {static_cast<char>(0x30 + ((sum >> 4) & 15)), static_cast<char>(0x30 + (sum & 15))};
}

// A request frame: STX, SEQ, 0x21, CMD, 0x20 + n, data, check characters, ETX. A code the device
// does not know is written Command{0x50}.
inline std::string Frame(uint8_t seq, Command cmd, const std::string& data = {}) {
  std::string body{static_cast<char>(seq), 0x21, static_cast<char>(Code(cmd)),
                   static_cast<char>(0x20 + data.size())};
  return "\x02" + body + data + Check(body + data) + "\x03";
}

// Windows-1251 text from UTF-8 holding ASCII and the Cyrillic letters А..я only.
inline std::string Cp(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const unsigned cp = b < 0x80 ? b : ((b & 0x1F) << 6) | (utf8[++i] & 0x3F);
    out += static_cast<char>(cp < 0x80 ? cp : 0xC0 + cp - 0x410);
  }
  return out;
}

// What a command gets back: nothing, ACK, NAK, a reply frame, or a refusal (a reply frame with
// the general-error bit set).
enum class Answer { kNone, kAck, kNak, kFrame, kRefusal };
inline void PrintTo(Answer a, std::ostream* os) {
  static const char* const names[] = {"nothing", "ACK", "NAK", "reply frame", "refusal"};
  *os << names[static_cast<int>(a)];
}

// One answer as read from the line.
struct Reply {
  Answer kind = Answer::kNone;
  std::string before;  // bytes other than SYN that came before the answer
  int syns = 0;        // SYNs that came before the answer
  std::string raw;     // the answer itself
  std::string data;    // reply frame data
  uint8_t status[3] = {0, 0, 0};
  bool error() const { return kind == Answer::kRefusal; }
};

class DevicePort {
 public:
  explicit DevicePort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  ~DevicePort() { ::close(fd_); }

  void Write(const std::string& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // One answer: SYNs and stray bytes, then ACK, NAK or a whole reply frame (taken by its length
  // byte; kRefusal when it carries the general-error bit). kNone when nothing completes within 3 s.
  Reply Read() {
    Reply a;
    const auto end = Clock::now() + std::chrono::seconds(3);
    for (char c; Byte(c, end);) {
      if (a.raw.empty() && c == 0x16) {
        ++a.syns;
      } else if (a.raw.empty() && c != 0x02 && c != 0x06 && c != 0x15) {
        a.before += c;
      } else if ((a.raw += c).size() == 1 && c != 0x02) {
        a.kind = c == 0x06 ? Answer::kAck : Answer::kNak;
        return a;
      } else if (a.raw.size() >= 5 && a.raw.size() == uint8_t(a.raw[4]) - 0x20u + 11) {
        a.data = a.raw.substr(5, a.raw.size() - 11);
        std::copy_n(a.raw.end() - 6, 3, a.status);
        a.kind = a.status[0] & 0x01 ? Answer::kRefusal : Answer::kFrame;
        return a;
      }
    }
    return Reply{};
  }
  // As the driver does it: bytes out, answer in, one ACK back after a reply frame or an ACK.
  Reply Send(const std::string& bytes) {
    Write(bytes);
    Reply a = Read();
    if (a.kind != Answer::kNone && a.kind != Answer::kNak) Write("\x06");
    return a;
  }
  // A request frame with the next sequence byte, sent as above.
  Reply Request(Command cmd, const std::string& data = {}) {
    const uint8_t s = seq;
    seq = seq == 0xFF ? 0x20 : seq + 1;
    return Send(Frame(s, cmd, data));
  }
  // Whatever arrives within ms; stops early when the line hangs up (and sets hung_up).
  std::string Drain(int ms) {
    std::string out;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (char c; Byte(c, end);) out += c;
    return out;
  }

  uint8_t seq = 0x20;
  bool hung_up = false;

 private:
  bool Byte(char& c, Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, std::max<int>(0, left.count())) <= 0) return false;
    if (::read(fd_, &c, 1) == 1) return true;
    hung_up = true;
    return false;
  }
  int fd_;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { Begin(); }
  // A new simulator, with short reports unless a test asks for other timing.
  void Begin(int long_op_ms = 300, int syn_interval_ms = 100) {
    nevsim::Options o;
    o.long_op_ms = long_op_ms;
    o.syn_interval_ms = syn_interval_ms;
    port.reset();
    sim = std::make_unique<nevsim::Simulator>(o);
    sim->Start();
    port = std::make_unique<DevicePort>(sim->SlavePath());
  }

  // The layout the driver relies on: STX, three header bytes, length, data, three status bytes
  // with bit 7 set, check characters, ETX; no byte between STX and ETX that the driver acts on.
  static void ExpectWellFormed(const Reply& a) {
    ASSERT_TRUE(a.kind == Answer::kFrame || a.kind == Answer::kRefusal) << a.raw;
    const std::string& r = a.raw;
    ASSERT_GE(r.size(), 11u);
    EXPECT_EQ(r.back(), '\x03');
    EXPECT_EQ(r[2], '\x21');
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(a.status[i] & 0x80) << "status byte " << i;
    for (size_t i = 1; i + 1 < r.size(); ++i)
      EXPECT_EQ(std::string("\x03\x06\x15\x16").find(r[i]), std::string::npos) << "at " << i;
    EXPECT_EQ(r.substr(r.size() - 3, 2), Check(r.substr(1, r.size() - 4)));
  }

  // A command and the answer it must get: ACK, NAK, a well-formed reply frame without the
  // general-error bit (holding reply when given), or a refusal: one with that bit and no data.
  struct Step {
    Answer want;
    Command cmd;
    std::string data;
    std::optional<std::string> reply;
  };
  static Step Ack(Command cmd, std::string data = {}) { return {Answer::kAck, cmd, data, {}}; }
  static Step Nak(Command cmd, std::string data = {}) { return {Answer::kNak, cmd, data, {}}; }
  static Step Ok(Command cmd, std::string data = {}, std::optional<std::string> reply = {}) {
    return {Answer::kFrame, cmd, data, reply};
  }
  static Step Refused(Command cmd, std::string data = {}) {
    return {Answer::kRefusal, cmd, data, ""};
  }

  // Sends the step's command, checks the answer and returns the reply data.
  std::string Do(const Step& s, size_t step = 0) {
    SCOPED_TRACE(testing::Message() << "step " << step << ": command 0x" << std::hex
                                    << int(Code(s.cmd)) << " " << s.data);
    const Reply a = port->Request(s.cmd, s.data);
    EXPECT_EQ(a.kind, s.want);
    if (s.want == Answer::kFrame || s.want == Answer::kRefusal) {
      ExpectWellFormed(a);
      EXPECT_EQ(a.data, s.reply.value_or(a.data));
    }
    return a.data;
  }
  void Run(const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) Do(steps[i], i);
  }
  uint8_t Status0() { return port->Request(Command::kGetStatus).status[0]; }
  bool Printed(const std::string& text) { return sim->Paper().find(text) != std::string::npos; }

  // Declared in this order so that the port closes before the simulator stops.
  std::unique_ptr<nevsim::Simulator> sim;
  std::unique_ptr<DevicePort> port;
};

}  // namespace simtest
