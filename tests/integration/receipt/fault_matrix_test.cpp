// The fault matrix over real processes: nev-sim with its state file as the device, nevctl with
// its journal as the till. For every step of a four-item receipt with payment: the answer lost,
// the device's power cut (and back), the driver killed with SIGKILL and started again on the same
// journal, the paper running out. In every case the device holds the receipt at most once, the
// journal agrees with it, and a second submission sends nothing. And an answer the device owes a
// killed till is never taken by the next one.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "nev/message.h"
#include "nev/nev.h"
#include "nev/receipt.h"
#include "support/commands.h"
#include "support/helpers.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using nevtest::Command;
using nevtest::Count;
using nevtest::HexCode;
using nevtest::ReadFile;
using nevtest::WaitExit;
using nevtest::WaitForText;

// Each driver run must end within this bound (a lost answer, reopening the line and asking the
// device take a few seconds; waiting for a device that restarts, at most twenty).
constexpr int kDriverBoundMs = 40000;

const char* kDocument = R"({"id": "till7-000123", "operator": {"number": 1, "password": "0000"},
  "items": [{"text": "Хляб", "taxGroup": "B", "quantity": 1, "price": 1.89},
            {"article": 3, "quantity": 2, "price": 1.80},
            {"department": 1, "quantity": 1, "price": 4.5},
            {"comment": "Благодарим!"}],
  "payments": [{"type": 1, "amount": 20}]})";

// Every step of the receipt, in order, by the command it sends.
const struct {
  const char* member;
  Command code;
} kSteps[] = {{"OpenFiscNote", Command::kOpenFiscNote},
              {"SellTaxGroup", Command::kSellTaxGroup},
              {"SellArt", Command::kSellArt},
              {"SellDep", Command::kSellDep},
              {"FiscText", Command::kFiscText},
              {"SubTotal", Command::kSubTotal},
              {"Pay", Command::kPay},
              {"CloseFiscNote", Command::kCloseFiscNote}};

class FaultMatrix : public ::testing::Test {
 protected:
  void TearDown() override { StopSim(); }

  // One case: a fresh device, journal and document.
  void Fresh(const std::string& document = kDocument) {
    StopSim();
    dir_ = std::make_unique<nevtest::TempDir>();
    nevtest::WriteFile(Path("receipt.json"), document);
  }
  fs::path Path(const std::string& name) const { return dir_->path() / name; }
  std::string Link() const { return Path("fiscal").string(); }

  // nev-sim on the case's state file, its trace in a file of its own.
  void StartSim(std::vector<std::string> args) {
    const std::string n = std::to_string(++sim_runs_);
    trace_ = Path("trace" + n + ".txt");
    args.insert(args.begin(),
                {NEV_SIM_EXE, "--state", Path("state").string(), "--link", Link(), "--trace"});
    sim_ = nevtest::Spawn(args, Path("sim" + n + ".out"), trace_);
    ASSERT_GT(sim_, 0);
    ASSERT_TRUE(WaitForText(Path("sim" + n + ".out"), "\n", 5000)) << "nev-sim did not start";
  }
  void StopSim() {
    if (sim_ <= 0) return;
    ::kill(sim_, SIGTERM);
    if (!WaitExit(sim_, 5000)) ADD_FAILURE() << "nev-sim did not stop";
    sim_ = -1;
  }

  // nevctl receipt for doc.json, journaled in journal.db.
  pid_t StartDriver(const std::string& doc = "receipt", const std::string& journal = "journal") {
    const std::string n = doc + std::to_string(++driver_runs_);
    driver_out_ = Path(n + ".out");
    return nevtest::Spawn(
        {NEVCTL_EXE, "--port", Link(), "--baud", "115200", "--json", "--log-dir", dir_->str(),
         "receipt", Path(doc + ".json").string(), "--journal", Path(journal + ".db").string()},
        driver_out_, Path(n + ".err"));
  }
  // The driver's exit code, once it ended within its bound.
  int Finish(pid_t driver) {
    const auto code = WaitExit(driver, kDriverBoundMs);
    EXPECT_TRUE(code) << "nevctl ran longer than its bound";
    return code.value_or(-1);
  }
  int RunDriver(const std::string& doc = "receipt", const std::string& journal = "journal") {
    return Finish(StartDriver(doc, journal));
  }
  std::size_t FramesSeen() const { return Count(ReadFile(trace_), "\n<- "); }

