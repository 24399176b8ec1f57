// How nevctl shows calls: one readable line (and indented details) or one JSON object per call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding.h"
#include "nev/error.h"
#include "nev/message.h"
#include "nev/outcome.h"

namespace nevctl {

using nev::automation::Variant;

// One finished call as nevctl reports it.
struct CallRecord {
  std::string member;                                  // the table's spelling
  std::vector<std::pair<std::string, Variant>> shown;  // arguments as passed, for the readable form
  Variant result;                                      // empty for procedures
  bool procedure = false;                              // no result to show
  std::vector<std::pair<std::string, Variant>> out;    // by-reference outputs after the call
  std::vector<nev::RecordingSink::Message> messages;   // message boxes shown during the call
  // The call could not be made (unknown member or parameter, an argument that does not
  // convert): nothing was sent and the driver was not called.
  bool failed = false;
  // What the driver recorded of the call (nev::NEV::LastCall), or bad-argument when it failed.
  nev::Outcome outcome = nev::Outcome::kBadArgument;
  std::optional<std::string> reply;              // the reply frame's data, when one came
  std::optional<std::array<uint8_t, 3>> status;  // the reply frame's status bytes
  nev::StatusFlags flags;
  std::optional<nev::ErrorRecord> error;  // the run-time error, when there was one
  int line = 0;                           // the script line it came from; 0 for none
  bool simulated = false;                 // made on the built-in simulator, not a printer
  // For a NAK: why, as the last status of this run told it ("no paper"); empty when it did not.
  std::string nak_cause;

  // The device accepted the call (or it needed no device at all).
  bool ok() const { return !failed && outcome == nev::Outcome::kAnswered; }
};

// A JSON string literal of UTF-8 text; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);
// true/false, a number (the shortest text that reads back), a string, or null (empty, missing,
// non-finite numbers).
std::string JsonValue(const Variant& value);
// One line, no trailing newline:
// {"member": M, "result": R, "out": {...}, "messages": [...], "ok": B, "outcome": O,
//  "reply": T|null, "status": {"bytes": [b0, b1, b2], "flags": {...}}|null,
//  "error": {"number": N, "description": T[, "port", "speed", "remedy"]}|null, "line": N|null,
//  "flags": [the status flags in words][, "cause": why a NAK came, as the last status told it]
//  [, "simulated": true]}
std::string JsonCall(const CallRecord& call);

// Readable value: True/False, numbers, "quoted text" with control characters escaped, Empty.
std::string ReadableValue(const Variant& value);
// ("[simulator] " first for a call on the built-in simulator) Name(arg, ...) -> result, then
// indented lines for the status flags in words, for outputs, reply data, messages, and for a
// call the device did not accept its outcome and the error (unless a message box showed it).
void WriteReadable(std::ostream& out, const CallRecord& call);
// A name or word as a message to a person shows it: control characters escaped, at most 64
// bytes (then "...").
std::string Printable(std::string_view text);
// What an outcome means, in a few words ("refused by the device").
std::string_view OutcomeText(nev::Outcome outcome);

// Everything written to out so far has reached it. Once it has not (a reader that went away),
// commands make no further call: nobody would learn what it did.
inline bool Delivered(std::ostream& out) {
  return static_cast<bool>(out.flush());
}
// What a command says on standard error when it stops for that reason.
inline constexpr char kOutputFailedNote[] =
    "nevctl: standard output failed; no further calls are made\n";

}  // namespace nevctl
