// The serial ports of this machine, and the port numbers that name them.
#pragma once

#include <string>
#include <vector>

namespace nevctl {

struct PortInfo {
  int number = 0;      // the number for --port, or 0 when only the path names it
  std::string path;    // the device
  std::string origin;  // "NEVCOM_COM3" for a mapping from the environment, else empty
};

// Mappings NEVCOM_COM<N> from the environment first (by N), then /dev/ttyS* (port N is
// /dev/ttyS<N-1> unless a mapping takes N; UARTs the kernel knows are absent are left out), then
// /dev/ttyUSB*, /dev/ttyACM* and /dev/ttyAMA* (by path).
std::vector<PortInfo> ListPorts();

}  // namespace nevctl