  // Fiscal receipts in the device since its start, asked through the driver's library.
  int FiscalReceipts() {
    nev::NEV printer(dir_->str());
    printer.SilentMode(true);
    if (!printer.InitConnection(Link(), 115200)) return -1;
    const std::string notes = printer.GetNumberofNotes();
    printer.StopConnection();
    const auto tab = notes.find('\t');
    return tab == std::string::npos ? -1 : std::stoi(notes.substr(tab + 1));
  }

  // The checks every case ends with: the journal has the last word, a second submission is
  // answered from it without a frame reaching the device, and the device agrees with it.
  void Check(const std::string& label, int exit_code) {
    SCOPED_TRACE(label);
    EXPECT_TRUE(exit_code == 0 || exit_code == 3) << "exit " << exit_code;
    std::optional<std::string> state;
    {
      nev::receipt::Journal journal(Path("journal.db").string());
      if (auto e = journal.Find("till7-000123")) state = e->state;
    }
    EXPECT_TRUE(state && *state != "unknown") << "journal says " << state.value_or("unfinished");
    const std::size_t frames_before = FramesSeen();
    const int code = RunDriver();
    if (state && *state != "unknown") {
      EXPECT_EQ(FramesSeen(), frames_before) << "the resubmission sent something";
      EXPECT_NE(ReadFile(driver_out_).find("\"fromJournal\":true"), std::string::npos);
      EXPECT_EQ(code, *state == "printed" ? 0 : 3);
    }
    const int receipts = FiscalReceipts();
    EXPECT_TRUE(receipts == 0 || receipts == 1) << receipts << " receipts";
    EXPECT_EQ(receipts == 1, state == "printed")
        << "journal says " << state.value_or("unfinished") << ", the device holds " << receipts;
  }

  std::unique_ptr<nevtest::TempDir> dir_;
  pid_t sim_ = -1;
  int sim_runs_ = 0, driver_runs_ = 0;
  fs::path trace_, driver_out_;
  nevtest::MessageRecorder messages_;  // no message box is shown while the tests run
};

// At every step: its answer lost; the device's power cut after it, and back as it was; the driver
// killed the moment the device has it, and started again on the same journal (which settles the
// unfinished transaction first).
TEST_F(FaultMatrix, EveryStepSurvivesALostAnswerAPowerCutAndAKilledDriver) {
  for (const auto& s : kSteps) {
    const std::string code = HexCode(s.code);
    Fresh();
    StartSim({"--lose-answer", code + ":1"});
    Check(std::string("answer lost at ") + s.member, RunDriver());

    Fresh();
    StartSim({"--power-cut-after", code});
    pid_t driver = StartDriver();
    EXPECT_TRUE(WaitExit(sim_, 20000)) << s.member << ": the power cut did not come";
    sim_ = -1;
    StartSim({});
    Check(std::string("power cut after ") + s.member, Finish(driver));

    Fresh();
    StartSim({});
    driver = StartDriver();
    const bool reached = WaitForText(trace_, "(" + code + ") seq", 20000);
    ::kill(driver, SIGKILL);
    WaitExit(driver, 5000);
    EXPECT_TRUE(reached) << s.member;
    Check(std::string("driver killed at ") + s.member, RunDriver());
  }
}

TEST_F(FaultMatrix, PaperRunningOutAtEachLineOfTheReceipt) {
  // How many lines the whole receipt prints: once on a fresh device with a paper file.
  Fresh();
  StartSim({"--paper", Path("paper.txt").string()});
  ASSERT_EQ(RunDriver(), 0);
  StopSim();
  const int receipt_lines = static_cast<int>(Count(ReadFile(Path("paper.txt")), "\n"));
  ASSERT_GT(receipt_lines, 10);

  for (int lines = 0; lines <= receipt_lines; ++lines) {
    const std::string label = "paper out after " + std::to_string(lines) + " lines";
    Fresh();
    StartSim({"--paper-lines", std::to_string(lines)});
    const int first = RunDriver();
    EXPECT_TRUE(first == 0 || first == 3 || first == 4) << label << ": exit " << first;
    // New paper: the device restarts without the limit, and the till submits again, which
    // settles what was left open.
    StopSim();
    StartSim({});
    Check(label, RunDriver());
  }
}

