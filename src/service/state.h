// The NEV object's state, in the order the object declares it.
#pragma once

#include <cstdint>
#include <memory>

#include "log/debugger.h"
#include "nev/outcome.h"
#include "protocol/exchange.h"

namespace nev {

inline constexpr const char* kClassName = "NEV";

struct NEVState {
  bool silent_mode = false;                // SilentMode
  int32_t printer_status = 0;              // PrinterStatus
  bool log_created = false;                // LogCreated
  std::unique_ptr<CDebugger> log;          // Log
  protocol::Link link;                     // StatusBytes, HostForm, SequenceCounter, ReplyBusy
  CallRecord last_call;                    // what became of the last member call
  // Texts that the code page cannot carry become "?" instead of being refused (the COM server,
  // whose callers rely on the platform's conversion).
  bool lossy_text = false;
};

}  // namespace nev
