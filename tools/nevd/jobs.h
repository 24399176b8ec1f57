// What each kind of task does on its printer's thread, with the printer's NEV object and
// journal.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nev/receipt.h"
#include "printer.h"
#include "tasks.h"

namespace nevd::jobs {

// A receipt, cash in/out or Z report as a transaction; a document id printed before is answered
// from the journal (replayed), one printed with other content is refused 409.
Printer::Job Document(nev::receipt::Document document);
Printer::Job Duplicate();
// The operator's remedies when the journal and the device disagree.
Printer::Job VoidOpen();
Printer::Job AcceptDevice();
// The fiscal-memory report between two Z numbers (empty range: all of it), piece by piece into
// the stream; a reader that goes away ends it.
Printer::Job FmReport(std::shared_ptr<TaskStream> stream, std::string range);

}  // namespace nevd::jobs
