// The command exchange: SendFrame and the reply wait.
#include "protocol/exchange.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "nev/error.h"
#include "nev/message.h"
#include "platform/event_loop.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/helper.h"

namespace nev::protocol {

namespace {

using Clock = std::chrono::steady_clock;
using platform::MillisLeft;

// The longest single sleep of a wait when no event of the thread is scheduled.
constexpr int kMaxSleepMs = 1000;
// After a time-out (a device known to answer late) the line counts as quiet once no byte came for
// this long...
constexpr int kQuietGapMs = 1000;
// ...and any settling never takes longer than this.
constexpr int kSettleMaxMs = 3000;
constexpr int32_t kDefaultMaxWaitMs = 120000;

bool PortOpen(const Link& link) {
  return link.host && link.host->Com().IsOpen();
}

// Leaves the input empty and the port in one-character mode.
void Drain(platform::SerialPort& com) {
  com.SetInputLen(0);
  com.Input();
  com.SetInputLen(1);
}

void Note(Link& link, bool lost, const std::string& text) {
  if (link.note) SkipOnError([&] { link.note(lost, text); });
}

template <class Text>
void TraceLine(Link& link, Text&& text) {
  if (link.trace) SkipOnError([&] { link.trace(std::function<std::string()>(text)); });
}

// "-> 02 25 21 8F 21 31 09 3A 3C 03  PaperFeed": what went out, and the command it carries.
std::string WrittenLine(std::string_view bytes) {
  std::string line = "-> " + HexText(bytes) + "  ";
  if (bytes.size() >= 8 && bytes.front() == STX) {
    line += CommandName(static_cast<uint8_t>(bytes[3]));
  } else if (bytes.size() == 1 && bytes[0] == ACK) {
    line += "ACK";
  } else if (bytes.size() == 1 && static_cast<uint8_t>(bytes[0]) == Code(Command::kNextFMPiece)) {
    line += CommandName(Code(Command::kNextFMPiece));
  } else {
    line += "bytes";
  }
  return line;
}

const char* ControlName(char c) {
  return c == ACK ? "ACK" : c == NAK ? "NAK" : c == SYN ? "SYN" : c == ETX ? "ETX" : "byte";
}

// The port failed under the exchange: from now on it counts as lost until it is reopened.
void LoseLine(Link& link) {
  if (link.lost) return;
  link.lost = true;
  Note(link, true, "COM port lost");
}

// One quick attempt to open the lost device again with the same settings (no probe).
void Reopen(Link& link) {
  platform::SerialPort& com = link.host->Com();
  com.Close();
  com.Open(link.device, link.settings);
  link.lost = false;
  link.settle_gap_ms = 0;
  Note(link, false, "COM port reopened");
}

// Waits until no byte has come for link.settle_gap_ms (bounded), letting go of what comes (traced).
// Throws when an event of the thread closed the connection meanwhile.
// The settling is part of the command's wait: it takes at most half the wait's ceiling, and what
// it took is taken off the ceiling of the reply wait that follows; and the object counts as
// waiting, so a call made from the thread's events meanwhile sends nothing (it would go out
// without the settling, and could take what is being let go).
void Settle(Link& link) {
  struct Waiting {
    Link& link;
    const bool before = link.reply_busy;
    ~Waiting() { link.reply_busy = before; }
  } waiting{link};
  link.reply_busy = true;
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(std::min(kSettleMaxMs, MaxWaitMs(link) / 2));
  const auto gap = std::chrono::milliseconds(link.settle_gap_ms);
  link.settle_gap_ms = 0;
  auto quiet_from = start;
  auto let_go = [&link] {
    platform::SerialPort& com = link.host->Com();
    com.SetInputLen(0);
    const std::string bytes = com.Input();
    com.SetInputLen(1);
    if (!bytes.empty()) TraceLine(link, [&] { return "<- " + HexText(bytes) + "  let go"; });
    return !bytes.empty();
  };
  let_go();
  for (;;) {
    const auto quiet_end = quiet_from + gap;
    const auto until = quiet_end < end ? quiet_end : end;
    if (Clock::now() >= until) {
      link.settled_ms = static_cast<int32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
      return;
    }
    link.host->Com().WaitReadable(MillisLeft(until));
    // The thread's events run as in every wait (and a due tick must not cut the sleep short).
    SkipOnError([] { platform::DoEvents(); });
    if (!PortOpen(link)) Raise(kErrPortNotOpen);
    if (let_go()) quiet_from = Clock::now();
  }
}

bool ChecksumGood(std::string_view frame) {
  const std::size_t l = frame.size();
  return FrameChecksum(frame.substr(1, l - 4)) == frame.substr(l - 3, 2);
}

}  // namespace

bool SoundReplyFrame(std::string_view frame) {
  if (frame.size() < kMinReply || frame.front() != STX || frame.back() != ETX) return false;
  const int m = static_cast<unsigned char>(frame[4]) - 0x20;
  return m >= 0 && frame.size() == static_cast<std::size_t>(m) + kMinReply && ChecksumGood(frame);
}

int32_t MaxWaitMs(const Link& link) {
  if (link.max_wait_ms > 0) return link.max_wait_ms;
  if (const char* text = std::getenv("NEVCOM_MAX_WAIT_MS"); text && *text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end && *end == '\0' && value > 0 && value <= 24L * 3600 * 1000)
      return static_cast<int32_t>(value);
  }
  return kDefaultMaxWaitMs;
}

