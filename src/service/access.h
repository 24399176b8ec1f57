// The driver's own way into a NEV object's state (the public class keeps it private).
#pragma once

#include "log/debugger.h"
#include "nev/nev.h"
#include "service/state.h"

namespace nev {

struct NEVAccess {
  static NEVState& State(NEV& nev) { return *nev.state_; }
  // The log writer itself, with its entry methods (the public Log() only tunes it).
  static CDebugger& Debugger(NEV& nev) { return *nev.state_->log; }
};

}  // namespace nev
