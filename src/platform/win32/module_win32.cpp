// The module that holds the core: the DLL (or executable) this code was linked into.
#include <windows.h>

#include <string>

#include "platform/module.h"
#include "platform/win32/wide.h"

namespace nev::platform {

std::wstring win32::ModulePath() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&win32::ModulePath), &module);
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string ModulePath() {
  return win32::Narrow(win32::ModulePath());
}

std::string ModuleFolder() {
  const std::wstring path = win32::ModulePath();
  const size_t slash = path.find_last_of(L"\\/");
  return win32::Narrow(slash == std::wstring::npos ? L"." : path.substr(0, slash));
}

std::string ModuleStem() {
  std::wstring name = win32::ModulePath();
  const size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  const size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos && dot > 0) name.resize(dot);
  return win32::Narrow(name);
}

std::string UserStateFolder() {
  wchar_t buffer[MAX_PATH + 1];
  // Windows XP has no LOCALAPPDATA; its roaming APPDATA is the nearest.
  DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) n = GetEnvironmentVariableW(L"APPDATA", buffer, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  const std::wstring folder = std::wstring(buffer, n) + L"\\NEVComServer";
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return {};
  }
  return win32::Narrow(folder);
}

}  // namespace nev::platform
