// The command exchange: write a frame, wait for the device's answer under the time-out.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/frame.h"
#include "protocol/host_form.h"

namespace nev::protocol {

// Per-object state that the exchange reads and writes.
struct Link {
  std::array<uint8_t, 4> status_bytes{};  // StatusBytes of the last ETX-terminated reply
  std::unique_ptr<frmMain> host;          // HostForm: set while a connection exists
  uint8_t sequence = 0;                   // SequenceCounter
  bool reply_busy = false;                // ReplyBusy
};

// How a reply wait ended.
// kPortError: the terminator came, but the frame could not be written, so it answers nothing.
enum class WaitEnd { kTerminator, kTimeout, kNak, kBusy, kNoPort, kPortError };

struct Reply {
  std::string data;  // reply data (wire bytes), empty unless a frame preceded the terminator
  WaitEnd end = WaitEnd::kNoPort;
  bool framed = false;  // an STX preceded the terminator: a reply frame arrived
  char terminator = 0;  // what the wait awaited
  // The device's awaited answer arrived: a bare ACK, or a reply frame ending in ETX (a lone ETX
  // ends the wait but brings no reply).
  bool ok() const { return end == WaitEnd::kTerminator && (terminator != ETX || framed); }
};

// Drains the input and writes text. On failure shows "COM Port Error!" and returns false.
bool SendFrame(Link& link, std::string_view text);

// Waits for the terminator (ACK or ETX), acting on NAK and SYN, acknowledging the answer and
// storing the status bytes of an ETX reply. Never throws.
Reply ReadReply(Link& link, char terminator);

}  // namespace nev::protocol
