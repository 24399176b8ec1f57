// The driver's end of a simulator's line, for tests: raw bytes over the pty's slave side.
#pragma once

#include <cstdint>
#include <string>

namespace simtest {

// Builds a request frame: STX, SEQ, 0x21, CMD, 0x20 + n, data, check characters, ETX.
std::string Frame(uint8_t seq, uint8_t cmd, const std::string& data = {});
// Check characters of a byte sum: 0x30 + high nibble, 0x30 + low nibble.
std::string Check(const std::string& bytes);
// Windows-1251 text from UTF-8 (Cyrillic and ASCII only; enough for the tests).
std::string Cp(const std::string& utf8);

struct Answer {
  enum Kind { kNone, kAck, kNak, kFrame } kind = kNone;
  std::string before;  // bytes that came before the answer (other than SYN)
  int syns = 0;        // SYNs that came before the answer
  std::string raw;     // the answer itself
  std::string data;    // reply frame data
  uint8_t status[3] = {0, 0, 0};
  bool error() const { return kind == kFrame && (status[0] & 0x01); }
};

class DevicePort {
 public:
  explicit DevicePort(const std::string& path);
  ~DevicePort();
  DevicePort(const DevicePort&) = delete;
  DevicePort& operator=(const DevicePort&) = delete;

  void Write(const std::string& bytes);
  // Reads one answer: SYNs and stray bytes, then ACK, NAK or a whole reply frame (taken by its
  // length byte). kNone when nothing completes within timeout_ms.
  Answer Read(int timeout_ms = 3000);
  // One exchange as the driver does it: frame out, answer in, one ACK back after the terminator.
  Answer Command(uint8_t cmd, const std::string& data = {}, int timeout_ms = 3000);
  // The bare "N".
  Answer Next(int timeout_ms = 3000);
  // Whatever arrives within ms (for checking silence); stops early on a hang-up.
  std::string Drain(int ms);
  // True when the line reports a hang-up or read error (the simulator dropped it).
  bool HungUp(int timeout_ms);
  uint8_t seq = 0x20;

 private:
  int fd_ = -1;
};

}  // namespace simtest
