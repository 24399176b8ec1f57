// Code pages: the API speaks UTF-8; the wire carries one byte per character.
#pragma once

#include <string>
#include <string_view>

namespace nev::platform {

// UTF-8 to the device's code page (Windows-1251 by default on POSIX, overridable by the
// environment variable NEVCOM_CODEPAGE; the system ANSI code page on Windows). Characters the
// code page cannot represent become "?".
std::string ToWire(std::string_view utf8);
// The device's code page back to UTF-8.
std::string FromWire(std::string_view bytes);
// UTF-8 to the system code page used for the log file's text (UTF-8 on POSIX, ANSI on Windows).
std::string ToSystemText(std::string_view utf8);

// UTF-8 and the system's wide text: UTF-16 on Windows (the COM server's BSTRs), UTF-32 elsewhere.
// An invalid sequence becomes U+FFFD.
std::wstring ToWide(std::string_view utf8);
std::string FromWide(std::wstring_view wide);

}  // namespace nev::platform
