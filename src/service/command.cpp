#include "service/command.h"

#include <cstdio>
#include <optional>

#include "nev/message.h"
#include "platform/codepage.h"
#include "protocol/frame.h"

namespace nev::service {

namespace {

// The outcome line of level 4: outcome, then status bytes, reply data and error when present.
std::string OutcomeLine(const CallRecord& r) {
  std::string line = std::string("outcome ") + OutcomeName(r.outcome);
  if (r.status) {
    line += "; status " +
            protocol::HexText({reinterpret_cast<const char*>(r.status->data()), r.status->size()});
  }
  if (r.reply) line += "; reply \"" + *r.reply + "\"";
  if (r.error) {
    line += "; error " + std::to_string(r.error->number) + " " + r.error->description;
  }
  return line;
}

}  // namespace

void ReportError(NEVState& state, const char* method, const ErrorRecord& error) {
  if (state.silent_mode) {
    if (state.log) state.log->Critical(kClassName, "", method, &error);
  } else {
    ShowMessage(error.description, kStyleCritical);
  }
}

CallScope::CallScope(NEVState& state, const char* member)
    : state_(state), outer_(state.current), sink_(state.sink) {
  call_.record.member = member;
  call_.record.outcome = Outcome::kAnswered;
  state_.current = &call_;
}

CallScope::~CallScope() {
  state_.current = outer_;
  SkipOnError([&] { state_.last_call = call_.record; });
  SkipOnError([&] {
    if (state_.log) state_.log->Trace(kClassName, OutcomeLine(call_.record), call_.record.member);
  });
}

void CallScope::Failed(const ErrorRecord& error) {
  call_.record.error = error;
  if (!call_.exchanged) call_.record.outcome = Outcome::kBadArgument;
}

void CallScope::SetOutcome(Outcome outcome) {
  call_.record.outcome = outcome;
}

StatusFlags DecodeFlags(uint8_t byte0) {
  StatusFlags flags;
  flags.general_error = (byte0 & 0x01) != 0;
  flags.no_paper = (byte0 & 0x04) != 0;
  flags.fiscal_receipt_open = (byte0 & 0x08) != 0;
  flags.nonfiscal_receipt_open = (byte0 & 0x10) != 0;
  return flags;
}

}  // namespace nev::service

namespace nev {

std::vector<std::string> FlagWords(const StatusFlags& flags) {
  std::vector<std::string> words;
  if (flags.general_error) words.emplace_back("general error");
  if (flags.no_paper) words.emplace_back("no paper");
  if (flags.fiscal_receipt_open) words.emplace_back("fiscal receipt open");
  if (flags.nonfiscal_receipt_open) words.emplace_back("non-fiscal receipt open");
  return words;
}

}  // namespace nev

namespace nev::service {

Outcome OutcomeOf(const protocol::Reply& reply, bool sent, const protocol::Link& link) {
  using protocol::WaitEnd;
  if (!sent) {
    return link.host && link.host->Com().IsOpen() ? Outcome::kPortError : Outcome::kNoConnection;
  }
  switch (reply.end) {
    case WaitEnd::kTerminator:
      if (!reply.ok()) return Outcome::kTimeout;  // a lone ETX: the reply frame never came
      if (reply.terminator == protocol::ETX && (link.status_bytes[0] & 0x01) != 0) {
        return Outcome::kRefused;
      }
      return Outcome::kAnswered;
    case WaitEnd::kTimeout:
      return Outcome::kTimeout;
    case WaitEnd::kNak:
      return Outcome::kNak;
    case WaitEnd::kBusy:
      return Outcome::kBusy;
    case WaitEnd::kNoPort:
      return Outcome::kNoConnection;
    case WaitEnd::kPortError:
      return Outcome::kPortError;
  }
  return Outcome::kPortError;
}

Answer Record(NEVState& state, const protocol::Reply& reply, bool sent) {
  Answer answer{reply, OutcomeOf(reply, sent, state.link)};
  if (!state.current) return answer;
  ActiveCall& call = *state.current;
  call.exchanged = true;
  CallRecord& r = call.record;
  r.outcome = answer.outcome;
  r.reply.reset();
  r.status.reset();
  r.flags = {};
  // Reply data and status bytes exist only when a reply frame came (an ACK carries neither).
  if (sent && reply.ok() && reply.terminator == protocol::ETX) {
    SkipOnError([&] { r.reply = platform::FromWire(reply.data); });
    const auto& b = state.link.status_bytes;
    r.status = std::array<uint8_t, 3>{b[0], b[1], b[2]};
    r.flags = DecodeFlags(b[0]);
  }
  return answer;
}

bool SimpleCommand(NEVState& state, const char* method, protocol::Command code, char terminator) {
  return RunCommand(state, method, false,
                    [&] { return Exchange(state, code, "", terminator).ok(); });
}

namespace {

// The answer of a nested call: the reply wait is busy, nothing goes out.
std::optional<Answer> Busy(NEVState& state, char terminator) {
  if (!state.link.reply_busy) return std::nullopt;
  protocol::Reply reply;
  reply.terminator = terminator;
  reply.end = protocol::WaitEnd::kBusy;
  return Record(state, reply, true);
}

}  // namespace

Answer Exchange(NEVState& state, protocol::Command code, std::string_view wire_data,
                char terminator) {
  if (auto busy = Busy(state, terminator)) return *busy;
  return Transmit(state, protocol::BuildFrame(state.link.sequence, protocol::Code(code), wire_data),
                  terminator);
}

Answer Transmit(NEVState& state, std::string_view bytes, char terminator) {
  if (auto busy = Busy(state, terminator)) return *busy;
  const bool sent = protocol::SendFrame(state.link, bytes);
  protocol::Reply reply = protocol::ReadReply(state.link, terminator);
  // An answer to a frame that was never written answers nothing.
  if (!sent && reply.end == protocol::WaitEnd::kTerminator)
    reply.end = protocol::WaitEnd::kPortError;
  return Record(state, reply, sent);
}

}  // namespace nev::service
