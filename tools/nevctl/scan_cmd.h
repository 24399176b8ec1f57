// nevctl scan: which serial port has a device behind it, at what speed, with which serial number.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace nevctl {

// Runs `nevctl scan [--ports LIST] [--speeds LIST] [--deny LIST] [--timeout MS] [--json]`
// (LIST: comma-separated). Ctrl-C ends the scan early; what was learnt is still shown. Exit
// code: 0 when a device was found, 1 when none was, 2 for a usage error.
int RunScan(const std::vector<std::string>& args, bool json, std::ostream& out, std::ostream& err);

}  // namespace nevctl
