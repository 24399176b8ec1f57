// The nevctl commands that need more than one call.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "session.h"

namespace nevctl {

// A whole receipt on the line, step by step, then the virtual paper when the built-in simulator
// printed it. Stops at the first step the device did not accept. Exit code: 0 when every step
// was accepted, 1 when InitConnection failed, 3 when a step was not accepted (2 when it could not
// be made).
int RunDemo(Session& session, std::ostream& out, std::ostream& err);

// GetFirstFMReport(s), then GetNextFMReport until an empty piece. The report goes to out in the
// readable form (each call is reported in JSON form), progress to err. Exit code as for call:
// 0 when every call was accepted, 1 when InitConnection failed, 2 for an S the driver refuses, 3
// when a piece was refused or did not come.
int RunFmReport(Session& session, const std::string& s, std::ostream& out, std::ostream& err);

// nevctl doctor ARGS: checks the line to the printer of options.port step by step, a verdict per
// line on out, and writes a support bundle. Exit code: 0 no check failed, 1 one did, 2 usage.
int RunDoctor(Options options, const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err);

}  // namespace nevctl
