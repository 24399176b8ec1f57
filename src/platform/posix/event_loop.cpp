// The thread's event loop on POSIX: timers and posted callbacks kept per thread, run by DoEvents.
#include "platform/event_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>

namespace nev::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct Loop;

}  // namespace

struct Timer::Impl {
  std::function<void()> on_tick;
  int interval = 0;
  bool enabled = false;
  Clock::time_point due{};
  uint64_t id = 0;
  Loop* loop = nullptr;  // cleared when the thread's loop goes away first
};

namespace {

struct Loop {
  std::map<uint64_t, Timer::Impl*> timers;  // ordered by creation: ticks run in that order
  std::deque<std::function<void()>> posted;
  uint64_t next_id = 1;

  ~Loop() {
    for (auto& [id, timer] : timers) timer->loop = nullptr;
  }
};

Loop& ThisLoop() {
  thread_local Loop loop;
  return loop;
}

bool Ticking(const Timer::Impl& t) {
  return t.enabled && t.interval > 0;
}

}  // namespace

Timer::Timer(std::function<void()> on_tick) : impl_(std::make_unique<Impl>()) {
  Loop& loop = ThisLoop();
  impl_->on_tick = std::move(on_tick);
  impl_->id = loop.next_id++;
  impl_->loop = &loop;
  loop.timers.emplace(impl_->id, impl_.get());
}

Timer::~Timer() {
  if (impl_->loop) impl_->loop->timers.erase(impl_->id);
}

void Timer::SetInterval(int ms) {
  // A running timer restarts its countdown with the new interval, as a window timer does.
  impl_->interval = ms;
  if (impl_->enabled) impl_->due = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

int Timer::Interval() const {
  return impl_->interval;
}

void Timer::SetEnabled(bool enabled) {
  impl_->enabled = enabled;
  if (enabled) impl_->due = Clock::now() + std::chrono::milliseconds(std::max(impl_->interval, 0));
}

bool Timer::Enabled() const {
  return impl_->enabled;
}

void DoEvents() {
  Loop& loop = ThisLoop();

  // Timer ticks. A tick handler may run DoEvents again, create, stop or destroy timers: walk by
  // id and look the next one up afresh after each tick. Ticks that fell due more than once since
  // the last run are coalesced into one, and the next one is due a whole interval after this run.
  for (auto it = loop.timers.begin(); it != loop.timers.end();) {
    const uint64_t id = it->first;
    Timer::Impl* t = it->second;
    if (Ticking(*t)) {
      const auto now = Clock::now();
      if (now >= t->due) {
        t->due = now + std::chrono::milliseconds(t->interval);
        if (t->on_tick) t->on_tick();
      }
    }
    it = loop.timers.upper_bound(id);
  }

  // Posted callbacks: those queued before this run; callbacks they post wait for the next run.
  for (std::size_t n = loop.posted.size(); n > 0 && !loop.posted.empty(); --n) {
    std::function<void()> callback = std::move(loop.posted.front());
    loop.posted.pop_front();
    if (callback) callback();
  }
}

void PostEvent(std::function<void()> callback) {
  ThisLoop().posted.push_back(std::move(callback));
}

int MillisUntilNextEvent() {
  Loop& loop = ThisLoop();
  if (!loop.posted.empty()) return 0;
  const auto now = Clock::now();
  int64_t best = -1;
  for (const auto& [id, t] : loop.timers) {
    if (!Ticking(*t)) continue;
    if (t->due <= now) return 0;
    // Round up so that a wait never wakes just before the tick and then spins.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t->due - now).count();
    const int64_t ms = (us + 999) / 1000;
    if (best < 0 || ms < best) best = ms;
  }
  return static_cast<int>(std::min<int64_t>(best, INT32_MAX));
}

}  // namespace nev::platform
