// Sales, adjustments and payment.
#include <cmath>

#include "nev/nev.h"
#include "operations/number_format.h"
#include "operations/number_scan.h"
#include "operations/operator_field.h"
#include "operations/reply_text.h"
#include "operations/wire_text.h"
#include "platform/codepage.h"
#include "platform/regional.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "service/command.h"

namespace nev {

namespace {

using protocol::Command;

using protocol::ACK;
using protocol::ETX;
using protocol::TAB;

// One field of a data text: the text, then TAB.
std::string Field(std::string text) {
  text.push_back(TAB);
  return text;
}

}  // namespace

bool NEV::SellTaxGroup(const std::string& Name, const std::string& TaxGroup, double Q, double P) {
  NEVState& state = *state_;
  return service::RunCommand(state, "SellTaxGroup", false, [&] {
    const std::string name = operations::TrimSpaces(Name);
    const std::string group = operations::TrimSpaces(TaxGroup);
    operations::WireText(name, "Name", state.lossy_text);
    operations::WireText(group, "TaxGroup", state.lossy_text);
    operations::CheckAmount(Q, "Q");
    operations::CheckAmount(P, "P");
    const std::string data = Field(name) + Field(group) + Field(operations::AmountText(Q)) +
                             Field(operations::AmountText(P));
    return service::Exchange(state, Command::kSellTaxGroup, platform::ToWire(data), ACK).ok();
  });
}

bool NEV::SellArt(int32_t n, double Q, double P) {
  NEVState& state = *state_;
  return service::RunCommand(state, "SellArt", false, [&] {
    operations::CheckAmount(Q, "Q");
    operations::CheckAmount(P, "P");
    const std::string data = Field(operations::WholeNumberText(n)) +
                             Field(operations::AmountText(Q)) + Field(operations::AmountText(P));
    return service::Exchange(state, Command::kSellArt, platform::ToWire(data), ACK).ok();
  });
}

bool NEV::SellDep(int32_t n, double Q, double P) {
  NEVState& state = *state_;
  return service::RunCommand(state, "SellDep", false, [&] {
    operations::CheckAmount(Q, "Q");
    operations::CheckAmount(P, "P");
    const std::string data = Field(operations::GeneralText(n)) + Field(operations::GeneralText(Q)) +
                             Field(operations::GeneralText(P));
    return service::Exchange(state, Command::kSellDep, platform::ToWire(data), ACK).ok();
  });
}

void NEV::Addition(bool Proportional, const std::string& V) {
  NEVState& state = *state_;
  service::RunProcedure(state, "Addition", [&] {
    const std::string value = operations::TrimSpaces(V);
    operations::WireText(value, "V", state.lossy_text);
    const std::string data = (Proportional ? "P" : "S") + Field(value);
    service::Exchange(state, Command::kAddition, platform::ToWire(data), ACK);
  });
}

bool NEV::SubTotal(double& Total, double& TotalA, double& TotalB, double& TotalC) {
  NEVState& state = *state_;
  return service::RunCommand(state, "SubTotal", false, [&] {
    Total = TotalA = TotalB = TotalC = 0;
    const service::Answer reply = service::Exchange(state, Command::kSubTotal, "", ETX);
    const std::string symbol = platform::DecimalSymbol();
    if (state.log) state.log->Information(kClassName, "Decimal Symbol Is: " + symbol, "SubTotal");
    // Without a reply frame, or with a refusal, there are no totals to read.
    if (!reply.ok()) return false;
    const std::string text = platform::FromWire(reply.reply.data);
    if (text.empty()) return true;
    double* const totals[] = {&Total, &TotalA, &TotalB, &TotalC};
    for (int16_t k = 1; k <= 4; ++k) {
      std::string field = protocol::GetField(text, k);
      std::string local;
      for (char c : field) {
        if (c == '.') {
          local += symbol;
        } else {
          local.push_back(c);
        }
      }
      *totals[k - 1] = operations::ParseLocaleNumber(local, symbol);
    }
    return true;
  });
}

bool NEV::Pay(int32_t PayType, double Sum) {
  NEVState& state = *state_;
  return service::RunCommand(state, "Pay", false, [&] {
    // A sum that is not a number pays the type alone; an infinite one is refused.
    if (std::isinf(Sum) || Sum > 0) operations::CheckAmount(Sum, "Sum");
    // The payment type's two digits run straight into the amount.
    operations::CheckFieldNumber(PayType, 0, 99, "PayType");
    std::string data = operations::TwoDigitText(int64_t{PayType});
    if (Sum > 0) data += Field(operations::AmountText(Sum));
    if (state.log) state.log->Information(kClassName, "Payment is " + data, "Pay");
    return service::Exchange(state, Command::kPay, platform::ToWire(data), ETX).ok();
  });
}

bool NEV::AddSum(const std::string& casher, const std::string& Pass, double Sum, int32_t Pay) {
  NEVState& state = *state_;
  return service::RunCommand(state, "AddSum", false, [&] {
    operations::CheckFieldNumber(Pay, 0, 99, "Pay");
    operations::WireText(Pass, "Pass", state.lossy_text);
    operations::CheckAmount(Sum, "Sum");
    const std::string data = operations::OperatorField(casher, Pass) +
                             operations::TwoDigitText(int64_t{Pay}) +
                             Field(operations::AmountText(Sum));
    return service::Exchange(state, Command::kAddSum, platform::ToWire(data), ETX).ok();
  });
}

}  // namespace nev
