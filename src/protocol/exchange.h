// The command exchange: write a frame, wait for the device's answer under the time-out.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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

  // What the connection opened, so that a lost line can be reopened the same way.
  std::string device, settings;
  // The port failed (the line hung up): the next frame first reopens the device, once.
  bool lost = false;
  // Before the next frame the line must have been quiet this long (ms; 0: it is only drained),
  // so that an answer owed to an earlier command, connection or process is not taken for the next
  // one's: set by a wait that timed out, and by OpenCom before the probe and after it.
  int32_t settle_gap_ms = 0;
  // Learned from this connection's replies: the device echoes the frame's sequence byte and
  // command code and sends good check characters, so a reply that does not match is stale.
  bool echoes = false;
  // The frame last written (none for a bare byte such as the FM report's "N").
  bool frame_sent = false;
  uint8_t sent_seq = 0, sent_cmd = 0;
  // Ceiling of one whole wait, SYNs included, in ms; 0 = NEVCOM_MAX_WAIT_MS or 120000.
  int32_t max_wait_ms = 0;
  // Time the settling before the frame took: it counts against the next wait's ceiling.
  int32_t settled_ms = 0;
  // Told of the line's loss and recovery (the object's log); may be empty.
  std::function<void(bool lost, const std::string& text)> note;
  // Given each frame written and each reply or control byte received, as a text made only when
  // the log wants it (its trace level); may be empty.
  std::function<void(const std::function<std::string()>& text)> trace;
};

// The longest reply frame: STX, header, LEN 0xFF, 223 data bytes, status, check, ETX.
inline constexpr std::size_t kMaxReply = 234;
// The shortest: STX, three header bytes, LEN, three status bytes, two check characters, ETX.
inline constexpr std::size_t kMinReply = 11;

// The quiet gap of a new connection, after its probe and before its first command. What the
// device still owes an earlier connection, or a process killed while it waited, comes before the
// probe's NAK (the device answers in order) and is let go by the probe's reading; but a NAK owed
// to an earlier probe cannot be told from this probe's own, which then comes one answer later. A
// device answers a probe within a few hundred ms even when it is slow; 700 ms outlasts that with
// room for a late scheduler, and is what a new connection costs.
inline constexpr int32_t kConnectQuietGapMs = 700;

// The ceiling of one wait: link.max_wait_ms when set, else NEVCOM_MAX_WAIT_MS, else 120 s.
int32_t MaxWaitMs(const Link& link);

// What a collected STX..ETX frame is worth.
enum class FrameCheck { kGood, kMalformed, kStale };
// A reply frame exactly as its length byte lays it out, with good check characters: what a
// device sends, and not bytes of another line speed or protocol.
bool SoundReplyFrame(std::string_view frame);

// A frame shorter than its own layout (or with a length byte below 0x20) is malformed; one that
// does not echo the frame just sent, from a device known to echo, is stale. Learns the echo.
FrameCheck CheckReplyFrame(Link& link, std::string_view frame);

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

// The reply wait's handling of the bytes that come, one at a time, apart from port and timer:
// collects a frame from STX, bounds it, drops junk, malformed and stale frames, and tells the
// wait what each byte means.
class ReplyReader {
 public:
  enum class Step { kMore, kNak, kSyn, kAnswer };
  ReplyReader(Link& link, char terminator) : link_(link), terminator_(terminator) {
    collected_.reserve(kMaxReply);
  }
  Step Take(char c);
  // After kAnswer: the reply's data, and for ETX the status bytes stored into the link.
  void Finish(Reply& reply);
  std::size_t collected() const { return collected_.size(); }
  const std::string& frame() const { return collected_; }  // the frame collected so far

 private:
  Link& link_;
  char terminator_;
  bool stx_seen_ = false;
  std::string collected_;
};

// Reopens a lost line first; lets the line fall quiet when link.settle_gap_ms asks for it, else
// drains the input; writes text. On failure shows "COM Port Error!" and returns false.
bool SendFrame(Link& link, std::string_view text);

// Waits for the terminator (ACK or ETX), acting on NAK and SYN, acknowledging the answer and
// storing the status bytes of an ETX reply. Never throws.
Reply ReadReply(Link& link, char terminator);

}  // namespace nev::protocol
