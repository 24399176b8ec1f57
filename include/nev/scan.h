// The safe scan: which of the machine's serial ports has one of these devices behind it, at what
// speed, with which serial number.
//
//   nev::ScanOptions options;                  // the machine's serial devices, default speeds
//   nev::ScanResult result = nev::Scan(options);
//   for (const nev::ScanPort& p : result.ports)
//     if (p.state == nev::ScanState::kFound) use(p.port, p.speed, p.serial);
//
// Safe means: a port another process holds is reported busy and nothing is opened or written on
// it; Bluetooth and modem-like devices are left alone unless named one by one; on every other
// port only the probe (command 0xFF, answered by NAK) is sent, speed by speed, and only where it
// was answered the information command, which tells the serial number and the model. Ports are
// scanned in parallel (a bounded number at once), every wait is bounded, the whole scan is
// bounded and can be cancelled from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace nev {

enum class ScanState {
  kFound,       // answered at `speed` and identified itself (serial, model)
  kBusy,        // another process holds it: nothing was sent
  kSilent,      // no answer at any speed tried
  kForeign,     // something answered, but not as this protocol's device does
  kSkipped,     // not scanned (Bluetooth or modem-like, or on the deny list)
  kFailed,      // cannot be opened (no such device, permission denied, not a serial device)
  kUnfinished,  // the scan's time ran out, it was cancelled, or the wanted device was found
};

// "found", "busy", "silent", "foreign", "skipped", "failed", "unfinished".
const char* ScanStateName(ScanState state);

struct ScanPort {
  std::string port;    // the name as listed or found ("/dev/serial/by-id/usb-...", "COM3")
  std::string device;  // the device it names (a link resolved)
  ScanState state = ScanState::kSilent;
  int32_t speed = 0;   // kFound: the line speed that answered
  std::string serial;  // kFound: the serial number (UTF-8)
  std::string model;   // kFound: the model (UTF-8)
  std::string detail;  // why this state, for a person ("held by process 412 (minicom)")
};

// Lets another thread end a scan early; the scan then returns within a tenth of a second.
class ScanCancel {
 public:
  void Cancel() { cancelled_ = true; }
  bool Cancelled() const { return cancelled_; }

 private:
  std::atomic<bool> cancelled_{false};
};

inline constexpr int32_t kDefaultScanSpeeds[] = {115200, 9600, 19200, 38400,
                                                 57600,  4800, 2400,  1200};

struct ScanOptions {
  // The ports to scan: device paths, port numbers, or patterns ("/dev/ttyUSB*"). A name given
  // without pattern characters is scanned even when it looks like Bluetooth or a modem. Empty:
  // the list in the environment variable NEVCOM_SCAN_PORTS (separated by commas) when set, else
  // the machine's serial devices (POSIX: /dev/serial/by-id/*, /dev/ttyS* with a UART, ttyUSB*,
  // ttyACM*; Windows: the COM ports the system lists). A device reached by two names is
  // scanned once, under the first.
  std::vector<std::string> ports;
  // Patterns of ports never scanned (matched against the name and the device it names).
  std::vector<std::string> deny;
  // The speeds to try, in order; empty: kDefaultScanSpeeds.
  std::vector<int32_t> speeds;
  int32_t probe_timeout_ms = 1000;  // how long the probe's NAK is awaited, per speed
  int32_t info_timeout_ms = 3000;   // how long the information command's reply is awaited
  int32_t total_ms = 15000;         // the whole scan
  int32_t parallel = 8;             // ports scanned at once
  // Fields (1-based, TAB-separated) of the information command's reply that hold the serial
  // number and the model; the defaults are the simulator's layout.
  int32_t info_serial_field = 2;
  int32_t info_model_field = 1;
  // Not empty: the scan ends as soon as the device with this serial number is found.
  std::string serial;
  const ScanCancel* cancel = nullptr;  // not owned; may be null
};

struct ScanResult {
  std::vector<ScanPort> ports;  // in the order the candidates were listed
  bool timed_out = false;       // total_ms passed before every port was done
  bool cancelled = false;
  int64_t elapsed_ms = 0;
  // The ports in state kFound.
  std::vector<ScanPort> Found() const;
};

// Runs a scan. An option out of its range (a speed this system cannot use, an oversize or
// control-character port text, a time-out below 1 ms or above its ceiling) throws
// nev::RuntimeError 5 naming the option, before any port is touched.
ScanResult Scan(const ScanOptions& options);

}  // namespace nev
