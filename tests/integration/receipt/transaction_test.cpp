// Documents run as transactions on a NEV object against the simulator over a pseudo-terminal,
// with a real journal file: results come from the device's replies, failures void, lost answers
// are settled by asking, and a document id is never sent twice.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "nev/message.h"
#include "nev/nev.h"
#include "nev/receipt.h"
#include "nevsim/simulator.h"
#include "platform/regional.h"
#include "receipt/journal_store.h"
#include "support/commands.h"
#include "support/helpers.h"

namespace {

namespace rc = nev::receipt;
using nevtest::Code;
using nevtest::Command;

std::string Sale(const std::string& id, const std::string& extra_item = "") {
  return R"({"id": ")" + id + R"(", "operator": {"number": 1, "password": "0000"},
    "items": [{"text": "Хляб", "taxGroup": "B", "quantity": 1, "price": 1.89},
              {"article": 3, "quantity": 2, "price": 1.80},)" +
         extra_item + R"(
              {"department": 1, "quantity": 1, "price": 4.5}, {"comment": "Благодарим!"}],
    "adjustment": {"percent": -10}, "payments": [{"type": 1, "amount": 20}]})";
}

class ReceiptTransaction : public ::testing::Test {
 protected:
  void SetUp() override {
    nev::platform::SetDecimalSymbolOverride(".");
    sim_.Start();
    line_.device = sim_.SlavePath();
    line_.baud = 115200;
    journal_ = std::make_unique<rc::Journal>((dir_.path() / "journal.db").string());
  }
  void TearDown() override {
    printer_.reset();
    nev::platform::SetDecimalSymbolOverride(std::nullopt);
  }
  rc::Result Submit(const std::string& json) {
    return rc::Submit(*printer_, line_, *journal_, rc::ParseDocument(json));
  }
  // The commands the simulator received since the last call.
  std::vector<Command> Sent() {
    std::vector<Command> codes;
    for (const auto& f : sim_.Frames()) codes.push_back(Command{f.cmd});
    sim_.ClearRecord();
    return codes;
  }

  nevtest::TempDir dir_;
  nevtest::MessageRecorder messages_;  // no message box is shown while the tests run
  nevsim::Simulator sim_{[] {
    nevsim::Options o;
    o.long_op_ms = 100;  // a quick Z report
    o.syn_interval_ms = 40;
    return o;
  }()};
  rc::Line line_;
  std::unique_ptr<nev::NEV> printer_ = std::make_unique<nev::NEV>(dir_.str());
  std::unique_ptr<rc::Journal> journal_;
};

TEST_F(ReceiptTransaction, APrintedReceiptTakesItsFiguresFromTheDeviceAndIsNeverSentTwice) {
  const rc::Result r = Submit(Sale("t-1"));
  EXPECT_EQ(r.state, rc::State::kPrinted) << rc::ResultJson(r);
  EXPECT_EQ(r.receipt_number, 1);
  ASSERT_TRUE(r.total && r.change);
  EXPECT_NEAR(*r.total, 8.99, 1e-9);  // (1.89 + 3.60 + 4.50) less 10 %
  EXPECT_NEAR(*r.change, 11.01, 1e-9);
  EXPECT_FALSE(r.error);
  ASSERT_FALSE(r.steps.empty());
  EXPECT_EQ(r.steps.back().member, "CloseFiscNote");
  EXPECT_EQ(sim_.CurrentTotals().receipts, 1);
  EXPECT_EQ(journal_->Find("t-1")->state, "printed");
  Sent();

  const rc::Result again = Submit(Sale("t-1"));
  EXPECT_TRUE(again.from_journal);
  EXPECT_EQ(again.state, rc::State::kPrinted);
  EXPECT_EQ(again.receipt_number, 1);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(sim_.CurrentTotals().receipts, 1);
}

