// The default message sink on Windows: a message box, or, when the environment variable
// NEVCOM_MESSAGES says so (for unattended machines and tests, where nobody could close a dialog),
// a line on standard error ("stderr"), a line in a file (a path), or a warning in the log ("log").
//
// A box must not open out of sight behind a full-screen or topmost till and block the till's
// thread there: it is owned by the calling thread's active window when there is one, and asks
// the system for the foreground and the topmost band. Those flags are added only where the box
// is made; text, style and title stay as the caller gave them.
#include <windows.h>

#include <memory>
#include <string>

#include "platform/message_default.h"
#include "platform/win32/message_log.h"
#include "platform/win32/wide.h"

namespace nev::platform {

namespace win32 {

namespace {
thread_local MessageLog* t_message_log = nullptr;
}  // namespace

MessageLogScope::MessageLogScope(MessageLog& log) : previous_(t_message_log) {
  t_message_log = &log;
}

MessageLogScope::~MessageLogScope() {
  t_message_log = previous_;
}

MessageLog* CurrentMessageLog() {
  return t_message_log;
}

}  // namespace win32

namespace {

std::wstring MessagesSetting() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = GetEnvironmentVariableW(L"NEVCOM_MESSAGES", buffer, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  return std::wstring(buffer, n);
}

void WriteAll(HANDLE handle, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// The calling thread's active window; else the foreground window when this thread owns it.
HWND BoxOwner() {
  if (HWND active = GetActiveWindow()) return active;
  HWND foreground = GetForegroundWindow();
  if (foreground && GetWindowThreadProcessId(foreground, nullptr) == GetCurrentThreadId()) {
    return foreground;
  }
  return nullptr;
}

class WindowsSink : public MessageSink {
 public:
  void Show(const std::string& text, int style, const std::string& title) override {
    const std::wstring setting = MessagesSetting();
    if (setting.empty()) {
      MessageBoxW(BoxOwner(), win32::Widen(text).c_str(), win32::Widen(title).c_str(),
                  static_cast<UINT>(style) | MB_SETFOREGROUND | MB_TOPMOST);
      return;
    }
    if (lstrcmpiW(setting.c_str(), L"log") == 0) {
      // Outside a call there is no object to log to: the debugger output still sees it.
      if (win32::MessageLog* log = win32::CurrentMessageLog()) {
        log->Write(text, style, title);
      } else {
        OutputDebugStringW(win32::Widen("[" + title + "] " + text).c_str());
      }
      return;
    }
    const std::string line = "[" + title + "] " + std::to_string(style) + ": " + text + "\n";
    if (lstrcmpiW(setting.c_str(), L"stderr") == 0) {
      HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
      if (err && err != INVALID_HANDLE_VALUE) WriteAll(err, line);
      return;
    }
    HANDLE file = CreateFileW(setting.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    WriteAll(file, line);
    CloseHandle(file);
  }
};

}  // namespace

std::shared_ptr<MessageSink> DefaultMessageSink() {
  return std::make_shared<WindowsSink>();
}

}  // namespace nev::platform
