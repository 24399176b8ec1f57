// Milliseconds since the system started, 64 bits wide, on every Windows from XP on. XP has only
// the 32-bit GetTickCount (it wraps after 49.7 days); GetTickCount64 came with Vista.
#pragma once

#include <atomic>
#include <cstdint>

namespace nev::platform::win32 {

// GetTickCount64 where the system has it, else GetTickCount widened by TickWidener.
uint64_t TickCount64();

// Widens a 32-bit tick counter to 64 bits by counting its wraps. It must see the counter at least
// once per wrap (every 49.7 days); every running timer and wait reads it far more often. Safe
// for concurrent callers, and never goes back: a caller whose reading is up to a minute older
// than another caller's stored one gets that newer value.
class TickWidener {
 public:
  constexpr TickWidener() = default;
  uint64_t Widen(uint32_t ticks);

 private:
  static constexpr uint32_t kStaleLimit = 0xFFFFFFFFu - 60000u;
  std::atomic<uint64_t> last_{0};
};

}  // namespace nev::platform::win32
