// Regional settings from the user locale.
#include <windows.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/regional.h"
#include "platform/win32/wide.h"

namespace nev::platform {

namespace {

std::mutex g_override_mutex;
std::optional<std::string> g_decimal_override;

std::string UserLocaleText(LCTYPE item, const char* fallback) {
  wchar_t buffer[16] = {};
  const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, item, buffer, 16);
  if (n <= 1) return fallback;
  return win32::Narrow(std::wstring_view(buffer, static_cast<size_t>(n - 1)));
}

}  // namespace

std::string DecimalSymbol() {
  {
    std::lock_guard<std::mutex> lock(g_override_mutex);
    if (g_decimal_override) return *g_decimal_override;
  }
  return UserLocaleText(LOCALE_SDECIMAL, ".");
}

std::string TimeSeparator() {
  return UserLocaleText(LOCALE_STIME, ":");
}

void SetDecimalSymbolOverride(std::optional<std::string> symbol) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  g_decimal_override = std::move(symbol);
}

}  // namespace nev::platform
