#include "protocol.h"

#include <cstdio>

namespace nevsim {

std::string CheckChars(const std::string& bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  sum &= 0xFF;
  return std::string{static_cast<char>(0x30 + (sum >> 4)), static_cast<char>(0x30 + (sum & 15))};
}

bool IsDriverControl(uint8_t byte) {
  return byte == kEtx || byte == kAck || byte == kNak || byte == kSyn;
}

std::string SafeReplyData(const std::string& data) {
  std::string out = data.substr(0, 223);
  for (char& c : out) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 && b != kTab) c = '?';
  }
  return out;
}

std::string BuildReply(uint8_t seq, uint8_t cmd, const std::string& data, const uint8_t status[3]) {
  auto lift = [](uint8_t b) { return static_cast<char>(b < 0x20 ? 0x20 : b); };
  std::string body;
  body += lift(seq);
  body += static_cast<char>(kHeader);
  body += lift(cmd);
  const std::string d = data.substr(0, 223);
  body += static_cast<char>(0x20 + d.size());
  body += d;
  for (int i = 0; i < 3; ++i) body += static_cast<char>(status[i] | 0x80);
  std::string frame(1, static_cast<char>(kStx));
  frame += body;
  frame += CheckChars(body);
  frame += static_cast<char>(kEtx);
  return frame;
}

void FrameParser::Feed(uint8_t byte, Clock::time_point now, std::vector<LineEvent>& out) {
  if (buf_.empty()) {
    if (byte == kStx) {
      buf_.push_back(static_cast<char>(byte));
      start_ = last_ = now;
    } else if (byte == kNext) {
      LineEvent e;
      e.kind = LineEvent::kNextPiece;
      e.raw = "N";
      e.start = now;
      out.push_back(std::move(e));
    }
    // Anything else between frames (the driver's ACKs, line noise) is ignored.
    return;
  }
  buf_.push_back(static_cast<char>(byte));
  last_ = now;
  if (buf_.size() == 5) {
    auto len = static_cast<uint8_t>(buf_[4]);
    if (len < 0x20) {
      LineEvent e;
      e.kind = LineEvent::kBadFrame;
      e.raw = buf_;
      e.why = "length byte below 0x20";
      e.start = start_;
      buf_.clear();
      out.push_back(std::move(e));
      return;
    }
  }
  if (buf_.size() >= 5 &&
      buf_.size() == static_cast<size_t>(static_cast<uint8_t>(buf_[4])) - 0x20 + 8)
    Finish(out);
}

void FrameParser::Finish(std::vector<LineEvent>& out) {
  LineEvent e;
  e.raw = buf_;
  e.start = start_;
  buf_.clear();
  const size_t n = e.raw.size() - 8;
  e.seq = static_cast<uint8_t>(e.raw[1]);
  e.cmd = static_cast<uint8_t>(e.raw[3]);
  e.data = e.raw.substr(5, n);
  const std::string body = e.raw.substr(1, n + 4);
  if (static_cast<uint8_t>(e.raw.back()) != kEtx) {
    e.why = "no ETX at the end";
  } else if (static_cast<uint8_t>(e.raw[2]) != kHeader) {
    e.why = "header byte is not 0x21";
  } else if (e.raw.substr(5 + n, 2) != CheckChars(body)) {
    e.why = "checksum mismatch";
  }
  e.kind = e.why.empty() ? LineEvent::kFrame : LineEvent::kBadFrame;
  out.push_back(std::move(e));
}

bool FrameParser::Deadline(Clock::time_point& when) const {
  if (buf_.empty()) return false;
  when = last_ + gap_limit_;
  return true;
}

bool FrameParser::Expire(Clock::time_point now, std::vector<LineEvent>& out) {
  Clock::time_point when;
  if (!Deadline(when) || now < when) return false;
  LineEvent e;
  e.kind = LineEvent::kBadFrame;
  e.raw = buf_;
  e.why = "frame incomplete";
  e.start = start_;
  if (e.raw.size() >= 4) e.cmd = static_cast<uint8_t>(e.raw[3]);
  if (e.raw.size() >= 2) e.seq = static_cast<uint8_t>(e.raw[1]);
  buf_.clear();
  out.push_back(std::move(e));
  return true;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

}  // namespace nevsim
