// What the scan needs of the system: the serial devices there are, and who holds them.
#pragma once

#include <string>
#include <vector>

namespace nev::platform {

struct PortCandidate {
  std::string port;    // the name as found or given
  std::string device;  // the device it names (links resolved); equal names, equal devices
  std::string skip;    // not empty: not to be scanned, and why
};

// The machine's serial devices. POSIX: /dev/serial/by-id/* first (names that survive a
// reboot), then /dev/ttyS* that have a UART, ttyUSB*, ttyACM*. Windows: the COM ports the
// system lists. Bluetooth and modem-like devices are marked to be skipped.
std::vector<PortCandidate> SerialCandidates();

// The ports a name or pattern gives. POSIX: a pattern ("/dev/ttyUSB*") is expanded, and its
// Bluetooth and modem-like matches are marked to be skipped; a name without pattern characters
// is taken as it is and never skipped. Windows: the name as it is ("COM3", "\\.\COM12").
std::vector<PortCandidate> CandidatesOf(const std::string& pattern);

// True when the name or the device matches the pattern (POSIX: fnmatch; Windows: equal,
// ignoring case).
bool PortMatches(const PortCandidate& port, const std::string& pattern);

// For each device: who else has it open, for a person ("process 412 (minicom)"), or empty when
// nobody does or the system cannot tell (the open then tells: an exclusive opener refuses it).
// The process that serves a pseudo-terminal's other side does not count.
std::vector<std::string> OtherHolders(const std::vector<std::string>& devices);

}  // namespace nev::platform
