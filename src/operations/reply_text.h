// What a command method makes of the device's answer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/codepage.h"
#include "protocol/exchange.h"
#include "protocol/frame.h"
#include "service/command.h"

namespace nev::operations {

// The awaited answer arrived: the bare ACK, or for ETX a reply frame. A lone ETX with no STX
// before it ends the wait but brings no reply.
inline bool Answered(const protocol::Reply& reply, char terminator) {
  return reply.ok() && (terminator != protocol::ETX || reply.framed);
}

// A command with empty data whose answer is awaited, never examined: true when it arrived.
inline bool EmptyCommand(NEVState& state, const char* method, uint8_t code, char terminator) {
  return service::RunCommand(state, method, false, [&] {
    return Answered(service::Exchange(state, code, "", terminator), terminator);
  });
}

// The reply frame's data as UTF-8, or the empty text when the exchange brought no answer.
inline std::string ReplyText(const protocol::Reply& reply) {
  return reply.ok() ? platform::FromWire(reply.data) : std::string();
}

}  // namespace nev::operations
