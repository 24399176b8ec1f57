// What a command method makes of the device's answer.
#pragma once

#include <string>

#include "platform/codepage.h"
#include "service/command.h"

namespace nev::operations {

// The reply frame's data as UTF-8 (a refusal's too: a query hands over what the device said), or
// the empty text when the exchange brought no reply frame.
inline std::string ReplyText(const service::Answer& answer) {
  return answer.framed() ? platform::FromWire(answer.reply.data) : std::string();
}

}  // namespace nev::operations
