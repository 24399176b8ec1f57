// What a port text means: the one reading of it for every entry that takes one (InitConnection's
// text form, nevctl's --port, nevd's configuration, the receipt library's Line).
//
//   nev::PortSpec port = nev::PortSpec::Parse("3");           // port number 3
//   nev::PortSpec pty = nev::PortSpec::Parse("/dev/pts/4");   // a device path
//
// A text of decimal digits only is a port number from 1 to 32767: the device named by the
// environment variable NEVCOM_COM<N> when set, else /dev/ttyS<N-1> (\\.\COM<N> on Windows). Any
// other text is a device path (a serial device or a pseudo-terminal), except one that looks like
// a mistake: empty, longer than kMaxPortText bytes, holding a control character, starting with a
// digit, a sign or a blank, or ending with a blank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nev {

enum class PortKind {
  kNumber,  // a port number (PortSpec::number)
  kDevice,  // a device path (PortSpec::device)
};

inline constexpr int32_t kMaxPortNumber = 32767;  // port numbers are kept in 16 bits
inline constexpr std::size_t kMaxPortText = 4096;

// A port text that names no port. what() is the quoted text and the reason:
// "\"5x\": not a port number or a device path"; an empty text gives "the port text is empty".
class PortSpecError : public std::invalid_argument {
 public:
  PortSpecError(const std::string& shown, const std::string& reason);
  // The text as the message quotes it: in double quotes, control characters as \xNN, cut at 64
  // bytes with "..." after it; empty for an empty text.
  const std::string& shown() const { return shown_; }
  // What is wrong with it, without the text.
  const std::string& reason() const { return reason_; }

 private:
  std::string shown_;
  std::string reason_;
};

struct PortSpec {
  PortKind kind = PortKind::kNumber;
  int32_t number = 0;  // kNumber: 1 to kMaxPortNumber
  std::string device;  // kDevice: the path

  // Reads a port text. Throws PortSpecError.
  static PortSpec Parse(std::string_view text);
  // The text that reads back as this port ("3", "/dev/pts/4").
  std::string Text() const;
};

// True when this system's serial ports can run at the line speed `baud` (bits per second):
// on POSIX one of the speeds termios offers, on Windows any speed from 1 to 4000000.
bool LineSpeedSupported(int32_t baud);
// The speeds LineSpeedSupported accepts, as a person reads them ("50, 75, ... 2000000").
std::string LineSpeedsText();

}  // namespace nev
