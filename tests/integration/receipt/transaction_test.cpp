// Documents run as transactions against simulators over pseudo-terminals, with real journal
// files: results come from the device's replies, failures void, lost answers are settled by
// asking, and a document id is never sent twice. Journal rows name their device and are settled
// only against it, one device holds a journal at a time, a journal that lost its tail does not
// print again, an open receipt that no row owns names its remedy, a refusal that answered
// something else is checked, and a full disk after the close does not turn a printed receipt into
// a failure. The simulator itself survives power cuts through its state file.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "nev/message.h"
#include "nev/nev.h"
#include "nev/receipt.h"
#include "nevsim/simulator.h"
#include "platform/regional.h"
#include "receipt/device.h"
#include "receipt/journal_store.h"
#include "receipt/runner.h"
#include "support/commands.h"
#include "support/helpers.h"

namespace {

namespace fs = std::filesystem;
namespace rc = nev::receipt;
using nevtest::Code;
using nevtest::Command;
using nevtest::FramesOf;

// A four-item sale with a 10 % discount; extra_item goes after the article.
std::string Sale(const std::string& id, const std::string& extra_item = "") {
  return R"({"id": ")" + id + R"(", "operator": {"number": 1, "password": "0000"},
    "items": [{"text": "Хляб", "taxGroup": "B", "quantity": 1, "price": 1.89},
              {"article": 3, "quantity": 2, "price": 1.80},)" +
         extra_item + R"(
              {"department": 1, "quantity": 1, "price": 4.5}, {"comment": "Благодарим!"}],
    "adjustment": {"percent": -10}, "payments": [{"type": 1, "amount": 20}]})";
}

// A one-item sale whose item line names its document, paid exactly.
std::string Small(const std::string& id) {
  return R"({"id": ")" + id + R"(", "operator": {"number": 1, "password": "0000"},
    "items": [{"text": "Хляб )" +
         id + R"(", "taxGroup": "B", "quantity": 1, "price": 1.89}], "payments": [{"type": 1}]})";
}

// A simulated device, with the serial number given to it as the maker would (none when empty).
struct Device {
  explicit Device(std::string serial_number, const nevsim::Options& options = {})
      : serial(std::move(serial_number)), sim(options) {
    sim.Start();
    if (serial.empty()) return;
    nev::NEV setter;
    setter.SilentMode(true);
    EXPECT_TRUE(setter.InitConnection(sim.SlavePath(), 115200));
    std::string number = serial;
    setter.SendSerNum(number);
    sim.ClearRecord();
  }
  rc::Line line() const { return {sim.SlavePath(), 115200}; }
  std::size_t Closed() const { return FramesOf(sim, Command::kCloseFiscNote); }
  std::size_t Opened() const { return FramesOf(sim, Command::kOpenFiscNote); }
  std::string serial;
  nevsim::Simulator sim;
};

// The till's side: a folder for journals and logs, and one NEV object.
class Receipts : public ::testing::Test {
 protected:
  void SetUp() override { nev::platform::SetDecimalSymbolOverride("."); }
  void TearDown() override {
    printer_.StopConnection();
    nev::platform::SetDecimalSymbolOverride(std::nullopt);
  }

  std::string JournalPath(const std::string& name = "journal.db") const {
    return (dir_.path() / name).string();
  }
  // The till's object, its line closed so that the next call opens the device it is given.
  nev::NEV& Printer() {
    printer_.StopConnection();
    return printer_;
  }
  rc::Result Submit(Device& d, rc::Journal& j, const std::string& doc, rc::Policy policy = {}) {
    return rc::Submit(Printer(), d.line(), j, rc::ParseDocument(doc), policy);
  }
  // A device that survives power cuts: its state file is replayed by the next one.
  std::unique_ptr<nevsim::Simulator> Persistent(long paper_lines = -1) {
    nevsim::Options o;
    o.state_path = (dir_.path() / "state").string();
    o.paper_lines = paper_lines;
    auto sim = std::make_unique<nevsim::Simulator>(o);
    sim->Start();
    return sim;
  }

