// Articles and departments: read one article or department record, program one article.
#include "nev/nev.h"
#include "operations/number_format.h"
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
using protocol::TAB;

}  // namespace

std::string NEV::GetArticle(int32_t x) {
  NEVState& state = *state_;
  return service::RunCommand(state, "GetArticle", std::string(), [&] {
    operations::CheckFieldNumber(x, INT16_MIN, INT16_MAX, "x");
    const std::string data = "R" + operations::SignPositionText(x) + TAB;
    return operations::ReplyText(service::Exchange(state, Command::kGetArticle, data, ETX));
  });
}

// The department number as two digit-nibble characters (code 0x30 + value): quotient and
// remainder by 16, both truncated toward zero (so a negative number gives characters below "0").
// A number whose quotient's code falls outside a byte (below -783 or above 3327) is run-time
// error 5 that names x and that range.
std::string NEV::GetDepartment(int32_t x) {
  NEVState& state = *state_;
  return service::RunCommand(state, "GetDepartment", std::string(), [&] {
    operations::CheckFieldNumber(x, INT16_MIN, INT16_MAX, "x");
    operations::CheckFieldNumber(x, -(0x30 * 16 + 15), (0xFF - 0x30) * 16 + 15, "x");
    std::string data;
    data.push_back(operations::CodeChar(0x30 + int64_t{x / 16}));
    data.push_back(operations::CodeChar(0x30 + int64_t{x % 16}));
    return operations::ReplyText(service::Exchange(state, Command::kGetDepartment, data, ETX));
  });
}

void NEV::SetArticle(const std::string& n, const std::string& Name, const std::string& Price,
                     int32_t TaxG, int32_t Dep, int32_t Pay, int32_t F, const std::string& BC,
                     const std::string& Q) {
  NEVState& state = *state_;
  service::RunProcedure(state, "SetArticle", [&] {
    std::string data;
    const std::pair<const std::string*, const char*> texts[] = {
        {&n, "n"}, {&Name, "Name"}, {&Price, "Price"}};
    for (const auto& [text, param] : texts) {
      data += operations::WireText(*text, param, state.lossy_text);
      data.push_back(TAB);
    }
    const std::string bc = operations::WireText(BC, "BC", state.lossy_text);
    const std::string q = operations::WireText(Q, "Q", state.lossy_text);
    // Four byte arguments, one character each (code 0x30 + value, so at most 207 for the code to
    // stay a byte; run-time error 5 naming the argument beyond), straight into the bar code.
    const std::pair<int32_t, const char*> bytes[] = {
        {TaxG, "TaxG"}, {Dep, "Dep"}, {Pay, "Pay"}, {F, "F"}};
    for (const auto& [value, param] : bytes) {
      operations::CheckFieldNumber(value, 0, 255, param);
      operations::CheckFieldNumber(value, 0, 0xFF - 0x30, param);
      data.push_back(operations::CodeChar(0x30 + int64_t{value}));
    }
    data += bc.empty() ? std::string("000000000000") : bc;
    data.push_back(TAB);
    data += q;
    data.push_back(TAB);
    service::Exchange(state, Command::kSetArticle, data, ACK);
  });
}

}  // namespace nev
