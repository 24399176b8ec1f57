// Message boxes: text, style and title reach a sink that returns when acknowledged.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace nev {

// Title of every message box of the driver.
inline constexpr const char* kMessageTitle = "НЕВ COM Сървър";
inline constexpr int kStyleCritical = 16;     // critical icon, OK button
inline constexpr int kStyleExclamation = 48;  // exclamation icon, OK button

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Shows one message and returns when it was acknowledged. Texts are UTF-8.
  virtual void Show(const std::string& text, int style, const std::string& title) = 0;
};

// Installs the process-wide sink; nullptr restores the platform default (a message box on
// Windows, one line on standard error elsewhere). Returns the previous sink.
std::shared_ptr<MessageSink> SetMessageSink(std::shared_ptr<MessageSink> sink);

// Shows a message through the current sink, with the driver's title. Never throws: a sink that
// throws only loses its message.
void ShowMessage(const std::string& text, int style);

// A sink that keeps what was shown, for tests and for tools that report messages themselves.
class RecordingSink : public MessageSink {
 public:
  struct Message {
    std::string text;
    int style = 0;
    std::string title;
  };
  void Show(const std::string& text, int style, const std::string& title) override {
    messages.push_back({text, style, title});
  }
  std::vector<Message> messages;
};

}  // namespace nev
