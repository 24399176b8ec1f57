// An answer the device owes a till that was killed is never taken by the next one: nev-sim
// answers every frame 300 ms late, nevctl receipt is killed (SIGKILL) while the device still owes
// it an answer, and receipts then run back to back, each a new process with a journal of its own
// (so nothing tells it that anything went before). Every one prints, and the device's paper holds
// each exactly once.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

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

constexpr int kDriverBoundMs = 30000;
constexpr int kReceiptsAfter = 3;

// A one-item receipt whose item line names its document.
std::string Document(const std::string& id) {
  return R"({"id": ")" + id + R"(", "operator": {"number": 1, "password": "0000"},
  "items": [{"text": "Хляб )" +
         id + R"(", "taxGroup": "B", "quantity": 1, "price": 1.89}],
  "payments": [{"type": 1, "amount": 20}]})";
}

class StaleAnswer : public ::testing::Test {
 protected:
  void TearDown() override { StopSim(); }

  fs::path Path(const std::string& name) const { return dir_->path() / name; }
  std::string Link() const { return Path("fiscal").string(); }

  // A fresh device in a fresh folder.
  void StartSim() {
    StopSim();
    dir_ = std::make_unique<nevtest::TempDir>();
    const fs::path out = Path("sim.out");
    sim_ = Spawn({NEV_SIM_EXE, "--state", Path("state").string(), "--paper",
                  Path("paper.txt").string(), "--link", Link(), "--delay", "300", "--trace"},
                 out, Path("trace.txt"));
    ASSERT_GT(sim_, 0);
    ASSERT_TRUE(WaitForText(out, "\n", 5000)) << "nev-sim did not start";
  }
  void StopSim() {
    if (sim_ <= 0) return;
    ::kill(sim_, SIGTERM);
    if (!WaitExit(sim_, 5000)) ADD_FAILURE() << "nev-sim did not stop";
    sim_ = -1;
  }

  // nevctl receipt for document id, with a journal of its own.
  pid_t StartReceipt(const std::string& id) {
    nevtest::WriteFile(Path(id + ".json"), Document(id));
    return Spawn(
        {NEVCTL_EXE, "--port", Link(), "--baud", "115200", "--json", "--log-dir", dir_->str(),
         "receipt", Path(id + ".json").string(), "--journal", Path(id + ".db").string()},
        Path(id + ".out"), Path(id + ".err"));
  }

  std::unique_ptr<nevtest::TempDir> dir_;
  pid_t sim_ = -1;
};

TEST_F(StaleAnswer, AReceiptKilledWhileOwedAnAnswerLeavesNothingForTheNextOnes) {
  const struct {
    Command owed;  // the frame whose answer the killed till leaves on the line
    bool closes;   // the killed till's receipt was closed on the device
  } cases[] = {{Command::kProbe, false},  // a NAK is owed
               {Command::kNumberOfNotes, false},
               {Command::kCloseFiscNote, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("killed while owed the answer to " + HexCode(c.owed));
    StartSim();
    const pid_t killed = StartReceipt("killed");
    const bool reached =
        WaitForText(Path("trace.txt"), "(" + HexCode(c.owed) + ") seq", kDriverBoundMs);
    ::kill(killed, SIGKILL);
    WaitExit(killed, 5000);
    ASSERT_TRUE(reached) << nevtest::ReadFile(Path("trace.txt"));

    for (int n = 1; n <= kReceiptsAfter; ++n) {
      const std::string id = "r" + std::to_string(n);
      const auto code = WaitExit(StartReceipt(id), kDriverBoundMs);
      const std::string out = nevtest::ReadFile(Path(id + ".out"));
      EXPECT_EQ(code, 0) << id << ": " << out;
      EXPECT_NE(out.find("\"state\":\"printed\""), std::string::npos) << id << ": " << out;
    }
    StopSim();
    const std::string paper = nevtest::ReadFile(Path("paper.txt"));
    for (int n = 1; n <= kReceiptsAfter; ++n) {
      EXPECT_EQ(Count(paper, "Хляб r" + std::to_string(n) + " "), 1u) << paper;
    }
    EXPECT_EQ(Count(paper, "ФИСКАЛЕН БОН"), kReceiptsAfter + (c.closes ? 1u : 0u)) << paper;
  }
}

}  // namespace