FrameCheck CheckReplyFrame(Link& link, std::string_view frame) {
  if (frame.size() < kMinReply) return FrameCheck::kMalformed;
  const int m = static_cast<unsigned char>(frame[4]) - 0x20;
  if (m < 0 || frame.size() < static_cast<std::size_t>(m) + kMinReply) {
    return FrameCheck::kMalformed;
  }
  if (!link.frame_sent) return FrameCheck::kGood;
  const bool matches = static_cast<uint8_t>(frame[1]) == link.sent_seq &&
                       static_cast<uint8_t>(frame[3]) == link.sent_cmd && ChecksumGood(frame);
  if (matches) link.echoes = true;
  return matches || !link.echoes ? FrameCheck::kGood : FrameCheck::kStale;
}

bool SendFrame(Link& link, std::string_view text) {
  try {
    if (!link.host) Raise(kErrPortNotOpen);
    if (link.lost && !link.device.empty()) Reopen(link);
    link.settled_ms = 0;
    if (link.settle_gap_ms > 0) {
      Settle(link);
    } else {
      Drain(link.host->Com());
    }
    platform::SerialPort& com = link.host->Com();
    // A network serial server drops what it still holds of the device's earlier bytes too.
    com.Purge();
    // A request frame is remembered so that its answer can be told from a stale one.
    link.frame_sent = text.size() >= 8 && text.front() == STX;
    if (link.frame_sent) {
      link.sent_seq = static_cast<uint8_t>(text[1]);
      link.sent_cmd = static_cast<uint8_t>(text[3]);
    }
    com.Output(text);
    TraceLine(link, [&] { return WrittenLine(text); });
    return true;
  } catch (...) {
    if (PortOpen(link)) LoseLine(link);
    ShowMessage("COM Port Error!", kStyleCritical);
    return false;
  }
}

