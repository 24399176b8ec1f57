// Receipts and printed text: fiscal and service receipts, free text, paper and drawer.
#include "nev/nev.h"
#include "operations/number_format.h"
#include "operations/operator_field.h"
#include "operations/reply_text.h"
#include "operations/wire_text.h"
#include "platform/codepage.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "service/command.h"

namespace nev {

namespace {

using protocol::Command;

using protocol::ACK;
using protocol::ETX;

// A command carrying one free text ended by TAB.
bool Text(NEVState& state, const char* method, Command code, const std::string& text) {
  return service::RunCommand(state, method, false, [&] {
    std::string data = operations::WireText(text, "text", state.lossy_text);
    data.push_back(protocol::TAB);
    return service::Exchange(state, code, data, ACK).ok();
  });
}

}  // namespace

bool NEV::OpenServNote() {
  return service::SimpleCommand(*state_, "OpenServNote", Command::kOpenServNote, ETX);
}

bool NEV::CloseServNote() {
  return service::SimpleCommand(*state_, "CloseServNote", Command::kCloseServNote, ETX);
}

bool NEV::ServText(const std::string& text) {
  return Text(*state_, "ServText", Command::kServText, text);
}

bool NEV::OpenFiscNote(const std::string& casher, const std::string& Pass, const std::string& BS) {
  NEVState& state = *state_;
  return service::RunCommand(state, "OpenFiscNote", false, [&] {
    const std::string pass = operations::WireText(Pass, "Pass", state.lossy_text);
    const std::string bs = operations::WireText(BS, "BS", state.lossy_text);
    std::string data = operations::OperatorField(casher, pass);
    if (!bs.empty()) data += "I" + bs + "\t";
    return service::Exchange(state, Command::kOpenFiscNote, data, ETX).ok();
  });
}

bool NEV::CloseFiscNote() {
  return service::SimpleCommand(*state_, "CloseFiscNote", Command::kCloseFiscNote, ETX);
}

bool NEV::FiscText(const std::string& text) {
  return Text(*state_, "FiscText", Command::kFiscText, text);
}

bool NEV::VoidAll() {
  NEVState& state = *state_;
  return service::RunCommand(state, "VoidAll", false, [&] {
    if (state.log) state.log->Warning(kClassName, "Voiding fiscal receipt", "VoidAll");
    return service::Exchange(state, Command::kVoidAll, "", ACK).ok();
  });
}

bool NEV::OpenDraw() {
  return service::SimpleCommand(*state_, "OpenDraw", Command::kOpenDraw, ACK);
}

bool NEV::PaperFeed(int32_t Rows) {
  NEVState& state = *state_;
  return service::RunCommand(state, "PaperFeed", false, [&] {
    operations::CheckFieldNumber(Rows, INT16_MIN, INT16_MAX, "Rows");
    return service::Exchange(state, Command::kPaperFeed, operations::TwoDigitText(int64_t{Rows}),
                             ACK)
        .ok();
  });
}

}  // namespace nev
