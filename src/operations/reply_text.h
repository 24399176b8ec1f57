// What a command method makes of the device's answer.
#pragma once

#include <string>

#include "platform/codepage.h"
#include "protocol/exchange.h"

namespace nev::operations {

// The reply frame's data as UTF-8, or the empty text when the exchange brought no answer.
inline std::string ReplyText(const protocol::Reply& reply) {
  return reply.ok() ? platform::FromWire(reply.data) : std::string();
}

}  // namespace nev::operations
