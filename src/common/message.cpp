#include "nev/message.h"

#include <mutex>

#include "common/message_scope.h"
#include "platform/message_default.h"

namespace nev {

namespace {
std::mutex g_sink_mutex;
std::shared_ptr<MessageSink> g_sink;

thread_local const common::ScopedMessageSink* t_scope = nullptr;

std::shared_ptr<MessageSink> CurrentSink() {
  bool in_scope = false;
  std::shared_ptr<MessageSink> scoped = common::ScopedSinkOfThread(in_scope);
  if (scoped) return scoped;
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  if (!g_sink) g_sink = platform::DefaultMessageSink();
  return g_sink;
}
}  // namespace

namespace common {

ScopedMessageSink::ScopedMessageSink(std::shared_ptr<MessageSink> sink)
    : sink_(std::move(sink)), outer_(t_scope) {
  t_scope = this;
}

ScopedMessageSink::~ScopedMessageSink() {
  t_scope = outer_;
}

std::shared_ptr<MessageSink> ScopedSinkOfThread(bool& in_scope) {
  in_scope = t_scope != nullptr;
  return in_scope ? t_scope->sink_ : nullptr;
}

}  // namespace common

std::shared_ptr<MessageSink> SetMessageSink(std::shared_ptr<MessageSink> sink) {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  auto previous = std::move(g_sink);
  g_sink = std::move(sink);
  return previous;
}

void ShowMessage(const std::string& text, int style) {
  // A sink that fails loses its message and nothing more: the wait or the error handler that
  // showed it must still finish (clear the reply guard, return the method's result).
  try {
    CurrentSink()->Show(text, style, kMessageTitle);
  } catch (...) {
  }
}

}  // namespace nev
