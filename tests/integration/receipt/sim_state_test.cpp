// The simulator as a device that survives power cuts: its state file replayed by a new
// simulator, a torn last record ignored, and the paper that runs out after N lines.
#include <gtest/gtest.h>

#include <memory>

#include "nev/message.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "platform/regional.h"
#include "support/helpers.h"

namespace {

class SimState : public ::testing::Test {
 protected:
  void SetUp() override { nev::platform::SetDecimalSymbolOverride("."); }
  void TearDown() override { nev::platform::SetDecimalSymbolOverride(std::nullopt); }
  std::unique_ptr<nevsim::Simulator> Device(long paper_lines = -1) {
    nevsim::Options o;
    o.state_path = (dir_.path() / "state").string();
    o.paper_lines = paper_lines;
    auto sim = std::make_unique<nevsim::Simulator>(o);
    sim->Start();
    return sim;
  }
  nevtest::TempDir dir_;
  nevtest::MessageRecorder messages_;  // no message box is shown while the tests run
};

TEST_F(SimState, ANewSimulatorOnTheSameStateIsTheSameDeviceWithItsReceiptStillOpen) {
  {
    auto sim = Device();
    nev::NEV printer(dir_.str());
    ASSERT_TRUE(printer.InitConnection(sim->SlavePath(), 115200));
    ASSERT_TRUE(printer.OpenFiscNote("1", "0"));
    ASSERT_TRUE(printer.SellArt(3, 2, 1.80));
    ASSERT_TRUE(printer.Pay(1, 10));
    ASSERT_TRUE(printer.CloseFiscNote());
    ASSERT_TRUE(printer.OpenFiscNote("1", "0"));
    ASSERT_TRUE(printer.SellArt(1, 1, 1.20));
    printer.GetStatus();  // queries are not part of the device's memory
    printer.StopConnection();
  }
  // A record torn by the power cut is not replayed.
  std::ofstream(dir_.path() / "state", std::ios::app) << "8C";
  auto sim = Device();
  const nevsim::Simulator::Totals t = sim->CurrentTotals();
  EXPECT_TRUE(t.fiscal_open);
  EXPECT_NEAR(t.total, 1.20, 1e-9);
  EXPECT_EQ(t.receipts, 1);
  EXPECT_NEAR(t.day_total, 3.60, 1e-9);
  EXPECT_NEAR(t.cash, 3.60, 1e-9);
}

TEST_F(SimState, ThePaperRunsOutAfterNLinesAndTheCommandThatNeedsMoreIsRefused) {
  auto sim = Device(7);
  nev::NEV printer(dir_.str());
  printer.SilentMode(true);
  ASSERT_TRUE(printer.InitConnection(sim->SlavePath(), 115200));
  ASSERT_TRUE(printer.OpenFiscNote("1", "0"));  // the header: 5 lines
  ASSERT_TRUE(printer.SellTaxGroup("a", "A", 1, 1));
  ASSERT_TRUE(printer.SellTaxGroup("b", "A", 1, 1));  // the seventh line: the roll ends
  EXPECT_FALSE(printer.SellTaxGroup("c", "A", 1, 1));
  EXPECT_EQ(printer.GetStatus(), -11);  // the open receipt's bit outranks the paper's
  EXPECT_TRUE(printer.LastCall().flags.no_paper);
  EXPECT_FALSE(printer.VoidAll());
  sim->ClearFaults();  // new paper
  EXPECT_TRUE(printer.VoidAll());
  printer.StopConnection();
}

}  // namespace
