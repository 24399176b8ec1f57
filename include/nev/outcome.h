// What became of the last member call: the outcome, the device's answer and the error, if any.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "nev/error.h"

namespace nev {

enum class Outcome {
  kAnswered,      // the awaited answer arrived and the device accepted the command
  kRefused,       // a reply frame came with the general-error bit set: the device said no
  kNak,           // the device rejected the frame with NAK
  kTimeout,       // no awaited answer within the wait
  kPortError,     // the line failed while writing or reading
  kBusy,          // a nested call found the reply wait busy; nothing was sent
  kNoConnection,  // no port is open; nothing was sent
  kBadArgument,   // a run-time error before anything was sent (a refused argument, oversize text)
};

// The outcome's name in lower case with hyphens: "answered", "refused", "nak", "timeout",
// "port-error", "busy", "no-connection", "bad-argument".
const char* OutcomeName(Outcome outcome);

// Whether the outcome means the line itself is gone (no answer, a failed port, no port open),
// as against an answer the device gave: the caller should make sure the device is still there.
inline bool LineLost(Outcome outcome) {
  return outcome == Outcome::kTimeout || outcome == Outcome::kPortError ||
         outcome == Outcome::kNoConnection;
}

// The named bits of status byte 0; the raw bytes hold the rest.
struct StatusFlags {
  bool general_error = false;           // byte 0, bit 0
  bool no_paper = false;                // byte 0, bit 2
  bool fiscal_receipt_open = false;     // byte 0, bit 3
  bool nonfiscal_receipt_open = false;  // byte 0, bit 4
};

// The flags that are set, in words, in the order of their bits: "general error", "no paper",
// "fiscal receipt open", "non-fiscal receipt open". Empty when none is.
std::vector<std::string> FlagWords(const StatusFlags& flags);

struct CallRecord {
  std::string member;  // the member called, e.g. "CloseFiscNote"
  Outcome outcome = Outcome::kNoConnection;
  std::optional<std::string> reply;              // the reply frame's data (UTF-8) when one came
  std::optional<std::array<uint8_t, 3>> status;  // the reply frame's status bytes
  StatusFlags flags;                             // decoded from status (all false without one)
  std::optional<ErrorRecord> error;              // the run-time error, when there was one

  bool ok() const { return outcome == Outcome::kAnswered; }
};

}  // namespace nev
