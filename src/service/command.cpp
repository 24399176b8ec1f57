#include "service/command.h"

#include "nev/message.h"
#include "platform/codepage.h"
#include "protocol/frame.h"

namespace nev::service {

void ReportError(NEVState& state, const char* method, const ErrorRecord& error) {
  if (state.silent_mode) {
    if (state.log) state.log->Critical(kClassName, "", method, &error);
  } else {
    ShowMessage(error.description, kStyleCritical);
  }
}

void BeginCall(NEVState& state, const char* method) {
  state.last_call = CallRecord{};
  state.last_call.member = method;
  state.last_call.outcome = Outcome::kBadArgument;
}

namespace {

// What the exchange's end means for the caller.
void RecordExchange(NEVState& state, const protocol::Reply& reply) {
  CallRecord& call = state.last_call;
  call.reply.reset();
  call.status.reset();
  call.flags = StatusFlags{};
  switch (reply.end) {
    case protocol::WaitEnd::kTerminator:
      call.outcome = reply.ok() ? Outcome::kAnswered : Outcome::kTimeout;
      break;
    case protocol::WaitEnd::kTimeout:
      call.outcome = Outcome::kTimeout;
      break;
    case protocol::WaitEnd::kNak:
      call.outcome = Outcome::kNak;
      break;
    case protocol::WaitEnd::kBusy:
      call.outcome = Outcome::kBusy;
      break;
    case protocol::WaitEnd::kNoPort:
      call.outcome = Outcome::kNoConnection;
      break;
    case protocol::WaitEnd::kPortError:
      call.outcome = Outcome::kPortError;
      break;
  }
  if (reply.ok() && reply.framed) {
    call.reply = platform::FromWire(reply.data);
    const auto& b = state.link.status_bytes;
    call.status = std::array<uint8_t, 3>{b[0], b[1], b[2]};
    call.flags.general_error = (b[0] & 0x01) != 0;
    call.flags.no_paper = (b[0] & 0x04) != 0;
    call.flags.fiscal_receipt_open = (b[0] & 0x08) != 0;
    call.flags.nonfiscal_receipt_open = (b[0] & 0x10) != 0;
    if (call.flags.general_error) call.outcome = Outcome::kRefused;
  }
}

}  // namespace

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
  RecordExchange(state, reply);
  return reply;
}

}  // namespace nev::service
