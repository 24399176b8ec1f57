// Line bytes of the device side: frame checking, reply building and a readable dump for traces.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace nevsim {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kTab = 0x09;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kSyn = 0x16;
inline constexpr uint8_t kHeader = 0x21;
inline constexpr uint8_t kNext = 'N';  // bare byte: next piece of the fiscal-memory report
inline constexpr uint8_t kProbe = 0xFF;

// Two check characters of a byte sum: 0x30 + high nibble, 0x30 + low nibble.
std::string CheckChars(const std::string& bytes);

// True for the bytes the driver acts on wherever they occur (ETX, ACK, NAK, SYN).
bool IsDriverControl(uint8_t byte);

// Reply frame: STX, SEQ, 0x21, CMD, 0x20 + m, data, three status bytes, check characters, ETX.
// The check characters cover everything between STX and themselves. Header bytes below 0x20 are
// lifted to 0x20 so that no header byte is ever a control byte.
std::string BuildReply(uint8_t seq, uint8_t cmd, const std::string& data, const uint8_t status[3]);

// Replaces the driver's control bytes (and every other byte below 0x20 but TAB) with '?', and cuts
// the text to the 223 bytes a reply frame can carry.
std::string SafeReplyData(const std::string& data);

// One event read off the line.
struct LineEvent {
  enum Kind { kFrame, kBadFrame, kNextPiece } kind = kFrame;
  std::string raw;
  uint8_t seq = 0, cmd = 0;
  std::string data;
  std::string why;                                // for bad frames
  std::chrono::steady_clock::time_point start{};  // when its first byte arrived
};

// Splits the incoming byte stream into frames, bare "N" bytes and ignored bytes. Frames are taken
// by their length byte; a frame that stalls for longer than the gap limit is given up as bad.
class FrameParser {
 public:
  using Clock = std::chrono::steady_clock;
  explicit FrameParser(std::chrono::milliseconds gap_limit) : gap_limit_(gap_limit) {}

  void Feed(uint8_t byte, Clock::time_point now, std::vector<LineEvent>& out);
  // Gives up a stalled partial frame; returns true when it did.
  bool Expire(Clock::time_point now, std::vector<LineEvent>& out);
  // When a partial frame must be given up, if one is pending.
  bool Deadline(Clock::time_point& when) const;
  void Reset() { buf_.clear(); }

 private:
  void Finish(std::vector<LineEvent>& out);
  std::chrono::milliseconds gap_limit_;
  std::string buf_;
  Clock::time_point start_{}, last_{};
};

// "02 20 21 8F ..." for traces.
std::string Hex(const std::string& bytes);

}  // namespace nevsim
