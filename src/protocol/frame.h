// Frame codec: sequence bytes, checksum, request frames, TAB-separated reply fields.
// Frames are byte strings: one char per byte on the wire.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nev::protocol {

inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char ACK = 0x06;
inline constexpr char TAB = 0x09;
inline constexpr char NAK = 0x15;
inline constexpr char SYN = 0x16;
inline constexpr unsigned char kHeaderByte = 0x21;
inline constexpr std::size_t kMaxData = 223;

// The next sequence byte (0x20..0xFF, then 0x20 again); advances counter.
char NextSequence(uint8_t& counter);
// Two digit-nibble characters (0x30..0x3F) of the byte sum of body modulo 256, high first.
std::string FrameChecksum(std::string_view body);
// STX, SEQ, 0x21, command, 0x20 + n, data, checksum, ETX. Spends a sequence value first, then
// throws RuntimeError 5 when data is longer than 223 bytes.
std::string BuildFrame(uint8_t& counter, uint8_t command, std::string_view data);
// Field n (1-based) of a TAB-separated text; the last field when n is beyond it or below 1.
std::string GetField(std::string_view text, int16_t n);

// What a collected reply (from STX up to and including its terminator) holds: m = LEN - 0x20
// data bytes from the sixth byte on (fewer when the reply ends sooner), and for an ETX reply the
// three status bytes just before the two check characters and ETX. Pure: bytes in, fields out.
struct ParsedReply {
  std::string data;
  std::optional<std::array<uint8_t, 3>> status;
};
ParsedReply ParseReply(std::string_view collected, bool etx_reply);

// The bytes as hexadecimal pairs separated by spaces ("02 20 21 8F"), for traces.
std::string HexText(std::string_view bytes);

// The digit-nibble character of a value 0..15 ('0'..'9', ':'..'?').
inline char NibbleChar(unsigned value) {
  return static_cast<char>(0x30 + value);
}

}  // namespace nev::protocol
