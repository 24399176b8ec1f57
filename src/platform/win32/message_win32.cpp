// The default message sink on Windows: MessageBoxW, or a line on standard error or in a file
// when the environment variable NEVCOM_MESSAGES says "stderr" or names a file (for unattended
// machines and tests, where nobody could close a dialog).
#include <windows.h>

#include <memory>
#include <string>

#include "platform/message_default.h"
#include "platform/win32/wide.h"

namespace nev::platform {

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

class WindowsSink : public MessageSink {
 public:
  void Show(const std::string& text, int style, const std::string& title) override {
    const std::wstring setting = MessagesSetting();
    if (setting.empty()) {
      MessageBoxW(nullptr, win32::Widen(text).c_str(), win32::Widen(title).c_str(),
                  static_cast<UINT>(style));
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
