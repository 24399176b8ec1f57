// UTF-8 and UTF-16 conversions for the Win32 layers (the core speaks UTF-8, Windows UTF-16).
#pragma once

#include <string>
#include <string_view>

namespace nev::platform::win32 {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// Full path of the module (DLL or executable) that holds the core; empty when unknown.
std::wstring ModulePath();

}  // namespace nev::platform::win32
