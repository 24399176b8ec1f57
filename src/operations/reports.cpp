// Reports and journal: duplicate, journal, Z reports, the Z switch and the FM report pieces.
#include "nev/nev.h"
#include "operations/reply_text.h"
#include "operations/wire_text.h"
#include "platform/codepage.h"
#include "protocol/commands.h"
#include "protocol/exchange.h"
#include "protocol/frame.h"
#include "service/command.h"

namespace nev {

namespace {

using protocol::Command;

using protocol::ACK;
using protocol::ETX;

}  // namespace

bool NEV::Dublicate() {
  return service::SimpleCommand(*state_, "Dublicate", Command::kDuplicate, ACK);
}

bool NEV::EJournal() {
  return service::SimpleCommand(*state_, "EJournal", Command::kEJournal, ETX);
}

std::string NEV::ZDay() {
  NEVState& state = *state_;
  return service::RunCommand(state, "ZDay", std::string(), [&] {
    const bool answered = service::Exchange(state, Command::kZDay, "", ETX).ok();
    return std::string(answered ? "True" : "False");
  });
}

std::optional<bool> NEV::ZArticles() {
  NEVState& state = *state_;
  return service::RunCommand(state, "ZArticles", std::optional<bool>(), [&] {
    return std::optional<bool>(service::Exchange(state, Command::kZArticles, "", ACK).ok());
  });
}

bool NEV::ZDep() {
  return service::SimpleCommand(*state_, "ZDep", Command::kZDep, ACK);
}

bool NEV::ZCasher() {
  return service::SimpleCommand(*state_, "ZCasher", Command::kZCasher, ACK);
}

// ZDeny and ZAllow are one command, 41, switched by its one-character data.
void NEV::ZDeny() {
  NEVState& state = *state_;
  service::RunProcedure(state, "ZDeny",
                        [&] { service::Exchange(state, Command::kZSwitch, "1", ACK); });
}

void NEV::ZAllow() {
  NEVState& state = *state_;
  service::RunProcedure(state, "ZAllow",
                        [&] { service::Exchange(state, Command::kZSwitch, "0", ACK); });
}

std::string NEV::GetFirstFMReport(const std::string& s) {
  NEVState& state = *state_;
  return service::RunCommand(state, "GetFirstFMReport", std::string(), [&] {
    // What s holds is the caller's affair, as long as the device's code page can carry it.
    const std::string data =
        operations::WireText(s, "s", state.lossy_text, operations::TextRule::kFreeForm);
    return operations::ReplyText(service::Exchange(state, Command::kFirstFMReport, data, ETX));
  });
}

// The next piece is asked for with one bare "N": no frame, so no sequence value is spent.
std::string NEV::GetNextFMReport() {
  NEVState& state = *state_;
  return service::RunCommand(state, "GetNextFMReport", std::string(), [&] {
    return operations::ReplyText(service::Transmit(state, "N", ETX));
  });
}

}  // namespace nev
