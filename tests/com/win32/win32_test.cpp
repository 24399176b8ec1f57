// Test program of the Win32 platform layer, run under Wine by the COM tests: `nevwin32_test
// FOLDER`, FOLDER a scratch folder. It prints a "FAIL ..." line per failed check and last
// "win32: N failure(s)"; the exit code is the failure count.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "nev/error.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "platform/message_default.h"
#include "platform/serial_port.h"
#include "platform/win32/message_log.h"
#include "platform/win32/port_error.h"
#include "platform/win32/ticks.h"
#include "platform/win32/wide.h"

namespace {

using nev::platform::win32::Narrow;
using nev::platform::win32::Widen;

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::printf("FAIL %s\n", what.c_str());
  ++g_failures;
}

// The run-time error number that a call raises, 0 for none.
template <class Call>
int32_t ErrorOf(Call&& call) {
  try {
    call();
  } catch (const nev::RuntimeError& e) {
    return e.number();
  }
  return 0;
}

// A port held by another handle reads as "port already open" (8005): Windows answers a second
// opener of a serial port with access denied, and of a file held without sharing with a sharing
// violation. Anything else is 8002. A second object on a held line shows the style-48 box.
void PortInUse(const std::wstring& folder) {
  using nev::platform::win32::PortOpenError;
  Check(PortOpenError(ERROR_SHARING_VIOLATION) == nev::kErrPortAlreadyOpen &&
            PortOpenError(ERROR_ACCESS_DENIED) == nev::kErrPortAlreadyOpen,
        "a sharing violation or access denied on open is error 8005");
  Check(PortOpenError(ERROR_FILE_NOT_FOUND) == nev::kErrPortOpenFailed &&
            PortOpenError(ERROR_PATH_NOT_FOUND) == nev::kErrPortOpenFailed &&
            PortOpenError(ERROR_INVALID_NAME) == nev::kErrPortOpenFailed &&
            PortOpenError(ERROR_GEN_FAILURE) == nev::kErrPortOpenFailed,
        "any other failure on open is error 8002");

  const std::wstring line = folder + L"\\held-line";
  HANDLE holder = CreateFileW(line.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  Check(holder != INVALID_HANDLE_VALUE, "the first opener holds the line");
  auto port = nev::platform::SerialPort::Create();
  const int32_t held = ErrorOf([&] { port->Open(Narrow(line), "9600,n,8,1"); });
  Check(held == nev::kErrPortAlreadyOpen, "opening a held line: error " + std::to_string(held));
  const int32_t missing =
      ErrorOf([&] { port->Open(Narrow(folder + L"\\no-such-line"), "9600,n,8,1"); });
  Check(missing == nev::kErrPortOpenFailed,
        "opening a line that does not exist: error " + std::to_string(missing));

  auto recorder = std::make_shared<nev::RecordingSink>();
  auto previous = nev::SetMessageSink(recorder);
  {
    nev::NEV second(Narrow(folder));
    Check(!second.InitConnection(Narrow(line), 9600), "InitConnection on a held line fails");
  }
  nev::SetMessageSink(previous);
  Check(recorder->messages.size() == 1,
        "one message for a held line, not " + std::to_string(recorder->messages.size()));
  if (!recorder->messages.empty()) {
    const auto& shown = recorder->messages.front();
    Check(shown.text == "COM портът е отворен! Опитайте операцията след няколко секунди!" &&
              shown.style == 48 && shown.title == "НЕВ COM Сървър",
          "the held line's box: [" + shown.title + "] " + std::to_string(shown.style) + ": " +
              shown.text);
  }
  CloseHandle(holder);
}

// The 32-bit tick counter widened to 64 bits across its wrap, never going back.
void Ticks() {
  nev::platform::win32::TickWidener widener;
  const uint64_t before = widener.Widen(0xFFFFFF00u);
  const uint64_t wrapped = widener.Widen(0x10u);
  const uint64_t stale = widener.Widen(0xFFFFFFF0u);  // read just before the wrap, stored late
  const uint64_t later = widener.Widen(0x20u);
  const uint64_t idle = widener.Widen(0x10u - 61000u);  // 49.7 days less a minute later
  Check(before == 0xFFFFFF00u && wrapped == 0x100000010ull && stale == 0x100000010ull &&
            later == 0x100000020ull && idle == 0x1FFFF11C8ull,
        "widened ticks across the wrap: " + std::to_string(before) + " " + std::to_string(wrapped) +
            " " + std::to_string(stale) + " " + std::to_string(later) + " " + std::to_string(idle));
  const uint64_t first = nev::platform::win32::TickCount64();
  Sleep(20);
  const uint64_t second = nev::platform::win32::TickCount64();
  Check(second >= first + 15 && second < first + 5000,
        "the tick count advances with time: " + std::to_string(second - first) + " ms");
}

// What a message box looked like while it was up; a thread timer reads it and closes it.
struct SeenBox {
  int boxes = 0;
  HWND owner = nullptr;
  UINT flags = 0;  // the style the system got, from the box's parameters
  std::string caption, text;
};
SeenBox g_seen;
HWND g_box = nullptr;
HHOOK g_hook = nullptr;
HHOOK g_calls_hook = nullptr;

// A message box's dialog gets its MSGBOXPARAMSW with WM_INITDIALOG (so Wine's message box
// does): the flags the system was given, checked by size and caption before they are read.
LRESULT CALLBACK WatchInitDialog(int code, WPARAM wparam, LPARAM lparam) {
  const auto* call = reinterpret_cast<CWPSTRUCT*>(lparam);
  if (code == HC_ACTION && call->message == WM_INITDIALOG && call->hwnd == g_box) {
    const auto* params = reinterpret_cast<const MSGBOXPARAMSW*>(call->lParam);
    if (params && params->cbSize == sizeof(MSGBOXPARAMSW) && params->lpszCaption &&
        lstrcmpW(params->lpszCaption, L"НЕВ COM Сървър") == 0) {
      g_seen.flags = params->dwStyle;
    }
  }
  return CallNextHookEx(g_calls_hook, code, wparam, lparam);
}

LRESULT CALLBACK WatchDialogs(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_CREATEWND && !g_box) {
    wchar_t name[16] = {};
    GetClassNameW(reinterpret_cast<HWND>(wparam), name, 16);
    if (lstrcmpW(name, L"#32770") == 0) g_box = reinterpret_cast<HWND>(wparam);  // a dialog
  }
  return CallNextHookEx(g_hook, code, wparam, lparam);
}

