// Serial port service: what the exchange needs of the line, nothing more.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nev::platform {

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens the device with a line settings text such as "9600,n,8,1": the baud rate is taken
  // from the leading digits; parity, data and stop bits are always n, 8, 1. Raw mode, no flow
  // control, DTR on, RTS off. Throws RuntimeError 8005 when another opener holds the port, and
  // another RuntimeError for any other failure.
  virtual void Open(const std::string& device, const std::string& settings) = 0;
  virtual void Close() = 0;  // no-op when not open
  virtual bool IsOpen() const = 0;

  // Read size: 0 = a read returns everything pending, 1 = at most one byte.
  virtual void SetInputLen(int n) = 0;
  // Never blocks: returns the pending bytes (up to the read size), empty when none.
  // Throws RuntimeError when the port is not open or the read fails.
  virtual std::string Input() = 0;
  // Writes the whole buffer. Throws RuntimeError when the port is not open or the write fails.
  virtual void Output(std::string_view bytes) = 0;
  // Sleeps until a byte can be read, the thread has an event due, or max_ms passed.
  // Never throws; returns at once when the port is not open.
  virtual void WaitReadable(int max_ms) = 0;
  // Where the exchange lets go of the pending input: a line with buffers of its own beyond this
  // end (a network serial server) discards theirs too. No-op for a local port.
  virtual void Purge() {}
  // The longest Open may take to reach a network line (name resolution, connecting, setting the
  // line up). No-op for a local port.
  virtual void SetOpenLimit(int /*ms*/) {}

  // The serial port of this system.
  static std::unique_ptr<SerialPort> Create();
  // A line of any kind a device text names: a network line for tcp://HOST:PORT and
  // rfc2217://HOST:PORT (nev/port_spec.h), the serial port for anything else. Each Open decides.
  static std::unique_ptr<SerialPort> CreateLine();
};

// A network line: kind rfc2217 speaks Telnet with the COM-PORT-OPTION, which sets the server's
// line speed (8N1) at Open and purges its receive buffer at Purge; raw TCP carries the bytes as
// they are. The device text given to Open is the line's own text ("tcp://10.0.0.5:4001").
// A connection the server closed or that stopped answering is a failed line: Input throws once
// the bytes received before are taken, Output throws, and the socket is closed at once.
std::unique_ptr<SerialPort> CreateNetworkLine(bool rfc2217);

// The device that a port number names: the environment variable NEVCOM_COM<N> when set (a path
// or a network line's text), else /dev/ttyS<N-1> (POSIX) or \\.\COM<N> (Windows).
std::string DeviceForPort(int16_t port);

// Whether a port of this system can run at the line speed `baud`, and those speeds as a person
// reads them.
bool SpeedSupported(int32_t baud);
std::string SpeedsText();

}  // namespace nev::platform
