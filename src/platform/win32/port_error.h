// How a failed open of a serial port reads to the caller.
#pragma once

#include <cstdint>

namespace nev::platform::win32 {

// The run-time error number for the Win32 error of a failed CreateFile on a port: 8005 (port
// already open) when another handle holds it, 8002 for anything else.
int32_t PortOpenError(unsigned long error);

}  // namespace nev::platform::win32
