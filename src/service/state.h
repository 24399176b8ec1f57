// The NEV object's state, in the order the object declares it.
#pragma once

#include <cstdint>
#include <memory>

#include "log/debugger.h"
#include "nev/message.h"
#include "nev/outcome.h"
#include "protocol/exchange.h"

namespace nev {

inline constexpr const char* kClassName = "NEV";

// The record of a member call while it runs. Calls may nest (a wait lets events run), so each
// call keeps its own and the one that finishes last is the object's LastCall.
struct ActiveCall {
  CallRecord record;
  bool exchanged = false;  // a command went out (or was attempted) on the line
};

struct NEVState {
  bool silent_mode = false;           // SilentMode
  int32_t printer_status = 0;         // PrinterStatus
  bool log_created = false;           // LogCreated
  std::unique_ptr<CDebugger> log;     // Log
  protocol::Link link;                // StatusBytes, HostForm, SequenceCounter, ReplyBusy
  CallRecord last_call;               // what became of the last member call
  ActiveCall* current = nullptr;      // the innermost call running on this object
  std::shared_ptr<MessageSink> sink;  // this object's message sink; null: the process's
  // Texts that the code page cannot carry become "?" instead of being refused (the COM server,
  // whose callers rely on the platform's conversion).
  bool lossy_text = false;
};

}  // namespace nev
