// What a port text means: the one reading of it for every entry that takes one (InitConnection's
// text form, nevctl's --port, nevd's configuration, the receipt library's Line).
//
//   nev::PortSpec port = nev::PortSpec::Parse("3");           // port number 3
//   nev::PortSpec pty = nev::PortSpec::Parse("/dev/pts/4");   // a device path
//   nev::PortSpec lan = nev::PortSpec::Parse("rfc2217://10.0.0.5:4001");
//
// The forms:
//   N                  a port number from 1 to 32767: the line named by the environment variable
//                      NEVCOM_COM<N> when set (any text of these forms but a number), else
//                      /dev/ttyS<N-1> (\\.\COM<N> on Windows);
//   tcp://HOST:PORT    a raw TCP serial server: the bytes go as they are;
//   rfc2217://HOST:PORT  a serial server speaking Telnet with the COM-PORT-OPTION, which sets
//                      the line's speed and framing;
//   serial:NUMBER      the device whose serial number (as its information command reports it) is
//                      NUMBER, wherever a scan of the machine's serial devices finds it;
//   auto               the one device a scan finds;
//   anything else      a device path (a serial device or a pseudo-terminal), except a text that
//                      looks like a mistake: empty, longer than kMaxPortText bytes, holding a
//                      control character, starting with a digit, a sign or a blank, ending with a
//                      blank, or starting with a scheme ("xyz://") this list does not name.
// HOST is a name, an IPv4 address or an IPv6 address in brackets ("[::1]"); PORT is 1 to 65535;
// NUMBER is 1 to 32 letters, digits, '-', '_' or '.'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nev {

enum class PortKind {
  kNumber,   // a port number (PortSpec::number)
  kDevice,   // a device path (PortSpec::device)
  kTcp,      // a raw TCP serial server (PortSpec::host, PortSpec::tcp_port)
  kRfc2217,  // a Telnet COM-PORT-OPTION serial server (PortSpec::host, PortSpec::tcp_port)
  kSerial,   // the device with this serial number (PortSpec::serial), found by a scan
  kAuto,     // the one device a scan finds
};

inline constexpr int32_t kMaxPortNumber = 32767;  // port numbers are kept in 16 bits
inline constexpr std::size_t kMaxPortText = 4096;
inline constexpr std::size_t kMaxHostText = 253;  // a DNS name's longest text form
inline constexpr std::size_t kMaxSerialText = 32;

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
  int32_t number = 0;     // kNumber: 1 to kMaxPortNumber
  std::string device;     // kDevice: the path
  std::string host;       // kTcp, kRfc2217: the name or address, IPv6 without its brackets
  uint16_t tcp_port = 0;  // kTcp, kRfc2217
  std::string serial;     // kSerial: the serial number

  // Reads a port text. Throws PortSpecError.
  static PortSpec Parse(std::string_view text);
  // The text that reads back as this port ("3", "/dev/pts/4", "tcp://[::1]:4001").
  std::string Text() const;
  // A network line (kTcp or kRfc2217).
  bool Network() const { return kind == PortKind::kTcp || kind == PortKind::kRfc2217; }
  // A line found by a scan (kSerial or kAuto).
  bool Scanned() const { return kind == PortKind::kSerial || kind == PortKind::kAuto; }
};

// The programs that hold a device open, as "nevd (pid 42)" (several separated by ", "), where the
// system tells (on Linux from /proc/*/fd; another user's programs are hidden from an ordinary
// user); empty when none is known.
std::string PortHolders(const std::string& device);

// True when this system's serial ports can run at the line speed `baud` (bits per second):
// on POSIX one of the speeds termios offers, on Windows any speed from 1 to 4000000.
bool LineSpeedSupported(int32_t baud);
// The speeds LineSpeedSupported accepts, as a person reads them ("50, 75, ... 2000000").
std::string LineSpeedsText();

}  // namespace nev
