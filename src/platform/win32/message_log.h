// Messages on unattended Windows machines: with NEVCOM_MESSAGES=log nothing is shown; each message
// goes to the log of the object whose call met it, as a warning. The COM object names its log
// for the length of each call with a MessageLogScope.
#pragma once

#include <string>

namespace nev::platform::win32 {

class MessageLog {
 public:
  virtual ~MessageLog() = default;
  // Records one message. Must not throw.
  virtual void Write(const std::string& text, int style, const std::string& title) noexcept = 0;
};

// Makes a log the calling thread's message log while the scope lives. Scopes nest (a call made
// while another one waits): the innermost one is used, and the outer one again when it ends.
class MessageLogScope {
 public:
  explicit MessageLogScope(MessageLog& log);
  ~MessageLogScope();
  MessageLogScope(const MessageLogScope&) = delete;
  MessageLogScope& operator=(const MessageLogScope&) = delete;

 private:
  MessageLog* previous_;
};

// The calling thread's message log, or null outside any scope.
MessageLog* CurrentMessageLog();

}  // namespace nev::platform::win32
