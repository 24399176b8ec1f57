// The fault matrix over real processes: nev-sim with its state file as the device, nevctl with
// its journal as the till. For every step of a four-item receipt with payment: the answer lost,
// the device's power cut (and back), the driver killed with SIGKILL and started again on the same
// journal, the paper running out. In every case the device holds the receipt at most once, the
// journal agrees with it, and a second submission sends nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
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
using nevtest::Spawn;
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

struct StepCode {
  const char* member;
  Command code;
};
// Every step of the receipt, in order, by the command it sends.
const StepCode kSteps[] = {{"OpenFiscNote", Command::kOpenFiscNote},
                           {"SellTaxGroup", Command::kSellTaxGroup},
                           {"SellArt", Command::kSellArt},
                           {"SellDep", Command::kSellDep},
                           {"FiscText", Command::kFiscText},
                           {"SubTotal", Command::kSubTotal},
                           {"Pay", Command::kPay},
                           {"CloseFiscNote", Command::kCloseFiscNote}};

struct Figures {
  int cases = 0, duplicates = 0, lost = 0, unknown = 0;
  int printed = 0, voided = 0, refused = 0;  // how the cases ended
};

class FaultMatrix : public ::testing::Test {
 protected:
  void TearDown() override { StopSim(); }

  // One case: a fresh device, journal and document.
  void Fresh() {
    StopSim();
    dir_ = std::make_unique<nevtest::TempDir>();
    nevtest::WriteFile(Path("receipt.json"), kDocument);
  }
  fs::path Path(const std::string& name) const { return dir_->path() / name; }
  std::string Link() const { return Path("fiscal").string(); }

  // nev-sim on the case's state file, its trace in a file of its own.
  void StartSim(const std::vector<std::string>& faults) {
    ++sim_runs_;
    trace_ = Path("trace" + std::to_string(sim_runs_) + ".txt");
    const fs::path out = Path("sim" + std::to_string(sim_runs_) + ".out");
    std::vector<std::string> args{NEV_SIM_EXE, "--state", Path("state").string(),
                                  "--link",    Link(),    "--trace"};
    args.insert(args.end(), faults.begin(), faults.end());
    sim_ = Spawn(args, out, trace_);
    ASSERT_GT(sim_, 0);
    ASSERT_TRUE(WaitForText(out, "\n", 5000)) << "nev-sim did not start";
  }
  void StopSim() {
    if (sim_ <= 0) return;
    ::kill(sim_, SIGTERM);
    if (!WaitExit(sim_, 5000)) ADD_FAILURE() << "nev-sim did not stop";
    sim_ = -1;
  }

  pid_t StartDriver() {
    ++driver_runs_;
    const fs::path out = Path("driver" + std::to_string(driver_runs_) + ".out");
    last_driver_out_ = out;
    return Spawn(
        {NEVCTL_EXE, "--port", Link(), "--baud", "115200", "--json", "--log-dir", dir_->str(),
         "receipt", Path("receipt.json").string(), "--journal", Path("journal.db").string()},
        out, Path("driver" + std::to_string(driver_runs_) + ".err"));
  }
  // Runs the driver to its end within its bound; its exit code.
  int RunDriver() {
    const pid_t pid = StartDriver();
    const auto code = WaitExit(pid, kDriverBoundMs);
    EXPECT_TRUE(code) << "nevctl ran longer than its bound";
    return code.value_or(-1);
  }

  // Fiscal receipts in the device since its start, asked through the driver's library.
  int FiscalReceipts() {
    nev::NEV printer(dir_->str());
    printer.SilentMode(true);
    if (!printer.InitConnection(Link(), 115200)) return -1;
    const std::string notes = printer.GetNumberofNotes();
    printer.StopConnection();
    const auto tab = notes.find('\t');
    if (tab == std::string::npos) return -1;
    return std::stoi(notes.substr(tab + 1));
  }

