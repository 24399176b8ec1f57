// Frame codec.
#include "protocol/frame.h"

#include "nev/error.h"

namespace nev::protocol {

char NextSequence(uint8_t& counter) {
  if (counter < 0x20) counter = 0x20;
  const char seq = static_cast<char>(counter);
  counter = counter == 0xFF ? 0 : static_cast<uint8_t>(counter + 1);
  return seq;
}

std::string FrameChecksum(std::string_view body) {
  // The sum is kept wide: a frame's checksum never fails, whatever bytes its data holds.
  uint32_t sum = 0;
  for (char c : body) sum += static_cast<unsigned char>(c);
  const unsigned c = sum % 256;
  return {NibbleChar(c / 16), NibbleChar(c % 16)};
}

std::string BuildFrame(uint8_t& counter, uint8_t command, std::string_view data) {
  const char seq = NextSequence(counter);  // spent even when the frame cannot be built
  if (data.size() > kMaxData) Raise(kErrInvalidArgument);
  std::string body;
  body.reserve(data.size() + 4);
  body.push_back(seq);
  body.push_back(static_cast<char>(kHeaderByte));
  body.push_back(static_cast<char>(command));
  body.push_back(static_cast<char>(0x20 + data.size()));
  body.append(data);
  std::string frame;
  frame.reserve(body.size() + 4);
  frame.push_back(STX);
  frame.append(body);
  frame.append(FrameChecksum(body));
  frame.push_back(ETX);
  return frame;
}

std::string GetField(std::string_view text, int16_t n) {
  int remaining = n;  // wide: counting down from a negative number never overflows
  std::string field;
  for (char c : text) {
    if (c == TAB) {
      if (--remaining == 0) return field;
      field.clear();
    } else {
      field.push_back(c);
    }
  }
  return field;
}

ParsedReply ParseReply(std::string_view collected, bool etx_reply) {
  ParsedReply parsed;
  if (collected.size() >= 5) {
    const int m = static_cast<unsigned char>(collected[4]) - 0x20;
    if (m >= 0) parsed.data = std::string(collected.substr(5, static_cast<std::size_t>(m)));
  }
  if (etx_reply && collected.size() >= 6) {
    const std::size_t length = collected.size();
    parsed.status = std::array<uint8_t, 3>{static_cast<uint8_t>(collected[length - 6]),
                                           static_cast<uint8_t>(collected[length - 5]),
                                           static_cast<uint8_t>(collected[length - 4])};
  }
  return parsed;
}

std::string HexText(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (unsigned char c : bytes) {
    if (!text.empty()) text.push_back(' ');
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 15]);
  }
  return text;
}

}  // namespace nev::protocol