Reply ReadReply(Link& link, char terminator) {
  Reply reply;
  reply.terminator = terminator;
  if (link.reply_busy) {
    reply.end = WaitEnd::kBusy;
    return reply;
  }
  // No port: SendFrame has already reported it, and nothing could ever answer.
  if (!PortOpen(link)) {
    reply.end = WaitEnd::kNoPort;
    return reply;
  }
  // A line that failed under SendFrame has been reported once already.
  if (link.lost) {
    reply.end = WaitEnd::kPortError;
    return reply;
  }
  link.reply_busy = true;

  ReplyReader reader(link, terminator);
  SkipOnError([&] { link.host->ArmTimeout(TimeoutInterval()); });
  // SYNs restart the time-out, but never past the ceiling of the whole wait.
  const auto ceiling =
      Clock::now() + std::chrono::milliseconds(std::max(0, MaxWaitMs(link) - link.settled_ms));
  link.settled_ms = 0;

  auto finish = [&](WaitEnd end) {
    link.reply_busy = false;
    reply.end = end;
    if (end == WaitEnd::kTimeout) link.settle_gap_ms = std::max(link.settle_gap_ms, kQuietGapMs);
    return std::move(reply);
  };

  for (;;) {
    std::string ch;
    bool failed = false;
    {
      // Sleep until a byte is there, the thread's next event (Timer1's tick) is due, or the
      // ceiling comes; a byte already received costs no sleep and no system call.
      int ms = platform::MillisUntilNextEvent();
      if (ms < 0 || ms > kMaxSleepMs) ms = kMaxSleepMs;
      ms = std::min(ms, MillisLeft(ceiling));
      if (ms > 0) link.host->Com().WaitReadable(ms);
      try {
        ch = link.host->Com().Input();
      } catch (...) {
        failed = true;
      }
    }
    SkipOnError([] { platform::DoEvents(); });
    // An event may have closed the connection under the wait.
    if (!PortOpen(link)) {
      link.reply_busy = false;
      reply.end = WaitEnd::kNoPort;
      return reply;
    }
    if (failed) {
      // The line hung up: end at once, and reopen before the next frame.
      LoseLine(link);
      SkipOnError([] { ShowMessage("COM Port Error!", kStyleCritical); });
      return finish(WaitEnd::kPortError);
    }
    if (TimeoutFlag() || Clock::now() >= ceiling) {
      SkipOnError([] { ShowMessage("RS232 Time out!", kStyleCritical); });
      return finish(WaitEnd::kTimeout);
    }
    if (ch.empty()) continue;

    const bool in_frame = reader.collected() > 0;
    const ReplyReader::Step step = reader.Take(ch[0]);
    // Control bytes get a line each; a frame gets one when it ends (or is dropped).
    const bool control = step == ReplyReader::Step::kNak || step == ReplyReader::Step::kSyn ||
                         (!in_frame && reader.collected() == 0 && (ch[0] == ACK || ch[0] == ETX));
    if (control) {
      TraceLine(link, [&] { return "<- " + HexText(ch.substr(0, 1)) + "  " + ControlName(ch[0]); });
    } else if (in_frame && reader.collected() == 0) {
      TraceLine(link, [&] { return "<- frame discarded (malformed, stale or too long)"; });
    }
    switch (step) {
      case ReplyReader::Step::kMore:
        break;
      case ReplyReader::Step::kNak:
        SkipOnError([] { ShowMessage("Грешна команда!", kStyleCritical); });
        return finish(WaitEnd::kNak);
      case ReplyReader::Step::kSyn:
        SkipOnError([&] {
          link.host->Timer1().SetEnabled(false);
          TimeoutFlag() = false;
          link.host->Timer1().SetEnabled(true);
        });
        break;
      case ReplyReader::Step::kAnswer: {
        if (reader.collected() > 0) {
          TraceLine(link, [&] {
            const std::string& frame = reader.frame();
            return "<- " + HexText(frame) + "  " +
                   (frame.size() > 3 ? CommandName(static_cast<uint8_t>(frame[3])) : "?") +
                   " reply";
          });
        }
        // What follows the terminator is discarded by the next SendFrame's drain.
        bool acked = true;
        try {
          link.host->Com().Output(std::string_view(&ACK, 1));
          TraceLine(link, [] { return WrittenLine(std::string_view(&ACK, 1)); });
        } catch (...) {
          acked = false;
        }
        if (!acked) {
          LoseLine(link);
          SkipOnError([] { ShowMessage("COM Port Error!", kStyleCritical); });
        }
        reader.Finish(reply);
        return finish(acked ? WaitEnd::kTerminator : WaitEnd::kPortError);
      }
    }
  }
}

ReplyReader::Step ReplyReader::Take(char c) {
  if (c == STX) stx_seen_ = true;
  if (stx_seen_) {
    collected_.push_back(c);
    if (collected_.size() > kMaxReply) {
      // More than a frame can hold: the frame is malformed and this byte ends it (a NAK or SYN
      // still counts); the wait goes on for a real one.
      stx_seen_ = false;
      collected_.clear();
      return c == NAK ? Step::kNak : c == SYN ? Step::kSyn : Step::kMore;
    }
  }
  if (c == NAK) return Step::kNak;
  if (c == SYN) return Step::kSyn;
  if (c != terminator_) return Step::kMore;
  if (stx_seen_ && terminator_ == ETX && CheckReplyFrame(link_, collected_) != FrameCheck::kGood) {
    // A junk or stale frame is not the answer: forget it and wait on.
    stx_seen_ = false;
    collected_.clear();
    return Step::kMore;
  }
  return Step::kAnswer;
}

void ReplyReader::Finish(Reply& reply) {
  reply.framed = stx_seen_;
  if (!stx_seen_) return;
  // CheckReplyFrame has found an ETX reply long enough for its status bytes.
  ParsedReply parsed = ParseReply(collected_, terminator_ == ETX);
  reply.data = std::move(parsed.data);
  if (parsed.status)
    std::copy(parsed.status->begin(), parsed.status->end(), link_.status_bytes.begin());
}

}  // namespace nev::protocol
