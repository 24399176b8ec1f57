// The one shape of every command method: an error handler around the body, and one exchange.
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>

#include "nev/error.h"
#include "protocol/exchange.h"
#include "service/state.h"

namespace nev::service {

// The common error handler: a critical log entry in silent mode, else the critical message box
// with the error's description.
void ReportError(NEVState& state, const char* method, const ErrorRecord& error);

// Starts the record of a member call: nothing sent yet (a run-time error before the exchange
// leaves it at kBadArgument).
void BeginCall(NEVState& state, const char* method);

// Runs a command method body. The result starts as `initial` and keeps that value when a
// run-time error ends the body; the error is reported once by ReportError.
template <class R, class Body>
R RunCommand(NEVState& state, const char* method, R initial, Body&& body) {
  R result = std::move(initial);
  BeginCall(state, method);
  try {
    result = body();
  } catch (...) {
    const ErrorRecord error = RecordOf(std::current_exception());
    state.last_call.error = error;
    ReportError(state, method, error);
  }
  return result;
}

// The same for procedures (no result).
template <class Body>
void RunProcedure(NEVState& state, const char* method, Body&& body) {
  BeginCall(state, method);
  try {
    body();
  } catch (...) {
    const ErrorRecord error = RecordOf(std::current_exception());
    state.last_call.error = error;
    ReportError(state, method, error);
  }
}

// A command with empty data whose answer is awaited, never examined: true when it arrived.
bool SimpleCommand(NEVState& state, const char* method, uint8_t code, char terminator);

// One exchange: BuildFrame(code, data), SendFrame, ReadReply(terminator). Data and the reply's
// data are wire bytes. Throws only from BuildFrame (data over the frame limit).
protocol::Reply Exchange(NEVState& state, uint8_t code, std::string_view wire_data,
                         char terminator);

}  // namespace nev::service
