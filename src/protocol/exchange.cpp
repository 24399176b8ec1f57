// The command exchange: SendFrame and the reply wait.
#include "protocol/exchange.h"

#include "nev/error.h"
#include "nev/message.h"
#include "platform/event_loop.h"
#include "protocol/frame.h"
#include "protocol/helper.h"

namespace nev::protocol {

namespace {

// The longest single sleep of a wait when no event of the thread is scheduled.
constexpr int kMaxSleepMs = 1000;

bool PortOpen(const Link& link) {
  return link.host && link.host->Com().IsOpen();
}

// Leaves the input empty and the port in one-character mode.
void Drain(platform::SerialPort& com) {
  com.SetInputLen(0);
  com.Input();
  com.SetInputLen(1);
}

void DrainSkipping(Link& link) {
  if (!link.host) return;
  platform::SerialPort& com = link.host->Com();
  SkipOnError([&] { com.SetInputLen(0); });
  SkipOnError([&] { com.Input(); });
  SkipOnError([&] { com.SetInputLen(1); });
}

Reply Finish(Link& link, Reply reply) {
  DrainSkipping(link);
  link.reply_busy = false;
  return reply;
}

}  // namespace

bool SendFrame(Link& link, std::string_view text) {
  try {
    if (!link.host) Raise(kErrPortNotOpen);
    platform::SerialPort& com = link.host->Com();
    Drain(com);
    com.Output(text);
    return true;
  } catch (...) {
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
  link.reply_busy = true;

  bool stx_seen = false;
  std::string collected;
  SkipOnError([&] { link.host->ArmTimeout(TimeoutInterval()); });

  for (;;) {
    std::string ch;
    SkipOnError([&] { ch = link.host->Com().Input(); });
    SkipOnError([] { platform::DoEvents(); });
    // An event may have closed the connection under the wait.
    if (!PortOpen(link)) {
      link.reply_busy = false;
      reply.end = WaitEnd::kNoPort;
      return reply;
    }
    if (TimeoutFlag()) {
      SkipOnError([] { ShowMessage("RS232 Time out!", kStyleCritical); });
      reply.end = WaitEnd::kTimeout;
      return Finish(link, std::move(reply));
    }
    if (ch.empty()) {
      // Sleep until a byte arrives or the thread's next event (Timer1's tick) is due.
      int ms = platform::MillisUntilNextEvent();
      if (ms < 0 || ms > kMaxSleepMs) ms = kMaxSleepMs;
      if (ms > 0) link.host->Com().WaitReadable(ms);
      continue;
    }

    const char c = ch[0];
    if (c == STX) stx_seen = true;
    if (stx_seen) collected.push_back(c);

    if (c == NAK) {
      SkipOnError([] { ShowMessage("Грешна команда!", kStyleCritical); });
      reply.end = WaitEnd::kNak;
      return Finish(link, std::move(reply));
    }
    if (c == SYN) {
      SkipOnError([&] {
        link.host->Timer1().SetEnabled(false);
        TimeoutFlag() = false;
        link.host->Timer1().SetEnabled(true);
      });
      continue;
    }
    if (c == terminator) {
      SendFrame(link, std::string_view(&ACK, 1));
      if (stx_seen && collected.size() >= 5) {
        const int m = static_cast<unsigned char>(collected[4]) - 0x20;
        if (m >= 0) reply.data = collected.substr(5, static_cast<std::size_t>(m));
      }
      if (terminator == ETX) {
        // Status bytes sit at positions L-5, L-4, L-3 (1-based) of the collected reply.
        const long length = static_cast<long>(collected.size());
        for (int i = 0; i < 3; ++i) {
          const long pos = length - 5 + i;
          if (pos >= 1) link.status_bytes[i] = static_cast<uint8_t>(collected[pos - 1]);
        }
      }
      reply.end = WaitEnd::kTerminator;
      reply.framed = stx_seen;
      return Finish(link, std::move(reply));
    }
  }
}

}  // namespace nev::protocol
