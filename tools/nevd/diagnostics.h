// GET /api/v1/printers/{id}/diagnostics: the technician's checks of one printer, as nevd sees it
// from outside its worker (nothing is sent to the device: the worker's last probe and status
// answer for it). The same checks, in the same order, as nevctl doctor.
#pragma once

#include <nlohmann/json.hpp>

#include "printer.h"

namespace nevd {

// {"printer": ID, "simulated": B, "ok": B (no check failed), "checks": [{"check", "verdict" (ok,
// warn, FAIL, skip), "text", "see" (the README's troubleshooting entry, or null)}]}.
nlohmann::json Diagnose(const Printer& printer);

// The support bundle of a printer (GET .../diagnostics?bundle=1): a tar file holding the
// versions, the configuration with its token hidden, the checks, and the last lines of the
// printer's driver log.
std::string SupportBundle(const Printer& printer, const Config& config);

}  // namespace nevd