  nevtest::TempDir dir_;
  nevtest::MessageRecorder messages_;  // no message box is shown while the tests run
  nev::NEV printer_{dir_.str()};
};
using JournalDevice = Receipts;
using SimState = Receipts;

// One device with a quick Z report and one journal; the line stays open between documents.
class ReceiptTransaction : public Receipts {
 protected:
  rc::Result Submit(const std::string& json) {
    return rc::Submit(printer_, line_, journal_, rc::ParseDocument(json));
  }
  // The commands the simulator received since the last call.
  std::vector<Command> Sent() {
    std::vector<Command> codes;
    for (const auto& f : sim_.Frames()) codes.push_back(Command{f.cmd});
    sim_.ClearRecord();
    return codes;
  }

  Device device_{"", [] {
                   nevsim::Options o;
                   o.long_op_ms = 100;
                   o.syn_interval_ms = 40;
                   return o;
                 }()};
  nevsim::Simulator& sim_ = device_.sim;
  const rc::Line line_ = device_.line();
  rc::Journal journal_{JournalPath()};
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
  EXPECT_EQ(journal_.Find("t-1")->state, "printed");
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
  EXPECT_EQ(journal_.Find("t-3")->state, "refused");
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
  EXPECT_FALSE(journal_.Find("t-6")->state);  // unfinished
  // The NAK is explained by the status the device was asked for.
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->message, "the device is out of paper: load paper");
  // Nothing new runs while it is unsettled, and the refusal says what to do.
  const rc::Result blocked = Submit(Sale("t-7"));
  EXPECT_EQ(blocked.state, rc::State::kRefused);
  EXPECT_NE(blocked.error->message.find("load paper: it settles when the printer answers again"),
            std::string::npos)
      << blocked.error->message;
  EXPECT_FALSE(journal_.Find("t-7"));

  sim_.ClearFaults();  // new paper
  const std::vector<rc::Result> settled = rc::Settle(printer_, line_, journal_);
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].state, rc::State::kVoided) << rc::ResultJson(settled[0]);
  EXPECT_EQ(journal_.Find("t-6")->state, "voided");
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
  printer_.SetMessageSink(boxes);
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
  EXPECT_EQ(journal_.List().size(), 4u);

  // A Z report's lost answer on a day without receipts: the device's last Z number says it ran.
  sim_.LoseAnswer(Code(Command::kZDay), 1);
  const rc::Result lost = Submit(R"({"id": "z-2", "kind": "z"})");
  EXPECT_EQ(lost.state, rc::State::kPrinted) << rc::ResultJson(lost);
  EXPECT_EQ(lost.receipt_number, 5);
  // Killed after writing ahead, before the frame went out: the number says it did not run.
  rc::StoreOf(journal_).Begin(
      {"z-3", "z", "ZDay", R"({"id": "z-3", "kind": "z"})", "", rc::Counters{}, 6, {}, {}, "[]"});
  const std::vector<rc::Result> settled = rc::Settle(printer_, line_, journal_);
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].state, rc::State::kRefused) << rc::ResultJson(settled[0]);
  EXPECT_EQ(nevtest::FramesOf(sim_, Command::kZDay), 2u);  // z-1, z-2: nothing sent again
}

