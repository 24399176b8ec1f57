// The serial port on Windows: \\.\COMn opened for overlapped I/O, 8N1 without flow control,
// DTR on. Reads never block: they take only what the driver has already queued. A wait for
// input is one overlapped one-byte read, slept on with MsgWaitForMultipleObjectsEx so that the
// thread's window messages (timer ticks among them) still end it. Pending I/O is cancelled with
// CancelIo (XP has no CancelIoEx): it cancels what this thread started on the port, which is all
// of it, as a port is used only on its object's thread.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nev/error.h"
#include "nev/port_spec.h"
#include "platform/event_loop.h"
#include "platform/serial_port.h"
#include "platform/win32/port_error.h"
#include "platform/win32/wide.h"

namespace nev::platform {

namespace {

// Longest single wait of the pending read on the driver's side; waits are cut shorter by the
// caller's limit and cancelled.
constexpr DWORD kReadWaitCapMs = 10000;

class Overlapped {
 public:
  Overlapped() { ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (ov_.hEvent) CloseHandle(ov_.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  OVERLAPPED* Reset() {
    HANDLE event = ov_.hEvent;
    ov_ = OVERLAPPED{};
    ov_.hEvent = event;
    ResetEvent(event);
    return &ov_;
  }
  HANDLE Event() const { return ov_.hEvent; }
  OVERLAPPED* Get() { return &ov_; }

 private:
  OVERLAPPED ov_{};
};

class Win32SerialPort : public SerialPort {
 public:
  ~Win32SerialPort() override { Close(); }

  void Open(const std::string& device, const std::string& settings) override {
    Close();
    // An empty name, or one cut short by a NUL, names some other device: refuse it.
    if (device.empty() || device.find('\0') != std::string::npos) Raise(kErrPortOpenFailed);
    const DWORD baud = ParseBaud(settings);
    HANDLE handle = CreateFileW(win32::Widen(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      const int32_t number = win32::PortOpenError(error);
      if (number != kErrPortOpenFailed) Raise(number);
      const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      Raise(number, "Cannot open " + device + ": " +
                        (missing ? "no such device (check the port number in Device Manager)"
                                 : "error " + std::to_string(error)));
    }
    if (!Configure(handle, baud)) {
      CloseHandle(handle);
      Raise(kErrPortOpenFailed,
            "Cannot open " + device + ": not a serial device (its line settings could not be set)");
    }
    handle_ = handle;
    baud_ = baud;
    lookahead_.reset();
  }

  void Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    CancelIo(handle_);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    lookahead_.reset();
  }

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  void SetInputLen(int n) override { input_len_ = n < 0 ? 0 : n; }

  std::string Input() override {
    RequireOpen();
    std::string out;
    if (lookahead_) {
      out.push_back(*lookahead_);
      lookahead_.reset();
      if (input_len_ == 1) return out;
    }
    DWORD want = Queued();
    if (input_len_ > 0) {
      want = std::min<DWORD>(want, static_cast<DWORD>(input_len_) - static_cast<DWORD>(out.size()));
    }
    if (want == 0) return out;
    std::string chunk(want, '\0');
    const DWORD got = ReadQueued(chunk.data(), want);
    out.append(chunk.data(), got);
    return out;
  }

  void Output(std::string_view bytes) override {
    RequireOpen();
    if (bytes.empty()) return;
    OVERLAPPED* ov = write_.Reset();
    DWORD written = 0;
    BOOL ok = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      // Twice the line time of the bytes, and a second more, before giving the write up.
      const DWORD limit =
          1000 + static_cast<DWORD>(bytes.size() * 20000ull / (baud_ ? baud_ : 9600));
      if (WaitForSingleObject(write_.Event(), limit) != WAIT_OBJECT_0) CancelIo(handle_);
      ok = GetOverlappedResult(handle_, ov, &written, TRUE);
    }
    if (!ok || written != bytes.size()) Raise(kErrPortOpenFailed, "Writing to the port failed");
  }

  void WaitReadable(int max_ms) override {
    if (!IsOpen() || lookahead_) return;
    if (max_ms <= 0 || MillisUntilNextEvent() == 0) return;
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(handle_, &errors, &stat) && stat.cbInQue > 0) return;
    OVERLAPPED* ov = read_.Reset();
    char byte = 0;
    DWORD got = 0;
    BOOL ok = ReadFile(handle_, &byte, 1, &got, ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      HANDLE event = read_.Event();
      const DWORD woke = MsgWaitForMultipleObjectsEx(1, &event, static_cast<DWORD>(max_ms),
                                                     QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (woke != WAIT_OBJECT_0) CancelIo(handle_);
      ok = GetOverlappedResult(handle_, ov, &got, TRUE);
    } else if (!ok || got == 0) {
      // A port that fails (a device gone) still must not turn the caller's loop into a spin.
      MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(max_ms), QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
      return;
    }
    if (ok && got == 1) lookahead_ = byte;
  }

 private:
  static DWORD ParseBaud(const std::string& settings) {
    uint64_t baud = 0;
    size_t i = 0;
    for (; i < settings.size() && settings[i] >= '0' && settings[i] <= '9' && i < 10; ++i) {
      baud = baud * 10 + static_cast<uint64_t>(settings[i] - '0');
    }
    if (i == 0 || !SpeedSupported(static_cast<int32_t>(std::min<uint64_t>(baud, INT32_MAX)))) {
      Raise(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": the line speed " +
                                     settings.substr(0, std::min<size_t>(settings.find(','), 20)) +
                                     " is not one a port can use (1 to 4000000, e.g. 9600)");
    }
    return static_cast<DWORD>(baud);
  }

  static bool Configure(HANDLE handle, DWORD baud) {
    SetupComm(handle, 4096, 4096);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb)) return false;
    // A read returns at once with what is queued; with nothing queued it waits for the first
    // byte (up to the cap). Reads ask only for queued bytes; only the input wait waits.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadWaitCapMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) return false;
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
  }

