// nevctl receipt and nevctl journal: receipt documents run as transactions with a journal.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "session.h"

namespace nevctl {

// True for the commands this part handles.
bool IsReceiptCommand(const std::string& command);

// Runs "receipt FILE.json [--journal PATH] [--json]" or "journal [--journal PATH] [--json]".
// Exit code: 0 printed, 3 voided or refused, 4 unknown, 2 for a document that fails validation
// or a usage error, 1 when the journal cannot be used.
int RunReceiptCommand(Options options, const std::string& command,
                      const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nevctl