// nevctl receipt's exit codes and output, and nevctl journal, on the device that persists.
TEST_F(FaultMatrix, NevctlReceiptNamesABadFieldSendsNothingAndListsTheJournal) {
  std::string bad = kDocument;
  bad.replace(bad.find("1.89"), 4, "\"1.89\"");
  Fresh(bad);
  StartSim({});
  EXPECT_EQ(RunDriver(), 2);
  EXPECT_NE(ReadFile(driver_out_).find("\"path\": \"items[0].price\""), std::string::npos)
      << ReadFile(driver_out_);
  EXPECT_EQ(FramesSeen(), 0u);  // the line was not even opened

  nevtest::WriteFile(Path("receipt.json"), kDocument);
  EXPECT_EQ(RunDriver(), 0);
  EXPECT_NE(ReadFile(driver_out_)
                .find("\"state\":\"printed\",\"receiptNumber\":1,"
                      "\"total\":9.99,\"change\":10.01"),
            std::string::npos)
      << ReadFile(driver_out_);
  // An article the device does not have: voided, exit 3.
  std::string voided = kDocument;
  voided.replace(voided.find("till7-000123"), 12, "till7-000124");
  voided.replace(voided.find("\"article\": 3"), 12, "\"article\": 999");
  nevtest::WriteFile(Path("receipt.json"), voided);
  EXPECT_EQ(RunDriver(), 3);

  const pid_t list =
      nevtest::Spawn({NEVCTL_EXE, "journal", "--journal", Path("journal.db").string()},
                     Path("list.out"), Path("list.err"));
  EXPECT_EQ(WaitExit(list, 10000), 0);
  const std::string rows = ReadFile(Path("list.out"));
  EXPECT_NE(rows.find("till7-000123  sale  printed"), std::string::npos) << rows;
  EXPECT_NE(rows.find("till7-000124  sale  voided"), std::string::npos) << rows;
}

// nev-sim answers every frame 300 ms late, nevctl receipt is killed (SIGKILL) while the device
// still owes it an answer, and receipts then run back to back, each a new process with a journal
// of its own (so nothing tells it that anything went before). Every one prints, and the paper
// holds each exactly once.
TEST_F(FaultMatrix, AReceiptKilledWhileOwedAnAnswerLeavesNothingForTheNextOnes) {
  constexpr int kReceiptsAfter = 3;
  const struct {
    Command owed;  // the frame whose answer the killed till leaves on the line
    bool closes;   // the killed till's receipt was closed on the device
  } cases[] = {{Command::kProbe, false},  // a NAK is owed
               {Command::kNumberOfNotes, false},
               {Command::kCloseFiscNote, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("killed while owed the answer to " + HexCode(c.owed));
    Fresh();
    StartSim({"--paper", Path("paper.txt").string(), "--delay", "300"});
    // A one-item receipt per document, its item line naming it.
    for (int n = 0; n <= kReceiptsAfter; ++n) {
      const std::string id = "r" + std::to_string(n);
      nevtest::WriteFile(Path(id + ".json"), R"({"id": ")" + id + R"(", "operator": {"number": 1,
        "password": "0000"}, "items": [{"text": "Хляб )" +
                                                 id + R"(", "taxGroup": "B",
        "quantity": 1, "price": 1.89}], "payments": [{"type": 1, "amount": 20}]})");
    }
    const pid_t killed = StartDriver("r0", "r0");
    const bool reached = WaitForText(trace_, "(" + HexCode(c.owed) + ") seq", kDriverBoundMs);
    ::kill(killed, SIGKILL);
    WaitExit(killed, 5000);
    ASSERT_TRUE(reached) << ReadFile(trace_);

    for (int n = 1; n <= kReceiptsAfter; ++n) {
      const std::string id = "r" + std::to_string(n);
      EXPECT_EQ(RunDriver(id, id), 0) << id << ": " << ReadFile(driver_out_);
      EXPECT_NE(ReadFile(driver_out_).find("\"state\":\"printed\""), std::string::npos)
          << id << ": " << ReadFile(driver_out_);
    }
    StopSim();
    const std::string paper = ReadFile(Path("paper.txt"));
    for (int n = 1; n <= kReceiptsAfter; ++n) {
      EXPECT_EQ(Count(paper, "Хляб r" + std::to_string(n) + " "), 1u) << paper;
    }
    EXPECT_EQ(Count(paper, "ФИСКАЛЕН БОН"), kReceiptsAfter + (c.closes ? 1u : 0u)) << paper;
  }
}

}  // namespace
