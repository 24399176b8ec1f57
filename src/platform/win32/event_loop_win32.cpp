// The thread's event loop on Windows: each Timer is a hidden message-only window with a
// SetTimer timer; DoEvents runs posted callbacks, then pumps the thread's message queue.
#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "platform/event_loop.h"
#include "platform/win32/ticks.h"

namespace nev::platform {

struct Timer::Impl {
  std::function<void()> on_tick;
  HWND window = nullptr;
  int interval = 0;
  bool enabled = false;
  uint64_t due = 0;  // when the next tick is expected (win32::TickCount64)
  Impl* next = nullptr;
};

namespace {

constexpr UINT_PTR kTimerId = 1;

// Per-thread state, kept trivially destructible: a timer list and a heap queue that exists only
// while callbacks are pending.
thread_local Timer::Impl* t_timers = nullptr;
thread_local std::deque<std::function<void()>>* t_posted = nullptr;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER && wparam == kTimerId) {
    auto* impl = reinterpret_cast<Timer::Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (impl && impl->enabled && impl->interval > 0) {
      impl->due = win32::TickCount64() + static_cast<uint64_t>(impl->interval);
      if (impl->on_tick) impl->on_tick();
    }
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// The window class carries the module's load address in its name, so that a library loaded
// again at another address never meets a class left behind by an earlier load.
const std::wstring& HostClassName() {
  static const std::wstring name = [] {
    HMODULE module = ThisModule();
    const std::wstring n =
        L"NEVHostForm." + std::to_wstring(reinterpret_cast<std::uintptr_t>(module));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HostWindowProc;
    wc.hInstance = module;
    wc.lpszClassName = n.c_str();
    RegisterClassExW(&wc);
    return n;
  }();
  return name;
}

void DropQueuedTicks(HWND window) {
  MSG msg;
  while (PeekMessageW(&msg, window, WM_TIMER, WM_TIMER, PM_REMOVE)) {
  }
}

void Arm(Timer::Impl& impl) {
  if (impl.window) {
    KillTimer(impl.window, kTimerId);
    DropQueuedTicks(impl.window);
  }
  if (impl.enabled && impl.interval > 0) {
    if (impl.window) SetTimer(impl.window, kTimerId, static_cast<UINT>(impl.interval), nullptr);
    impl.due = win32::TickCount64() + static_cast<uint64_t>(impl.interval);
  }
}

// Ticks of timers that have no window (its creation failed): fired here when due, so that
// their waits still end.
void FireWindowlessTicks() {
  for (int fired = 0; fired < 64; ++fired) {
    const uint64_t now = win32::TickCount64();
    Timer::Impl* due = nullptr;
    for (Timer::Impl* t = t_timers; t && !due; t = t->next) {
      if (!t->window && t->enabled && t->interval > 0 && t->due <= now) due = t;
    }
    if (!due) return;
    due->due = now + static_cast<uint64_t>(due->interval);
    if (due->on_tick) due->on_tick();  // may destroy timers: the search starts afresh
  }
}

}  // namespace

Timer::Timer(std::function<void()> on_tick) : impl_(std::make_unique<Impl>()) {
  impl_->on_tick = std::move(on_tick);
  impl_->window = CreateWindowExW(0, HostClassName().c_str(), L"frmMain", 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, ThisModule(), nullptr);
  if (impl_->window) {
    SetWindowLongPtrW(impl_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_.get()));
  }
  impl_->next = t_timers;
  t_timers = impl_.get();
}

Timer::~Timer() {
  for (Impl** link = &t_timers; *link; link = &(*link)->next) {
    if (*link == impl_.get()) {
      *link = impl_->next;
      break;
    }
  }
  if (impl_->window) {
    KillTimer(impl_->window, kTimerId);
    SetWindowLongPtrW(impl_->window, GWLP_USERDATA, 0);
    DestroyWindow(impl_->window);
  }
}

void Timer::SetInterval(int ms) {
  impl_->interval = ms;
  Arm(*impl_);
}

int Timer::Interval() const {
  return impl_->interval;
}

void Timer::SetEnabled(bool enabled) {
  impl_->enabled = enabled;
  Arm(*impl_);
}

bool Timer::Enabled() const {
  return impl_->enabled;
}

void DoEvents() {
  if (t_posted) {
    std::deque<std::function<void()>> due;
    due.swap(*t_posted);
    delete t_posted;
    t_posted = nullptr;
    for (auto& callback : due) callback();
  }
  FireWindowlessTicks();
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // The application's own loop must still see its quit request.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void PostEvent(std::function<void()> callback) {
  if (!t_posted) t_posted = new std::deque<std::function<void()>>();
  t_posted->push_back(std::move(callback));
}

int MillisUntilNextEvent() {
  if (t_posted && !t_posted->empty()) return 0;
  if (HIWORD(GetQueueStatus(QS_ALLINPUT)) != 0) return 0;
  // A due tick shows as a queued WM_TIMER a little after its time: until then report a short
  // wait, which the message-aware waits cut short when the tick arrives.
  const uint64_t now = win32::TickCount64();
  long long best = -1;
  for (Timer::Impl* t = t_timers; t; t = t->next) {
    if (!t->enabled || t->interval <= 0) continue;
    // A windowless timer is due exactly when its time has come (DoEvents fires it).
    const long long overdue = t->window ? 1 : 0;
    const long long left = t->due > now ? static_cast<long long>(t->due - now) : overdue;
    if (best < 0 || left < best) best = left;
  }
  return static_cast<int>(best);
}

}  // namespace nev::platform
