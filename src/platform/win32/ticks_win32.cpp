// The 64-bit tick count on Windows XP and later, for this library and for the statically linked
// thread runtime, whose waits import GetTickCount64: this file defines that import's pointer
// itself (__imp_GetTickCount64), aimed at a version that asks the system for the real function
// and falls back to the widened 32-bit counter. So the DLL never imports GetTickCount64 and loads
// on XP. Nothing here may wait or take a lock: the thread runtime calls it inside its own waits.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/win32/ticks.h"

namespace nev::platform::win32 {

namespace {

using TickFunction = ULONGLONG(WINAPI*)();

TickWidener g_widener;
std::atomic<TickFunction> g_tick_function{nullptr};

ULONGLONG WINAPI WidenedTickCount() {
  return g_widener.Widen(GetTickCount());
}

// Resolved once; concurrent first callers resolve the same value.
TickFunction Resolve() {
  TickFunction fn = g_tick_function.load(std::memory_order_acquire);
  if (fn) return fn;
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel ? GetProcAddress(kernel, "GetTickCount64") : nullptr;
  // Through void*: GetProcAddress's own type says nothing of the real signature.
  fn = found ? reinterpret_cast<TickFunction>(reinterpret_cast<void*>(found)) : &WidenedTickCount;
  g_tick_function.store(fn, std::memory_order_release);
  return fn;
}

ULONGLONG WINAPI SystemTickCount64() {
  return Resolve()();
}

}  // namespace

uint64_t TickWidener::Widen(uint32_t ticks) {
  uint64_t last = last_.load(std::memory_order_acquire);
  for (;;) {
    // How far the counter moved since the last value, across a wrap. A move of nearly the
    // whole range is a read taken just before another caller's newer one: never go back.
    const uint32_t step = ticks - static_cast<uint32_t>(last);
    if (step > kStaleLimit && last != 0) return last;
    const uint64_t widened = last + step;  // the first reading is taken as it is
    if (widened == last || last_.compare_exchange_weak(last, widened, std::memory_order_acq_rel)) {
      return widened;
    }
  }
}

uint64_t TickCount64() {
  return SystemTickCount64();
}

}  // namespace nev::platform::win32

// The import pointer that the thread runtime's calls go through (see the top of this file). Its
// assembler name is the import's: stdcall-decorated on x86.
using ImportedTickFunction = ULONGLONG(WINAPI*)();
extern "C" {
#if defined(__i386__)
ImportedTickFunction nev_imp_GetTickCount64 __asm__("__imp__GetTickCount64@0") =
    &nev::platform::win32::SystemTickCount64;
#else
ImportedTickFunction nev_imp_GetTickCount64 __asm__("__imp_GetTickCount64") =
    &nev::platform::win32::SystemTickCount64;
#endif
}
