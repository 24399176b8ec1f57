// The device as the NEV object reaches it: each step is one member call, and its outcome and
// reply come from NEV::LastCall(). Nothing else in the receipt layer talks to the NEV object.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "nev/nev.h"
#include "receipt/device.h"

namespace nev::receipt {

namespace {

// Text of an amount for Addition: up to two decimals, "." as the point.
std::string AdjustmentText(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  std::string text = buf;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

class NevDevice : public Device {
 public:
  NevDevice(NEV& printer, Line line) : nev_(printer), line_(std::move(line)) {
    nev_.SilentMode(true);
    if (!nev_.Connected()) Open();
  }

  bool Reconnect() override {
    nev_.StopConnection();
    // The device may be restarting: try again for a while, sleeping between attempts.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto pause = std::chrono::milliseconds(100);
    while (true) {
      if (Open()) return true;
      nev_.StopConnection();
      if (std::chrono::steady_clock::now() + pause > deadline) return false;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(1000));
    }
  }

  Answer OpenFiscal(const Operator& op, const std::optional<std::string>& invoice) override {
    nev_.OpenFiscNote(std::to_string(op.number), op.password, invoice.value_or(""));
    return Take();
  }
  Answer Sell(const Item& item) override {
    switch (item.type) {
      case Item::kTaxGroup:
        nev_.SellTaxGroup(item.text, item.tax_group, item.quantity, item.price);
        break;
      case Item::kArticle:
        nev_.SellArt(item.number, item.quantity, item.price);
        break;
      case Item::kDepartment:
        nev_.SellDep(item.number, item.quantity, item.price);
        break;
      case Item::kComment:
        nev_.FiscText(item.text);
        break;
    }
    return Take();
  }
  Answer Adjust(const Adjustment& a) override {
    nev_.Addition(a.percent, AdjustmentText(a.value));
    return Take();
  }
  Answer SubTotal() override {
    double t = 0, a = 0, b = 0, c = 0;
    nev_.SubTotal(t, a, b, c);
    return Take();
  }
  Answer Pay(const Payment& p) override {
    nev_.Pay(p.type, p.amount.value_or(0));
    return Take();
  }
  Answer Close() override {
    nev_.CloseFiscNote();
    return Take();
  }
  Answer Void() override {
    nev_.VoidAll();
    return Take();
  }
  Answer AddSum(const Operator& op, int type, double amount) override {
    nev_.AddSum(std::to_string(op.number), op.password, amount, type);
    return Take();
  }
  Answer ZDay() override {
    nev_.ZDay();
    return Take();
  }
  Answer Counters() override {
    nev_.GetNumberofNotes();
    return Take();
  }
  Answer ReceiptInfo() override {
    nev_.NoteInfo();
    return Take();
  }
  Answer Status() override {
    nev_.GetStatus();
    return Take();
  }
  Answer Info() override {
    nev_.ECRInfo();
    return Take();
  }

 private:
  bool Open() {
    // The port text is read as InitConnection reads every port text (nev/port_spec.h).
    const bool opened = nev_.InitConnection(line_.device, line_.baud);
    // Why the line did not open, for the answers of the calls that then find no connection.
    const CallRecord& call = nev_.LastCall();
    open_error_.reset();
    if (!opened && call.error) open_error_ = call.error;
    return opened;
  }

  Answer Take() const {
    const CallRecord& call = nev_.LastCall();
    Answer a;
    a.member = call.member;
    a.outcome = call.outcome;
    a.reply = call.reply;
    a.flags = call.flags;
    if (call.error) a.error = call.error->description;
    a.record = call.error;
    if (a.outcome == Outcome::kNoConnection && a.error.empty() && open_error_) {
      a.error = "the line did not open: " + open_error_->description;
      a.record = open_error_;
    }
    return a;
  }

  NEV& nev_;
  Line line_;
  std::optional<ErrorRecord> open_error_;  // why the line did not open
};

}  // namespace

std::unique_ptr<Device> MakeNevDevice(NEV& printer, const Line& line) {
  return std::make_unique<NevDevice>(printer, line);
}

}  // namespace nev::receipt
