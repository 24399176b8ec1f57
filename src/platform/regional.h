// Regional settings: the user's decimal symbol and time separator.
#pragma once

#include <optional>
#include <string>

namespace nev::platform {

// The system decimal symbol ("." or "," ...). POSIX: from the LC_NUMERIC locale named by the
// environment, read without touching the global locale. Windows: the user locale.
std::string DecimalSymbol();
// The system time separator (":" in the usual settings).
std::string TimeSeparator();

// Test and tool hook: pins the decimal symbol for this process (nullopt restores the system's).
void SetDecimalSymbolOverride(std::optional<std::string> symbol);

}  // namespace nev::platform
