// Status and information: the printer's status code, the device queries and the serial number.
#include "nev/error.h"
#include "nev/nev.h"
#include "operations/reply_text.h"
#include "operations/wire_text.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "service/command.h"

namespace nev {

namespace {

using protocol::Command;

using protocol::ACK;
using protocol::ETX;

constexpr int32_t kUndecided = -33;

// A query with empty data whose reply data is handed over as it came.
std::string Query(NEVState& state, const char* method, Command code) {
  return service::RunCommand(state, method, std::string(), [&] {
    return operations::ReplyText(service::Exchange(state, code, "", ETX));
  });
}

// Decodes status bytes 0 and 1 into PrinterStatus, one warning per set bit of meaning in
// ascending order; the highest of them decides. Bits without a meaning are ignored. "Printer
// Status: OK" only when none is set and the status was undecided.
void DecodeStatus(NEVState& state) {
  struct Meaning {
    int bit;  // 8 x byte index + bit in the byte
    int32_t code;
    const char* text;
  };
  static constexpr Meaning kMeanings[] = {
      {0, -99, "Printer Status: GeneralError"},
      {2, -22, "Printer Status: NoPaper"},
      {3, -11, "Printer Status: Open Fiscal"},
      {4, -88, "Printer Status: Open Non Fiscal"},
  };
  for (const Meaning& m : kMeanings) {
    if ((state.link.status_bytes[m.bit / 8] & (1u << (m.bit % 8))) == 0) continue;
    SkipOnError([&] { state.printer_status = m.code; });
    SkipOnError([&] {
      if (state.log) state.log->Warning(kClassName, m.text, "SetStatus");
    });
  }
  if (state.printer_status == kUndecided) {
    SkipOnError([&] { state.printer_status = 0; });
    SkipOnError([&] {
      if (state.log) state.log->Information(kClassName, "Printer Status: OK", "SetStatus");
    });
  }
}

}  // namespace

std::string NEV::GetNumberofNotes() {
  return Query(*state_, "GetNumberofNotes", Command::kNumberOfNotes);
}

std::string NEV::NoteInfo() {
  return Query(*state_, "NoteInfo", Command::kNoteInfo);
}

std::string NEV::ECRInfo() {
  return Query(*state_, "ECRInfo", Command::kECRInfo);
}

std::string NEV::GetTaxRates() {
  return Query(*state_, "GetTaxRates", Command::kTaxRates);
}

int32_t NEV::GetStatus() {
  NEVState& state = *state_;
  return service::RunCommand(state, "GetStatus", int32_t{0}, [&] {
    state.printer_status = kUndecided;
    const service::Answer reply = service::Exchange(state, Command::kGetStatus, "", ETX);
    // Without a reply frame the stored bytes are an earlier answer's: the status stays undecided.
    if (!reply.framed()) return kUndecided;
    DecodeStatus(state);
    return state.printer_status;
  });
}

void NEV::SetStatus() {
  service::CallScope call(*state_, "SetStatus");
  DecodeStatus(*state_);
}

void NEV::SendSerNum(std::string& Num) {
  NEVState& state = *state_;
  service::RunProcedure(state, "SendSerNum", [&] {
    Num = operations::TrimSpaces(Num);
    service::Exchange(state, Command::kSendSerNum, operations::HexDigitsToNibbles(Num), ACK);
  });
}

}  // namespace nev
