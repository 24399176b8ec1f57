// The one shape of every command method: an error handler around the body, and one exchange.
// Every member call runs inside a CallScope, which keeps the record that LastCall() returns.
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>

#include "common/message_scope.h"
#include "nev/error.h"
#include "nev/outcome.h"
#include "protocol/commands.h"
#include "protocol/exchange.h"
#include "service/state.h"

namespace nev::service {

// The common error handler: a critical log entry in silent mode, else the critical message box
// with the error's description.
void ReportError(NEVState& state, const char* method, const ErrorRecord& error);

// One member call: opens a fresh record named after the member, routes the object's message
// sink, and on leaving stores the record as the object's LastCall (and writes the outcome line
// at log level 4). A call that made no exchange and met no error counts as answered.
class CallScope {
 public:
  CallScope(NEVState& state, const char* member);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  CallRecord& record() { return call_.record; }
  // A run-time error ended the call: kept in the record; before any exchange it is a bad
  // argument, after one the exchange's outcome stands.
  void Failed(const ErrorRecord& error);
  // The outcome of a call that made no exchange (InitConnection's open, StopConnection).
  void SetOutcome(Outcome outcome);

 private:
  NEVState& state_;
  ActiveCall call_;
  ActiveCall* outer_;
  common::ScopedMessageSink sink_;
};

// Runs a command method body. The result starts as `initial` and keeps that value when a
// run-time error ends the body; the error is reported once by ReportError.
template <class R, class Body>
R RunCommand(NEVState& state, const char* method, R initial, Body&& body) {
  CallScope call(state, method);
  R result = std::move(initial);
  try {
    result = body();
  } catch (...) {
    const ErrorRecord error = RecordOf(std::current_exception());
    call.Failed(error);
    ReportError(state, method, error);
  }
  return result;
}

// The same for procedures (no result).
template <class Body>
void RunProcedure(NEVState& state, const char* method, Body&& body) {
  CallScope call(state, method);
  try {
    body();
  } catch (...) {
    const ErrorRecord error = RecordOf(std::current_exception());
    call.Failed(error);
    ReportError(state, method, error);
  }
}

// What one exchange came to: the wait's end and the outcome the call is recorded with.
struct Answer {
  protocol::Reply reply;
  Outcome outcome = Outcome::kNoConnection;
  // The device took the command: its awaited answer arrived and did not refuse it.
  bool ok() const { return outcome == Outcome::kAnswered; }
  // A reply frame arrived (accepted or refused): its data is the device's text.
  bool framed() const { return reply.ok(); }
};

// The outcome of a wait's end: a reply frame with the general-error bit in status byte 0 is a
// refusal; a wait that ended without the awaited answer (a lone ETX) counts as a time-out.
Outcome OutcomeOf(const protocol::Reply& reply, bool sent, const protocol::Link& link);

// Stores an exchange's outcome, reply data (UTF-8), status bytes and flags in the running call.
Answer Record(NEVState& state, const protocol::Reply& reply, bool sent);

// A command with empty data whose answer is awaited, never examined: true when it was accepted.
bool SimpleCommand(NEVState& state, const char* method, protocol::Command code, char terminator);

// One exchange: BuildFrame(code, data), SendFrame, ReadReply(terminator), recorded in the running
// call. Data and the reply's data are wire bytes. Throws only from BuildFrame (data over the
// frame limit), before anything is sent. A call made while another one of the object waits for
// its reply (a nested call from the events a wait runs) sends nothing and ends busy: its frame
// would reach the device unawaited, and draining the line for it would eat the outer answer.
Answer Exchange(NEVState& state, protocol::Command code, std::string_view wire_data,
                char terminator);
// The same for bytes that are already on their wire form (the fiscal-memory report's "N").
Answer Transmit(NEVState& state, std::string_view bytes, char terminator);

// The decoded flags of status byte 0.
StatusFlags DecodeFlags(uint8_t byte0);

}  // namespace nev::service