  void RequireOpen() const {
    if (!IsOpen()) Raise(kErrPortNotOpen);
  }

  DWORD Queued() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat))
      Raise(kErrPortOpenFailed, "Reading the port failed");
    return stat.cbInQue;
  }

  // Reads bytes the driver already holds, so the read completes at once.
  DWORD ReadQueued(char* buffer, DWORD count) {
    OVERLAPPED* ov = read_.Reset();
    DWORD got = 0;
    BOOL ok = ReadFile(handle_, buffer, count, &got, ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(read_.Event(), 1000) != WAIT_OBJECT_0) CancelIo(handle_);
      ok = GetOverlappedResult(handle_, ov, &got, TRUE);
    }
    if (!ok) Raise(kErrPortOpenFailed, "Reading the port failed");
    return got;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD baud_ = 0;
  int input_len_ = 0;
  std::optional<char> lookahead_;
  Overlapped read_;
  Overlapped write_;
};

}  // namespace

int32_t win32::PortOpenError(unsigned long error) {
  // Windows opens a serial port for one handle only: a second opener, in this process or
  // another, gets access denied (a file held without sharing gives a sharing violation).
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return kErrPortAlreadyOpen;
  return kErrPortOpenFailed;
}

std::unique_ptr<SerialPort> SerialPort::Create() {
  return std::make_unique<Win32SerialPort>();
}

std::string DeviceForPort(int16_t port) {
  // NEVCOM_COM<N> names another line for the port number: a network line's text, or a device.
  const std::wstring name = L"NEVCOM_COM" + std::to_wstring(port);
  wchar_t value[1024];
  const DWORD n = GetEnvironmentVariableW(name.c_str(), value, 1024);
  if (n > 0 && n < 1024) return win32::Narrow(std::wstring(value, n));
  return "\\\\.\\COM" + std::to_string(port);
}

// The driver sets any speed a port takes; 4000000 bounds it for the settings text.
bool SpeedSupported(int32_t baud) {
  return baud >= 1 && baud <= 4000000;
}

std::string SpeedsText() {
  return "1 to 4000000";
}

}  // namespace nev::platform

namespace nev {

// Windows does not tell which program holds a COM port.
std::string PortHolders(const std::string&) {
  return {};
}

}  // namespace nev
