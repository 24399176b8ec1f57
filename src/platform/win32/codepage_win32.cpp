// Code pages on Windows: the wire and the log use the system ANSI code page.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/codepage.h"
#include "platform/win32/wide.h"

namespace nev::platform {

namespace win32 {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  }
  return out;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n,
                        nullptr, nullptr);
  }
  return out;
}

}  // namespace win32

namespace {

// The device's code page: the system ANSI code page, unless NEVCOM_CODEPAGE names another one
// (for a machine whose system code page is not the device's), by number: "1251" or "CP1251".
UINT WireCodePage() {
  const char* configured = std::getenv("NEVCOM_CODEPAGE");
  if (configured && (configured[0] == 'C' || configured[0] == 'c') &&
      (configured[1] == 'P' || configured[1] == 'p')) {
    configured += 2;
  }
  if (configured && *configured) {
    char* end = nullptr;
    const unsigned long cp = std::strtoul(configured, &end, 10);
    if (end && *end == '\0' && cp > 0 && cp < 65536 && IsValidCodePage(static_cast<UINT>(cp))) {
      return static_cast<UINT>(cp);
    }
  }
  return GetACP();
}

std::string ToCodePage(std::string_view utf8, UINT cp) {
  const std::wstring wide = win32::Widen(utf8);
  if (wide.empty()) return {};
  const bool utf = cp == CP_UTF8 || cp == CP_UTF7;
  const char replacement = '?';
  const int n = WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                    utf ? nullptr : &replacement, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        utf ? nullptr : &replacement, nullptr);
  }
  return out;
}

}  // namespace

std::string ToWire(std::string_view utf8) {
  return ToCodePage(utf8, WireCodePage());
}

std::string FromWire(std::string_view bytes) {
  if (bytes.empty()) return {};
  const UINT cp = WireCodePage();
  const int n =
      MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  }
  return win32::Narrow(wide);
}

std::string ToSystemText(std::string_view utf8) {
  return ToCodePage(utf8, GetACP());
}

std::wstring ToWide(std::string_view utf8) {
  return win32::Widen(utf8);
}

std::string FromWide(std::wstring_view wide) {
  return win32::Narrow(wide);
}

}  // namespace nev::platform
