// The default message sink on POSIX: one line on standard error.
#include "platform/message_default.h"

#include <cstdio>
#include <string>

namespace nev::platform {

namespace {

class StderrSink final : public MessageSink {
 public:
  void Show(const std::string& text, int style, const std::string& title) override {
    // Keep the message on one line whatever the text holds.
    std::string line = title + " [" + std::to_string(style) + "]: ";
    for (char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
};

}  // namespace

std::shared_ptr<MessageSink> DefaultMessageSink() {
  return std::make_shared<StderrSink>();
}

}  // namespace nev::platform