TEST_F(ReceiptTransaction, ARefusedStepVoidsTheReceiptAndARefusedOpenOpensNothing) {
  // Article 999 does not exist: the device refuses the sale.
  const rc::Result r = Submit(Sale("t-2", R"({"article": 999, "quantity": 1, "price": 1},)"));
  EXPECT_EQ(r.state, rc::State::kVoided) << rc::ResultJson(r);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->step, "SellArt");
  EXPECT_EQ(r.error->outcome, "nak");
  EXPECT_EQ(r.steps.back().member, "VoidAll");
  EXPECT_FALSE(sim_.CurrentTotals().fiscal_open);
  EXPECT_EQ(sim_.CurrentTotals().receipts, 0);

  // The operator's password is wrong: nothing is opened, and once the status says so (a refusal
  // may be a late answer to something else) nothing else is sent.
  sim_.SetOperatorPassword(1, "4321");
  Sent();
  const rc::Result refused = Submit(Sale("t-3"));
  EXPECT_EQ(refused.state, rc::State::kRefused) << rc::ResultJson(refused);
  EXPECT_EQ(refused.error->step, "OpenFiscNote");
  EXPECT_EQ(Sent(), (std::vector<Command>{Command::kECRInfo, Command::kNumberOfNotes,
                                          Command::kOpenFiscNote, Command::kGetStatus}));
  EXPECT_EQ(journal_->Find("t-3")->state, "refused");
}

TEST_F(ReceiptTransaction, ALostCloseAnswerIsSettledByAskingNotByClosingAgain) {
  sim_.LoseAnswer(Code(Command::kCloseFiscNote), 1);
  const rc::Result r = Submit(Sale("t-4"));
  EXPECT_EQ(r.state, rc::State::kPrinted) << rc::ResultJson(r);
  EXPECT_EQ(r.receipt_number, 1);
  EXPECT_NEAR(r.total.value_or(0), 8.99, 1e-9);
  int closes = 0;
  for (const rc::Step& s : r.steps) closes += s.member == "CloseFiscNote";
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(sim_.CurrentTotals().receipts, 1);

  // A lost payment answer: the receipt is still open, so it is voided.
  sim_.LoseAnswer(Code(Command::kPay), 1);
  const rc::Result paid = Submit(Sale("t-5"));
  EXPECT_EQ(paid.state, rc::State::kVoided) << rc::ResultJson(paid);
  EXPECT_EQ(sim_.CurrentTotals().receipts, 1);
  EXPECT_FALSE(sim_.CurrentTotals().fiscal_open);
}

TEST_F(ReceiptTransaction, PaperOutLeavesTheReceiptUnsettledUntilTheNextStartVoidsIt) {
  sim_.PaperRunsOutAfter(8);  // runs out among the items
  const rc::Result r = Submit(Sale("t-6"));
  EXPECT_EQ(r.state, rc::State::kUnknown) << rc::ResultJson(r);
  EXPECT_TRUE(sim_.CurrentTotals().fiscal_open);
  EXPECT_FALSE(journal_->Find("t-6")->state);  // unfinished
  // The NAK is explained by the status the device was asked for.
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->message, "the device is out of paper: load paper");
  // Nothing new runs while it is unsettled, and the refusal says what to do.
  const rc::Result blocked = Submit(Sale("t-7"));
  EXPECT_EQ(blocked.state, rc::State::kRefused);
  EXPECT_NE(blocked.error->message.find("load paper: it settles when the printer answers again"),
            std::string::npos)
      << blocked.error->message;
  EXPECT_FALSE(journal_->Find("t-7"));

  sim_.ClearFaults();  // new paper
  const std::vector<rc::Result> settled = rc::Settle(*printer_, line_, *journal_);
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].state, rc::State::kVoided) << rc::ResultJson(settled[0]);
  EXPECT_EQ(journal_->Find("t-6")->state, "voided");
  EXPECT_FALSE(sim_.CurrentTotals().fiscal_open);
  EXPECT_EQ(Submit(Sale("t-7")).state, rc::State::kPrinted);
  EXPECT_EQ(sim_.CurrentTotals().receipts, 1);
}

// A refusal whose cause the figures tell names it, not just "the device refused the command".
TEST_F(ReceiptTransaction, ARefusedPaymentOrCloseSaysWhatIsDue) {
  const struct {
    const char* payment;
    const char* step;
    const char* message;
  } cases[] = {
      {R"({"type": 1, "amount": 5})", "CloseFiscNote",
       "the payments do not cover the total: 3.99 still due (pay it, then close)"},
      {R"({"type": 2, "amount": 20})", "Pay",
       "the payment of 20.00 by type 2 is above the 8.99 still due: only cash gives change"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payment);
    std::string doc = Sale("due-" + std::to_string(++n));
    doc.replace(doc.find(R"({"type": 1, "amount": 20})"), 25, c.payment);
    const rc::Result r = Submit(doc);
    EXPECT_EQ(r.state, rc::State::kVoided) << rc::ResultJson(r);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->step, c.step);
    EXPECT_EQ(r.error->message, c.message);
  }
}