void CALLBACK ReadAndCloseBox(HWND, UINT, UINT_PTR timer, DWORD) {
  if (!g_box) return;
  KillTimer(nullptr, timer);
  ++g_seen.boxes;
  g_seen.owner = GetWindow(g_box, GW_OWNER);
  wchar_t text[512] = {};
  GetWindowTextW(g_box, text, 512);
  g_seen.caption = Narrow(text);
  text[0] = 0;
  GetDlgItemTextW(g_box, 0xFFFF, text, 512);  // the static text of a message box
  g_seen.text = Narrow(text);
  PostMessageW(g_box, WM_COMMAND, IDOK, 0);
  g_box = nullptr;
}

// Shows one message through the default sink, reading the box (if one opens) before closing it.
SeenBox ShowThroughDefaultSink(const std::string& text, int style) {
  g_seen = SeenBox{};
  g_box = nullptr;
  g_hook = SetWindowsHookExW(WH_CBT, WatchDialogs, nullptr, GetCurrentThreadId());
  g_calls_hook = SetWindowsHookExW(WH_CALLWNDPROC, WatchInitDialog, nullptr, GetCurrentThreadId());
  const UINT_PTR timer = SetTimer(nullptr, 0, 100, ReadAndCloseBox);
  nev::platform::DefaultMessageSink()->Show(text, style, nev::kMessageTitle);
  KillTimer(nullptr, timer);
  UnhookWindowsHookEx(g_calls_hook);
  UnhookWindowsHookEx(g_hook);
  return g_seen;
}

LRESULT CALLBACK PlainWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

// A box is owned by the thread's active window (the till's), asks for the foreground and the
// topmost band, and keeps the caller's text, style and title.
void MessageBoxes() {
  SetEnvironmentVariableW(L"NEVCOM_MESSAGES", nullptr);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = PlainWindow;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"NEVTestTill";
  RegisterClassW(&wc);
  HWND till = CreateWindowExW(0, wc.lpszClassName, L"till", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                              640, 480, nullptr, nullptr, wc.hInstance, nullptr);
  SetActiveWindow(till);
  Check(till && GetActiveWindow() == till, "the till's window is the thread's active window");
  const UINT foreground_topmost = MB_SETFOREGROUND | MB_TOPMOST;
  SeenBox seen = ShowThroughDefaultSink("Грешна команда!", 16);
  Check(seen.boxes == 1, "one box while the till is active");
  Check(seen.owner == till, "the box is owned by the till's window");
  Check(seen.flags == (16 | foreground_topmost),
        "the system got style 16 with foreground and topmost: " + std::to_string(seen.flags));
  Check(seen.caption == "НЕВ COM Сървър" && seen.text == "Грешна команда!",
        "the box shows the caller's title and text: [" + seen.caption + "] " + seen.text);
  DestroyWindow(till);

  seen = ShowThroughDefaultSink("COM портът е отворен!", 48);
  Check(seen.boxes == 1 && !seen.owner && seen.flags == (48 | foreground_topmost),
        "with no window of the thread active the box has no owner, and still asks for the "
        "foreground and the topmost band: " +
            std::to_string(seen.flags));
}

// NEVCOM_MESSAGES=log: nothing is shown; the message goes to the log named for the call.
void LoggedMessages() {
  struct Kept : nev::platform::win32::MessageLog {
    void Write(const std::string& text, int style, const std::string& title) noexcept override {
      lines += "[" + title + "] " + std::to_string(style) + ": " + text + "\n";
    }
    std::string lines;
  } outer, inner;
  SetEnvironmentVariableW(L"NEVCOM_MESSAGES", L"log");
  {
    nev::platform::win32::MessageLogScope outer_call(outer);
    Check(ShowThroughDefaultSink("COM Port Error!", 16).boxes == 0, "no box in log mode");
    {
      nev::platform::win32::MessageLogScope nested_call(inner);
      ShowThroughDefaultSink("Грешна команда!", 16);
    }
    ShowThroughDefaultSink("COM портът е отворен!", 48);
  }
  Check(outer.lines ==
                "[НЕВ COM Сървър] 16: COM Port Error!\n[НЕВ COM Сървър] 48: COM портът е "
                "отворен!\n" &&
            inner.lines == "[НЕВ COM Сървър] 16: Грешна команда!\n",
        "each message went to the log of its own call: outer\n" + outer.lines + "inner\n" +
            inner.lines);
  Check(ShowThroughDefaultSink("RS232 Time out!", 16).boxes == 0,
        "no box in log mode outside a call either");
  SetEnvironmentVariableW(L"NEVCOM_MESSAGES", nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : ".";
  const std::wstring folder(path.begin(), path.end());  // ASCII
  PortInUse(folder);
  Ticks();
  MessageBoxes();
  LoggedMessages();
  std::printf("win32: %d failure(s)\n", g_failures);
  return std::min(g_failures, 125);
}
