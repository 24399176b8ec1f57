// The scan's view of Windows: the COM ports listed under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
// Who holds a port is not asked: a COM port opens for one opener only, and the open tells.
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/port_scan.h"
#include "platform/win32/wide.h"

namespace nev::platform {

namespace {

// "COM3" and "\\.\COM3" name the same device.
std::string DeviceOf(const std::string& port) {
  return port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Trailing number of "COM12", for ordering.
long PortNumber(const std::string& port) {
  std::size_t i = port.size();
  while (i > 0 && port[i - 1] >= '0' && port[i - 1] <= '9') --i;
  return i == port.size() || port.size() - i > 6 ? 0 : std::stol(port.substr(i));
}

}  // namespace

std::vector<PortCandidate> SerialCandidates() {
  std::vector<PortCandidate> out;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return out;
  }
  for (DWORD i = 0; i < 1024; ++i) {
    wchar_t name[256];
    wchar_t data[256];
    DWORD name_len = 256, data_len = sizeof data, type = 0;
    const LONG rc = RegEnumValueW(key, i, name, &name_len, nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &data_len);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[std::min<DWORD>(data_len / sizeof(wchar_t), 255)] = L'\0';
    const std::string port = win32::Narrow(data);
    const std::string driver = Lower(win32::Narrow(std::wstring_view(name, name_len)));
    PortCandidate c{port, DeviceOf(port), {}};
    if (driver.find("bth") != std::string::npos) {
      c.skip = "Bluetooth serial link (name it in the port list to scan it)";
    } else if (driver.find("modem") != std::string::npos) {
      c.skip = "modem-like device (name it in the port list to scan it)";
    }
    out.push_back(c);
  }
  RegCloseKey(key);
  std::sort(out.begin(), out.end(), [](const PortCandidate& a, const PortCandidate& b) {
    return PortNumber(a.port) < PortNumber(b.port);
  });
  return out;
}

std::vector<PortCandidate> CandidatesOf(const std::string& pattern) {
  return {PortCandidate{pattern, DeviceOf(pattern), {}}};
}

bool PortMatches(const PortCandidate& port, const std::string& pattern) {
  const std::string p = Lower(pattern);
  return Lower(port.port) == p || Lower(port.device) == Lower(DeviceOf(pattern));
}

std::vector<std::string> OtherHolders(const std::vector<std::string>& devices) {
  return std::vector<std::string>(devices.size());
}

}  // namespace nev::platform
