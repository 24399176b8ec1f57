// The thread-wide globals of the waits.
#include "protocol/helper.h"

namespace nev::protocol {

bool& TimeoutFlag() {
  thread_local bool flag = false;
  return flag;
}

int16_t& TimeoutInterval() {
  // Every NEV object sets 3000 when it is created; starting there keeps a wait without an object
  // (tools, tests) from waiting on a timer that never ticks.
  thread_local int16_t interval = 3000;
  return interval;
}

}  // namespace nev::protocol
