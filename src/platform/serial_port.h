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

  static std::unique_ptr<SerialPort> Create();
};

// The device that a port number names. POSIX: the environment variable NEVCOM_COM<N> when set,
// else /dev/ttyS<N-1>. Windows: \\.\COM<N>.
std::string DeviceForPort(int16_t port);

// Whether a port of this system can run at the line speed `baud`, and those speeds as a person
// reads them.
bool SpeedSupported(int32_t baud);
std::string SpeedsText();

}  // namespace nev::platform