  // The checks every case ends with.
  void Check(const std::string& label, Figures& f) {
    ++f.cases;
    std::optional<std::string> state;
    {
      nev::receipt::Journal journal(Path("journal.db").string());
      if (auto e = journal.Find("till7-000123")) state = e->state;
    }
    // A second submission is answered from the journal: no frame reaches the device.
    const std::size_t frames_before = Count(nevtest::ReadFile(trace_), "\n<- ");
    const int code = RunDriver();
    const std::size_t frames_after = Count(nevtest::ReadFile(trace_), "\n<- ");
    if (state && *state != "unknown") {
      EXPECT_EQ(frames_after, frames_before) << label << ": the resubmission sent something";
      EXPECT_NE(nevtest::ReadFile(last_driver_out_).find("\"fromJournal\":true"), std::string::npos)
          << label;
      EXPECT_EQ(code, *state == "printed" ? 0 : 3) << label;
    }
    const int receipts = FiscalReceipts();
    EXPECT_GE(receipts, 0) << label << ": the device could not be asked";
    if (receipts >= 2) ++f.duplicates;
    const bool printed = state && *state == "printed";
    if ((receipts == 1) != printed) ++f.lost;
    if (!state || *state == "unknown") ++f.unknown;
    f.printed += printed;
    f.voided += state && *state == "voided";
    f.refused += state && *state == "refused";
    EXPECT_TRUE(receipts == 0 || receipts == 1) << label << ": " << receipts << " receipts";
    EXPECT_EQ(receipts == 1, printed) << label << ": journal says " << state.value_or("unfinished")
                                      << ", the device holds " << receipts;
  }

  void Report(const char* fault, const Figures& f) {
    std::printf(
        "fault matrix (%s): cases %d, duplicates %d, lost %d, unknown %d (printed %d, voided %d, "
        "refused %d)\n",
        fault, f.cases, f.duplicates, f.lost, f.unknown, f.printed, f.voided, f.refused);
    std::fflush(stdout);
    EXPECT_EQ(f.duplicates, 0);
    EXPECT_EQ(f.lost, 0);
    EXPECT_EQ(f.unknown, 0);
  }

  std::unique_ptr<nevtest::TempDir> dir_;
  pid_t sim_ = -1;
  int sim_runs_ = 0, driver_runs_ = 0;
  fs::path trace_, last_driver_out_;
  nevtest::MessageRecorder messages_;  // no message box is shown while the tests run
};

TEST_F(FaultMatrix, AnswerLostAtEachStep) {
  Figures f;
  for (const StepCode& s : kSteps) {
    Fresh();
    StartSim({"--lose-answer", HexCode(s.code) + ":1"});
    const int code = RunDriver();
    EXPECT_TRUE(code == 0 || code == 3) << s.member << ": exit " << code;
    Check(std::string("answer lost at ") + s.member, f);
  }
  Report("answer lost", f);
}

TEST_F(FaultMatrix, PowerCutAtEachStepAndBack) {
  Figures f;
  for (const StepCode& s : kSteps) {
    Fresh();
    StartSim({"--power-cut-after", HexCode(s.code)});
    const pid_t driver = StartDriver();
    // The device goes down after executing the step; it comes back as it was.
    EXPECT_TRUE(WaitExit(sim_, 20000)) << s.member << ": the power cut did not come";
    sim_ = -1;
    StartSim({});
    const auto code = WaitExit(driver, kDriverBoundMs);
    ASSERT_TRUE(code) << s.member << ": nevctl ran longer than its bound";
    EXPECT_TRUE(*code == 0 || *code == 3) << s.member << ": exit " << *code;
    Check(std::string("power cut after ") + s.member, f);
  }
  Report("power cut", f);
}

