// The journal and the device it belongs to, on simulators with real journal files: rows name
// their device and are settled only against it, one device holds a journal at a time, a journal
// that lost its tail does not print again, an open receipt that no row owns names its remedy, a
// refusal that answered something else is checked, and a full disk after the close does not turn
// a printed receipt into a failure.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

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
using nevtest::Command;
using nevtest::FramesOf;

std::string Sale(const std::string& id, double price = 1.89) {
  return R"({"id": ")" + id + R"(", "operator": {"number": 1, "password": "0000"},
    "items": [{"text": "Хляб )" +
         id + R"(", "taxGroup": "B", "quantity": 1, "price": )" + std::to_string(price) +
         R"(}], "payments": [{"type": 1}]})";
}

// A simulated device with its own serial number.
struct Device {
  explicit Device(std::string serial_number) : serial(std::move(serial_number)) {
    sim.Start();
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

class JournalDevice : public ::testing::Test {
 protected:
  void SetUp() override { nev::platform::SetDecimalSymbolOverride("."); }
  void TearDown() override { nev::platform::SetDecimalSymbolOverride(std::nullopt); }

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

  nevtest::TempDir dir_;
  nevtest::MessageRecorder messages_;
  nev::NEV printer_{dir_.str()};
};

TEST_F(JournalDevice, RowsNameTheirDeviceAndAnotherDeviceNeitherSettlesNorSharesThem) {
  Device a("11111111"), b("22222222");
  rc::Journal journal(JournalPath());
  ASSERT_EQ(Submit(a, journal, Sale("x-0")).state, rc::State::kPrinted);
  EXPECT_EQ(journal.Find("x-0")->device, a.serial);

  // x-1 began on A and is unfinished there (A lost power); B now answers on the path.
  rc::Progress row;
  row.id = "x-1";
  row.kind = "sale";
  row.step = "CloseFiscNote";
  row.document = rc::ParseDocument(Sale("x-1")).source;
  row.device = a.serial;
  row.before = rc::Counters{1, 1, 0};
  rc::StoreOf(journal).Begin(row);
  const rc::Result again = Submit(b, journal, Sale("x-1"));
  EXPECT_EQ(again.state, rc::State::kUnknown) << rc::ResultJson(again);
  EXPECT_NE(again.error->message.find("another device answers on this port: serial 22222222, "
                                      "expected 11111111"),
            std::string::npos);
  EXPECT_EQ(b.Opened() + FramesOf(b.sim, Command::kVoidAll), 0u);
  EXPECT_FALSE(journal.Find("x-1")->state);  // left for device A

  // A new document prints on B; A's row waits for A.
  EXPECT_EQ(Submit(b, journal, Sale("y-1")).state, rc::State::kPrinted);
  EXPECT_FALSE(journal.Find("x-1")->state);

  // While a process holds the journal for A, B is refused at once and sends nothing; a process
  // on A itself waits for it, here no longer than allowed.
  rc::Journal other(JournalPath());
  std::string holder;
  const rc::JournalLock held = rc::StoreOf(other).Lock(a.serial, 0, holder);
  ASSERT_TRUE(held);
  b.sim.ClearRecord();
  const rc::Result busy = Submit(b, journal, Sale("y-2"));
  EXPECT_EQ(busy.state, rc::State::kRefused);
  EXPECT_EQ(busy.error->outcome, "journal-busy");
  EXPECT_NE(busy.error->message.find("device 11111111"), std::string::npos);
  EXPECT_EQ(b.Opened(), 0u);
  rc::Policy brief;
  brief.lock_wait_ms = 200;
  EXPECT_EQ(Submit(a, journal, Sale("x-2"), brief).error->outcome, "journal-busy");
}

TEST_F(JournalDevice, AJournalThatLostItsTailDoesNotPrintAgainUntilTheOperatorAccepts) {
  Device d("33333333");
  rc::Journal journal(JournalPath());
  ASSERT_EQ(Submit(d, journal, Sale("t-0")).state, rc::State::kPrinted);
  // The main file without its write-ahead log: the journal as a lost log or an old backup
  // leaves it. It knows the device, but not t-1.
  fs::copy_file(JournalPath(), JournalPath("restored.db"));
  ASSERT_EQ(Submit(d, journal, Sale("t-1")).state, rc::State::kPrinted);
  ASSERT_EQ(d.Closed(), 2u);

  rc::Journal restored(JournalPath("restored.db"));
  const rc::Result behind = Submit(d, restored, Sale("t-1"));
  EXPECT_EQ(behind.state, rc::State::kUnknown) << rc::ResultJson(behind);
  EXPECT_EQ(behind.error->outcome, "journal-behind");
  ASSERT_EQ(behind.evidence.size(), 2u);
  EXPECT_NE(behind.evidence[1].find("last receipt is number 2"), std::string::npos);
  EXPECT_EQ(d.Closed(), 2u) << "printed again";
  EXPECT_FALSE(restored.Find("t-1"));

  // Shared: the same check only warns. Accepted: the journal accounts for the device again.
  rc::Policy shared;
  shared.shared = true;
  const rc::Result warned = Submit(d, restored, Sale("t-2"), shared);
  EXPECT_EQ(warned.state, rc::State::kPrinted);
  ASSERT_FALSE(warned.warnings.empty());
  EXPECT_EQ(warned.warnings[0].rfind("shared device: the device has 2 fiscal", 0), 0u)
      << warned.warnings[0];
  Device other("44444444");
  rc::Journal fresh(JournalPath("fresh.db"));
  ASSERT_EQ(Submit(other, fresh, Sale("u-0")).state, rc::State::kPrinted);
  ASSERT_EQ(Submit(other, journal, Sale("u-1")).state, rc::State::kPrinted);  // new to journal
  ASSERT_EQ(Submit(other, fresh, Sale("u-2")).error->outcome, "journal-behind");
  EXPECT_NE(rc::AcceptDevice(Printer(), other.line(), fresh).find("2 fiscal"), std::string::npos);
  EXPECT_EQ(Submit(other, fresh, Sale("u-2")).state, rc::State::kPrinted);
}

TEST_F(JournalDevice, AnOpenReceiptNoRowOwnsIsNamedAndVoidedOnlyWhenAsked) {
  Device d("55555555");
  rc::Journal journal(JournalPath());
  ASSERT_EQ(Submit(d, journal, Sale("o-0")).state, rc::State::kPrinted);
  nev::NEV& another_program = Printer();  // calls of its own, outside the journal
  ASSERT_TRUE(another_program.InitConnection(d.sim.SlavePath(), 115200));
  ASSERT_TRUE(another_program.OpenFiscNote("1", "0000"));
  d.sim.ClearRecord();
  const rc::Result blocked = Submit(d, journal, Sale("o-1"));
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
  EXPECT_EQ(Submit(d, journal, Sale("o-1")).state, rc::State::kPrinted);
}

TEST_F(JournalDevice, ARefusalThatAnsweredSomethingElseIsCheckedAgainstTheDevice) {
  Device d("66666666");
  rc::Journal journal(JournalPath());
  // The open runs, but its answer carries a NAK: taken at its word, the receipt would be
  // reported refused and left open.
  d.sim.OverrideReply(nev::protocol::Code(Command::kOpenFiscNote), "\x15");
  const rc::Result r = Submit(d, journal, Sale("n-1"));
  EXPECT_EQ(r.state, rc::State::kPrinted) << rc::ResultJson(r);
  EXPECT_EQ(d.Closed(), 1u);
  EXPECT_FALSE(d.sim.CurrentTotals().fiscal_open);
}

// The journal's file system fills the moment the device has closed the receipt.
class FullDisk : public JournalDevice {
 protected:
  void SetUp() override {
    JournalDevice::SetUp();
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
    JournalDevice::TearDown();
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
    ASSERT_EQ(Submit(d, journal, Sale("f-0")).state, rc::State::kPrinted);
    FillsAfterClose dev(rc::MakeNevDevice(Printer(), d.line()), [&] { Fill(); });
    const rc::Document doc = rc::ParseDocument(Sale("f-1"));
    rc::Result r;
    ASSERT_NO_THROW(r = rc::RunDocument(dev, &rc::StoreOf(journal), doc, rc::ReadDevice(dev)));
    EXPECT_EQ(r.state, rc::State::kPrinted) << rc::ResultJson(r);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("the journal could not record"), std::string::npos);
    // While the journal cannot record f-1, nothing new is sent.
    const rc::Result next = Submit(d, journal, Sale("f-2"));
    EXPECT_EQ(next.state, rc::State::kRefused) << rc::ResultJson(next);
    EXPECT_EQ(d.Opened(), 2u);
  }
  fs::remove(mount_ / "filler");
  rc::Journal journal(path);
  const rc::Result caught_up = Submit(d, journal, Sale("f-1"));
  EXPECT_EQ(caught_up.state, rc::State::kPrinted) << rc::ResultJson(caught_up);
  EXPECT_EQ(d.Closed(), 2u) << "printed twice";
}

}  // namespace
