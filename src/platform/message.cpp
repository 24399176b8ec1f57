#include "nev/message.h"

#include <mutex>

#include "platform/message_default.h"

namespace nev {

namespace {
std::mutex g_sink_mutex;
std::shared_ptr<MessageSink> g_sink;

std::shared_ptr<MessageSink> CurrentSink() {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  if (!g_sink) g_sink = platform::DefaultMessageSink();
  return g_sink;
}
}  // namespace

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