TEST_F(JournalDevice, RowsNameTheirDeviceAndAnotherDeviceNeitherSettlesNorSharesThem) {
  Device a("11111111"), b("22222222");
  rc::Journal journal(JournalPath());
  ASSERT_EQ(Submit(a, journal, Small("x-0")).state, rc::State::kPrinted);
  EXPECT_EQ(journal.Find("x-0")->device, a.serial);

  // x-1 began on A and is unfinished there (A lost power); B now answers on the path.
  rc::Progress row;
  row.id = "x-1";
  row.kind = "sale";
  row.step = "CloseFiscNote";
  row.document = rc::ParseDocument(Small("x-1")).source;
  row.device = a.serial;
  row.before = rc::Counters{1, 1, 0};
  rc::StoreOf(journal).Begin(row);
  const rc::Result again = Submit(b, journal, Small("x-1"));
  EXPECT_EQ(again.state, rc::State::kUnknown) << rc::ResultJson(again);
  EXPECT_NE(again.error->message.find("another device answers on this port: serial 22222222, "
                                      "expected 11111111"),
            std::string::npos);
  EXPECT_EQ(b.Opened() + FramesOf(b.sim, Command::kVoidAll), 0u);
  EXPECT_FALSE(journal.Find("x-1")->state);  // left for device A

  // A new document prints on B; A's row waits for A.
  EXPECT_EQ(Submit(b, journal, Small("y-1")).state, rc::State::kPrinted);
  EXPECT_FALSE(journal.Find("x-1")->state);

  // While a process holds the journal for A, B is refused at once and sends nothing; a process
  // on A itself waits for it, here no longer than allowed.
  rc::Journal other(JournalPath());
  std::string holder;
  const rc::JournalLock held = rc::StoreOf(other).Lock(a.serial, 0, holder);
  ASSERT_TRUE(held);
  b.sim.ClearRecord();
  const rc::Result busy = Submit(b, journal, Small("y-2"));
  EXPECT_EQ(busy.state, rc::State::kRefused);
  EXPECT_EQ(busy.error->outcome, "journal-busy");
  EXPECT_NE(busy.error->message.find("device 11111111"), std::string::npos);
  EXPECT_EQ(b.Opened(), 0u);
  rc::Policy brief;
  brief.lock_wait_ms = 200;
  EXPECT_EQ(Submit(a, journal, Small("x-2"), brief).error->outcome, "journal-busy");
}

TEST_F(JournalDevice, AJournalThatLostItsTailDoesNotPrintAgainUntilTheOperatorAccepts) {
  Device d("33333333");
  rc::Journal journal(JournalPath());
  ASSERT_EQ(Submit(d, journal, Small("t-0")).state, rc::State::kPrinted);
  // The main file without its write-ahead log: the journal as a lost log or an old backup
  // leaves it. It knows the device, but not t-1.
  fs::copy_file(JournalPath(), JournalPath("restored.db"));
  ASSERT_EQ(Submit(d, journal, Small("t-1")).state, rc::State::kPrinted);
  ASSERT_EQ(d.Closed(), 2u);

  rc::Journal restored(JournalPath("restored.db"));
  const rc::Result behind = Submit(d, restored, Small("t-1"));
  EXPECT_EQ(behind.state, rc::State::kUnknown) << rc::ResultJson(behind);
  EXPECT_EQ(behind.error->outcome, "journal-behind");
  ASSERT_EQ(behind.evidence.size(), 2u);
  EXPECT_NE(behind.evidence[1].find("last receipt is number 2"), std::string::npos);
  EXPECT_EQ(d.Closed(), 2u) << "printed again";
  EXPECT_FALSE(restored.Find("t-1"));

  // Shared: the same check only warns. Accepted: the journal accounts for the device again.
  rc::Policy shared;
  shared.shared = true;
  const rc::Result warned = Submit(d, restored, Small("t-2"), shared);
  EXPECT_EQ(warned.state, rc::State::kPrinted);
  ASSERT_FALSE(warned.warnings.empty());
  EXPECT_EQ(warned.warnings[0].rfind("shared device: the device has 2 fiscal", 0), 0u)
      << warned.warnings[0];
  Device other("44444444");
  rc::Journal fresh(JournalPath("fresh.db"));
  ASSERT_EQ(Submit(other, fresh, Small("u-0")).state, rc::State::kPrinted);
  ASSERT_EQ(Submit(other, journal, Small("u-1")).state, rc::State::kPrinted);  // new to journal
  ASSERT_EQ(Submit(other, fresh, Small("u-2")).error->outcome, "journal-behind");
  EXPECT_NE(rc::AcceptDevice(Printer(), other.line(), fresh).find("2 fiscal"), std::string::npos);
  EXPECT_EQ(Submit(other, fresh, Small("u-2")).state, rc::State::kPrinted);
}

