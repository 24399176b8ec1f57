// The nevctl commands that need more than one call.
#pragma once

#include <ostream>
#include <string>

#include "session.h"

namespace nevctl {

// A whole receipt on the line, step by step, then the virtual paper when the built-in simulator
// printed it. Exit code: 0 when every step succeeded, 1 otherwise.
int RunDemo(Session& session, std::ostream& out, std::ostream& err);

// GetFirstFMReport(s), then GetNextFMReport until an empty piece. The report goes to out in the
// readable form (each call is reported in JSON form), progress to err. Exit code as for call.
int RunFmReport(Session& session, const std::string& s, std::ostream& out, std::ostream& err);

}  // namespace nevctl
