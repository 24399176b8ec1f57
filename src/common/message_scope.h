// A message sink for the calls of one object: while a scope lives on a thread, ShowMessage on that
// thread goes to its sink (null: the process-wide one). Scopes nest, the innermost wins.
#pragma once

#include <memory>

#include "nev/message.h"

namespace nev::common {

class ScopedMessageSink {
 public:
  explicit ScopedMessageSink(std::shared_ptr<MessageSink> sink);
  ~ScopedMessageSink();
  ScopedMessageSink(const ScopedMessageSink&) = delete;
  ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;

 private:
  std::shared_ptr<MessageSink> sink_;
  const ScopedMessageSink* outer_;

  friend std::shared_ptr<MessageSink> ScopedSinkOfThread(bool& in_scope);
};

// The sink of the innermost scope of this thread; in_scope is false when there is none.
std::shared_ptr<MessageSink> ScopedSinkOfThread(bool& in_scope);

}  // namespace nev::common