TEST_F(JournalDevice, AnOpenReceiptNoRowOwnsIsNamedAndVoidedOnlyWhenAsked) {
  Device d("55555555");
  rc::Journal journal(JournalPath());
  ASSERT_EQ(Submit(d, journal, Small("o-0")).state, rc::State::kPrinted);
  nev::NEV& another_program = Printer();  // calls of its own, outside the journal
  ASSERT_TRUE(another_program.InitConnection(d.sim.SlavePath(), 115200));
  ASSERT_TRUE(another_program.OpenFiscNote("1", "0000"));
  d.sim.ClearRecord();
  const rc::Result blocked = Submit(d, journal, Small("o-1"));
  EXPECT_EQ(blocked.state, rc::State::kRefused);
  EXPECT_EQ(blocked.error->outcome, "receipt-open");
  EXPECT_NE(blocked.error->message.find("nevctl void-open"), std::string::npos);
  EXPECT_EQ(d.Opened() + FramesOf(d.sim, Command::kVoidAll), 0u);
  EXPECT_TRUE(d.sim.CurrentTotals().fiscal_open);

  const rc::Result voided = rc::VoidOpen(Printer(), d.line(), journal);
  EXPECT_EQ(voided.state, rc::State::kVoided) << rc::ResultJson(voided);
  EXPECT_EQ(voided.receipt_number, 2);
  EXPECT_EQ(rc::VoidOpen(Printer(), d.line(), journal).state, rc::State::kRefused);
  // The journal's own void is accounted for: the next document prints.
  EXPECT_EQ(Submit(d, journal, Small("o-1")).state, rc::State::kPrinted);
}

TEST_F(JournalDevice, ARefusalThatAnsweredSomethingElseIsCheckedAgainstTheDevice) {
  Device d("66666666");
  rc::Journal journal(JournalPath());
  // The open runs, but its answer carries a NAK: taken at its word, the receipt would be
  // reported refused and left open.
  d.sim.OverrideReply(nev::protocol::Code(Command::kOpenFiscNote), "\x15");
  const rc::Result r = Submit(d, journal, Small("n-1"));
  EXPECT_EQ(r.state, rc::State::kPrinted) << rc::ResultJson(r);
  EXPECT_EQ(d.Closed(), 1u);
  EXPECT_FALSE(d.sim.CurrentTotals().fiscal_open);
}