TEST_F(FaultMatrix, DriverKilledAtEachStepAndStartedAgainOnTheSameJournal) {
  Figures f;
  for (const StepCode& s : kSteps) {
    Fresh();
    StartSim({});
    const pid_t driver = StartDriver();
    // Killed the moment the device has the step's command.
    const bool reached = WaitForText(trace_, "(" + HexCode(s.code) + ") seq", 20000);
    ::kill(driver, SIGKILL);
    WaitExit(driver, 5000);
    EXPECT_TRUE(reached) << s.member;
    const int code = RunDriver();  // settles the unfinished transaction first
    EXPECT_TRUE(code == 0 || code == 3) << s.member << ": exit " << code;
    Check(std::string("driver killed at ") + s.member, f);
  }
  Report("driver killed", f);
}

TEST_F(FaultMatrix, PaperRunningOutAtEachLineOfTheReceipt) {
  // How many lines the whole receipt prints: once on a fresh device with a paper file.
  int receipt_lines = 0;
  Fresh();
  {
    const fs::path out = Path("count.out"), err = Path("count.err"), paper = Path("paper.txt");
    const pid_t p = Spawn({NEV_SIM_EXE, "--paper", paper.string(), "--link", Link()}, out, err);
    ASSERT_TRUE(WaitForText(out, "\n", 5000));
    ASSERT_EQ(RunDriver(), 0);
    ::kill(p, SIGTERM);
    WaitExit(p, 5000);
    receipt_lines = static_cast<int>(Count(nevtest::ReadFile(paper), "\n"));
  }
  ASSERT_GT(receipt_lines, 10);

  Figures f;
  for (int lines = 0; lines <= receipt_lines; ++lines) {
    Fresh();
    StartSim({"--paper-lines", std::to_string(lines)});
    const int first = RunDriver();
    EXPECT_TRUE(first == 0 || first == 3 || first == 4) << lines << " lines: exit " << first;
    // New paper: the device restarts without the limit, and the till submits again, which
    // settles what was left open.
    StopSim();
    StartSim({});
    const int second = RunDriver();
    EXPECT_TRUE(second == 0 || second == 3) << lines << " lines: exit " << second;
    Check("paper out after " + std::to_string(lines) + " lines", f);
  }
  Report("paper out", f);
}

// nevctl receipt's exit codes and output, and nevctl journal, on the device that persists.
TEST_F(FaultMatrix, NevctlReceiptNamesABadFieldSendsNothingAndListsTheJournal) {
  Fresh();
  StartSim({});
  std::string bad = kDocument;
  bad.replace(bad.find("1.89"), 4, "\"1.89\"");
  nevtest::WriteFile(Path("receipt.json"), bad);
  EXPECT_EQ(RunDriver(), 2);
  EXPECT_NE(nevtest::ReadFile(last_driver_out_).find("\"path\": \"items[0].price\""),
            std::string::npos)
      << nevtest::ReadFile(last_driver_out_);
  EXPECT_EQ(Count(nevtest::ReadFile(trace_), "\n<- "), 0u);  // the line was not even opened

  nevtest::WriteFile(Path("receipt.json"), kDocument);
  EXPECT_EQ(RunDriver(), 0);
  const std::string result = nevtest::ReadFile(last_driver_out_);
  EXPECT_NE(result.find("\"state\":\"printed\",\"receiptNumber\":1,\"total\":9.99,"
                        "\"change\":10.01"),
            std::string::npos)
      << result;
  // An article the device does not have: voided, exit 3.
  std::string voided = kDocument;
  voided.replace(voided.find("till7-000123"), 12, "till7-000124");
  voided.replace(voided.find("\"article\": 3"), 12, "\"article\": 999");
  nevtest::WriteFile(Path("receipt.json"), voided);
  EXPECT_EQ(RunDriver(), 3);

  const pid_t list = Spawn({NEVCTL_EXE, "journal", "--journal", Path("journal.db").string()},
                           Path("list.out"), Path("list.err"));
  EXPECT_EQ(WaitExit(list, 10000), 0);
  const std::string rows = nevtest::ReadFile(Path("list.out"));
  EXPECT_NE(rows.find("till7-000123  sale  printed"), std::string::npos) << rows;
  EXPECT_NE(rows.find("till7-000124  sale  voided"), std::string::npos) << rows;
}

}  // namespace
