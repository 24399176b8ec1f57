// Regional settings on POSIX: the decimal symbol of the environment's LC_NUMERIC locale, read
// through a private locale object so that the process's global locale is never touched.
#include "platform/regional.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <mutex>

namespace nev::platform {

namespace {

std::mutex g_mutex;
std::optional<std::string> g_override;
// The last locale name looked up and its decimal symbol: the environment rarely changes.
std::string g_cached_name;
std::string g_cached_symbol;

// The locale name that governs LC_NUMERIC: LC_ALL, then LC_NUMERIC, then LANG, else "C".
std::string NumericLocaleName() {
  for (const char* var : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
    if (const char* value = std::getenv(var); value && *value) return value;
  }
  return "C";
}

std::string LookUpDecimalSymbol(const std::string& name) {
  // The C locale's symbol is "." by definition: no locale files need reading for it.
  if (name == "C" || name == "POSIX" || name == "C.UTF-8" || name == "C.utf8") return ".";
  locale_t loc = ::newlocale(LC_NUMERIC_MASK, name.c_str(), static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return ".";
  const char* radix = ::nl_langinfo_l(RADIXCHAR, loc);
  std::string symbol = (radix && *radix) ? radix : ".";
  ::freelocale(loc);
  return symbol;
}

}  // namespace

std::string DecimalSymbol() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_override) return *g_override;
  const std::string name = NumericLocaleName();
  if (g_cached_symbol.empty() || name != g_cached_name) {
    g_cached_symbol = LookUpDecimalSymbol(name);
    g_cached_name = name;
  }
  return g_cached_symbol;
}

std::string TimeSeparator() {
  return ":";
}

void SetDecimalSymbolOverride(std::optional<std::string> symbol) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_override = std::move(symbol);
}

}  // namespace nev::platform
