#include "service/command.h"

#include "nev/message.h"
#include "protocol/frame.h"

namespace nev::service {

void ReportError(NEVState& state, const char* method, const ErrorRecord& error) {
  if (state.silent_mode) {
    if (state.log) state.log->Critical(kClassName, "", method, &error);
  } else {
    ShowMessage(error.description, kStyleCritical);
  }
}

bool SimpleCommand(NEVState& state, const char* method, uint8_t code, char terminator) {
  return RunCommand(state, method, false,
                    [&] { return Exchange(state, code, "", terminator).ok(); });
}

protocol::Reply Exchange(NEVState& state, uint8_t code, std::string_view wire_data,
                         char terminator) {
  const std::string frame = protocol::BuildFrame(state.link.sequence, code, wire_data);
  const bool sent = protocol::SendFrame(state.link, frame);
  protocol::Reply reply = protocol::ReadReply(state.link, terminator);
  // An answer to a frame that was never written answers nothing.
  if (!sent && reply.end == protocol::WaitEnd::kTerminator)
    reply.end = protocol::WaitEnd::kPortError;
  return reply;
}

}  // namespace nev::service
