// The platform's default message sink.
#pragma once

#include <memory>

#include "nev/message.h"

namespace nev::platform {

// POSIX: one line on standard error with title, style and text.
// Windows: MessageBoxW, or standard error / a file / the log when NEVCOM_MESSAGES says so.
std::shared_ptr<MessageSink> DefaultMessageSink();

}  // namespace nev::platform
