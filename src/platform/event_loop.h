// The thread's event loop: periodic timers and posted callbacks, run by DoEvents.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace nev::platform {

// A periodic timer of the calling thread. Ticks keep coming every interval while it is
// enabled; they run only inside DoEvents (or a wait that lets events run) on that thread.
class Timer {
 public:
  explicit Timer(std::function<void()> on_tick);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetInterval(int ms);
  int Interval() const;
  // Enabling starts the countdown afresh; disabling stops it.
  void SetEnabled(bool enabled);
  bool Enabled() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Runs this thread's due timer ticks and posted callbacks, then returns.
void DoEvents();

// Queues a callback to run at this thread's next DoEvents.
void PostEvent(std::function<void()> callback);

// Milliseconds until this thread's next due event: 0 when something is due now, -1 when
// nothing is scheduled. Waits use it so that they sleep instead of spinning.
int MillisUntilNextEvent();

// Milliseconds from now until `deadline`, 0 once it has passed: what a bounded wait has left.
inline int MillisLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace nev::platform