// The journal's file system fills the moment the device has closed the receipt.
class FullDisk : public Receipts {
 protected:
  void SetUp() override {
    Receipts::SetUp();
    mount_ = dir_.path() / "small";
    fs::create_directory(mount_);
    if (::mount("tmpfs", mount_.c_str(), "tmpfs", 0, "size=512k") != 0) {
      GTEST_SKIP() << "a tmpfs cannot be mounted here (" << std::strerror(errno)
                   << "): the full disk is not tested";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
    Receipts::TearDown();
  }
  void Fill() {
    std::ofstream filler(mount_ / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  fs::path mount_;
  bool mounted_ = false;
};

// The device as the runner sees it, with the disk filling right after the close.
class FillsAfterClose : public rc::Device {
 public:
  FillsAfterClose(std::unique_ptr<rc::Device> inner, std::function<void()> fill)
      : inner_(std::move(inner)), fill_(std::move(fill)) {}
  bool Reconnect() override { return inner_->Reconnect(); }
  rc::Answer OpenFiscal(const rc::Operator& op, const std::optional<std::string>& i) override {
    return inner_->OpenFiscal(op, i);
  }
  rc::Answer Sell(const rc::Item& item) override { return inner_->Sell(item); }
  rc::Answer Adjust(const rc::Adjustment& a) override { return inner_->Adjust(a); }
  rc::Answer SubTotal() override { return inner_->SubTotal(); }
  rc::Answer Pay(const rc::Payment& p) override { return inner_->Pay(p); }
  rc::Answer Close() override {
    rc::Answer a = inner_->Close();
    fill_();
    return a;
  }
  rc::Answer Void() override { return inner_->Void(); }
  rc::Answer AddSum(const rc::Operator& op, int type, double amount) override {
    return inner_->AddSum(op, type, amount);
  }
  rc::Answer ZDay() override { return inner_->ZDay(); }
  rc::Answer Counters() override { return inner_->Counters(); }
  rc::Answer ReceiptInfo() override { return inner_->ReceiptInfo(); }
  rc::Answer Status() override { return inner_->Status(); }
  rc::Answer Info() override { return inner_->Info(); }

 private:
  std::unique_ptr<rc::Device> inner_;
  std::function<void()> fill_;
};

TEST_F(FullDisk, APrintedReceiptIsReportedPrintedWithAWarningAndTheJournalCatchesUp) {
  Device d("77777777");
  const std::string path = (mount_ / "journal.db").string();
  {
    rc::Journal journal(path);
    ASSERT_EQ(Submit(d, journal, Small("f-0")).state, rc::State::kPrinted);
    FillsAfterClose dev(rc::MakeNevDevice(Printer(), d.line()), [&] { Fill(); });
    const rc::Document doc = rc::ParseDocument(Small("f-1"));
    rc::Result r;
    ASSERT_NO_THROW(r = rc::RunDocument(dev, &rc::StoreOf(journal), doc, rc::ReadDevice(dev)));
    EXPECT_EQ(r.state, rc::State::kPrinted) << rc::ResultJson(r);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("the journal could not record"), std::string::npos);
    // While the journal cannot record f-1, nothing new is sent.
    const rc::Result next = Submit(d, journal, Small("f-2"));
    EXPECT_EQ(next.state, rc::State::kRefused) << rc::ResultJson(next);
    EXPECT_EQ(d.Opened(), 2u);
  }
  fs::remove(mount_ / "filler");
  rc::Journal journal(path);
  const rc::Result caught_up = Submit(d, journal, Small("f-1"));
  EXPECT_EQ(caught_up.state, rc::State::kPrinted) << rc::ResultJson(caught_up);
  EXPECT_EQ(d.Closed(), 2u) << "printed twice";
}

TEST_F(SimState, ANewSimulatorOnTheSameStateIsTheSameDeviceWithItsReceiptStillOpen) {
  {
    auto sim = Persistent();
    ASSERT_TRUE(printer_.InitConnection(sim->SlavePath(), 115200));
    ASSERT_TRUE(printer_.OpenFiscNote("1", "0"));
    ASSERT_TRUE(printer_.SellArt(3, 2, 1.80));
    ASSERT_TRUE(printer_.Pay(1, 10));
    ASSERT_TRUE(printer_.CloseFiscNote());
    ASSERT_TRUE(printer_.OpenFiscNote("1", "0"));
    ASSERT_TRUE(printer_.SellArt(1, 1, 1.20));
    printer_.GetStatus();  // queries are not part of the device's memory
    printer_.StopConnection();
  }
  // A record torn by the power cut is not replayed.
  std::ofstream(dir_.path() / "state", std::ios::app) << "8C";
  auto sim = Persistent();
  const nevsim::Simulator::Totals t = sim->CurrentTotals();
  EXPECT_TRUE(t.fiscal_open);
  EXPECT_NEAR(t.total, 1.20, 1e-9);
  EXPECT_EQ(t.receipts, 1);
  EXPECT_NEAR(t.day_total, 3.60, 1e-9);
  EXPECT_NEAR(t.cash, 3.60, 1e-9);
}

TEST_F(SimState, ThePaperRunsOutAfterNLinesAndTheCommandThatNeedsMoreIsRefused) {
  auto sim = Persistent(7);
  printer_.SilentMode(true);
  ASSERT_TRUE(printer_.InitConnection(sim->SlavePath(), 115200));
  ASSERT_TRUE(printer_.OpenFiscNote("1", "0"));  // the header: 5 lines
  ASSERT_TRUE(printer_.SellTaxGroup("a", "A", 1, 1));
  ASSERT_TRUE(printer_.SellTaxGroup("b", "A", 1, 1));  // the seventh line: the roll ends
  EXPECT_FALSE(printer_.SellTaxGroup("c", "A", 1, 1));
  EXPECT_EQ(printer_.GetStatus(), -11);  // the open receipt's bit outranks the paper's
  EXPECT_TRUE(printer_.LastCall().flags.no_paper);
  EXPECT_FALSE(printer_.VoidAll());
  sim->ClearFaults();  // new paper
  EXPECT_TRUE(printer_.VoidAll());
  printer_.StopConnection();
}

}  // namespace
