// The thread-wide globals of the waits, shared by every NEV object of the thread.
#pragma once

#include <cstdint>

namespace nev::protocol {

// Set by every Timer1 tick on the thread; cleared by a wait when it arms its timer.
bool& TimeoutFlag();
// Reply time-out in milliseconds; each new NEV object sets it to 3000.
int16_t& TimeoutInterval();

}  // namespace nev::protocol