// A line that does not open: the driver's record (number, description, port, speed) reaches the
// result whole, in its JSON too.
TEST_F(ReceiptTransaction, APortHeldElsewhereIsReportedWithTheDriversRecord) {
  nev::NEV holder(dir_.str());
  ASSERT_TRUE(holder.InitConnection(line_.device, 9600));
  const auto boxes = std::make_shared<nev::RecordingSink>();  // the in-use box and a port error
  printer_->SetMessageSink(boxes);
  const rc::Result r = Submit(Sale("held-1"));
  EXPECT_EQ(r.state, rc::State::kRefused);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->number, nev::kErrPortAlreadyOpen);
  EXPECT_EQ(r.error->port, line_.device);
  EXPECT_EQ(r.error->speed, 115200);
  EXPECT_NE(r.error->description.find("Port already open: " + line_.device + " is held by "),
            std::string::npos)
      << r.error->description;
  EXPECT_FALSE(r.error->remedy.empty());
  const rc::Result back = rc::ResultFromJson(rc::ResultJson(r));
  EXPECT_EQ(back.error->number, nev::kErrPortAlreadyOpen);
  EXPECT_EQ(back.error->port, line_.device);
  EXPECT_EQ(back.error->remedy, r.error->remedy);
  ASSERT_FALSE(boxes->messages.empty());
  EXPECT_EQ(boxes->messages[0].text,
            "COM портът е отворен! Опитайте операцията след няколко секунди!");
}

TEST_F(ReceiptTransaction, CashAndZReportDocumentsRunAndAreJournaled) {
  const rc::Result in = Submit(
      R"({"id": "c-1", "kind": "cash", "operator": {"number": 1, "password": "0"}, "amount": 50})");
  EXPECT_EQ(in.state, rc::State::kPrinted) << rc::ResultJson(in);
  EXPECT_EQ(in.receipt_number, 1);
  EXPECT_NEAR(sim_.CurrentTotals().cash, 50, 1e-9);
  // More out than the drawer holds: refused, nothing changes.
  const rc::Result out = Submit(
      R"({"id": "c-2", "kind": "cash", "operator": {"number": 1, "password": "0"}, "amount": -80})");
  EXPECT_EQ(out.state, rc::State::kRefused) << rc::ResultJson(out);
  EXPECT_NEAR(sim_.CurrentTotals().cash, 50, 1e-9);
  ASSERT_EQ(Submit(Sale("t-8")).state, rc::State::kPrinted);
  const rc::Result z = Submit(R"({"id": "z-1", "kind": "z"})");
  EXPECT_EQ(z.state, rc::State::kPrinted) << rc::ResultJson(z);
  EXPECT_EQ(z.receipt_number, 4);  // the seeded fiscal memory holds Z reports 1 to 3
  EXPECT_NEAR(z.total.value_or(0), 8.99, 1e-9);
  EXPECT_EQ(journal_->List().size(), 4u);

  // A Z report's lost answer on a day without receipts: the device's last Z number says it ran.
  sim_.LoseAnswer(Code(Command::kZDay), 1);
  const rc::Result lost = Submit(R"({"id": "z-2", "kind": "z"})");
  EXPECT_EQ(lost.state, rc::State::kPrinted) << rc::ResultJson(lost);
  EXPECT_EQ(lost.receipt_number, 5);
  // Killed after writing ahead, before the frame went out: the number says it did not run.
  rc::Progress p;
  p.id = "z-3";
  p.kind = "z";
  p.step = "ZDay";
  p.document = R"({"id": "z-3", "kind": "z"})";
  p.before = rc::Counters{};
  p.receipt_number = 6;
  rc::StoreOf(*journal_).Begin(p);
  const std::vector<rc::Result> settled = rc::Settle(*printer_, line_, *journal_);
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].state, rc::State::kRefused) << rc::ResultJson(settled[0]);
  EXPECT_EQ(nevtest::FramesOf(sim_, Command::kZDay), 2u);  // z-1, z-2: nothing sent again
}

}  // namespace
