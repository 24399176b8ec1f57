// The device's refusals (a reply frame with the general-error bit) give False, and the call's
// record says why: outcome, the status bytes and flags, the reply data.
#include <cmath>
#include <optional>

#include "fixture.h"
#include "platform/event_loop.h"

namespace nevtest {
namespace {

using nev::Outcome;

TEST_F(OperationsTest, RefusalsOfTheSimulatorGiveFalseWithTheirOutcome) {
  // Without paper no receipt opens, and the flags say why.
  sim.SetPaperOut(true);
  EXPECT_FALSE(nev->OpenFiscNote("1", "0000"));
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kRefused);
  EXPECT_TRUE(nev->LastCall().flags.no_paper);
  sim.SetPaperOut(false);
  ASSERT_TRUE(nev->OpenFiscNote("1", "0000"));
  ASSERT_TRUE(nev->SellTaxGroup("Bread", "B", 1, 1.2));
  // An ACK is an answer without a reply frame: no reply data, no status bytes.
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kAnswered);
  EXPECT_FALSE(nev->LastCall().reply.has_value());
  EXPECT_FALSE(nev->LastCall().status.has_value());

  // Closing a receipt that is not paid: refused, and the receipt stays open.
  EXPECT_FALSE(nev->CloseFiscNote());
  const nev::CallRecord close = nev->LastCall();
  EXPECT_EQ(close.member, "CloseFiscNote");
  EXPECT_EQ(close.outcome, Outcome::kRefused);
  ASSERT_TRUE(close.status.has_value());
  EXPECT_EQ((*close.status)[0] & 0x01, 0x01);
  EXPECT_TRUE(close.flags.general_error);
  EXPECT_TRUE(close.flags.fiscal_receipt_open);
  EXPECT_TRUE(close.reply.has_value());
  EXPECT_FALSE(close.ok());

  // No such payment type; no payment without paper.
  EXPECT_FALSE(nev->Pay(9, 1));
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kRefused);
  sim.SetPaperOut(true);
  EXPECT_FALSE(nev->Pay(1, 5));
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kRefused);
  sim.SetPaperOut(false);
  // A Z report with a receipt open makes no Z.
  const int z_before = sim.CurrentTotals().z_number;
  EXPECT_EQ(nev->ZDay(), "False");
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kRefused);
  EXPECT_EQ(sim.CurrentTotals().z_number, z_before);
  // A frame the device rejects with NAK.
  sim.NakCommand(Code(Command::kOpenDraw));
  EXPECT_FALSE(nev->OpenDraw());
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kNak);

  sim.ClearFaults();
  Messages();

  // Paid, the same close is accepted and its reply data is recorded.
  EXPECT_TRUE(nev->Pay(1, 5));
  EXPECT_TRUE(nev->LastCall().reply.has_value());
  EXPECT_TRUE(nev->CloseFiscNote());
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kAnswered);
  EXPECT_FALSE(nev->LastCall().flags.general_error);
  EXPECT_FALSE(nev->LastCall().flags.fiscal_receipt_open);
}

TEST_F(OperationsTest, OutcomesWithoutARefusal) {
  // A call made while another one waits for its reply: busy, nothing sent.
  // (First, while the line is settled: a wait that settles the line after a time-out lets events
  // run before its frame goes out.)
  sim.DelayReplies(300);
  std::optional<nev::Outcome> nested;
  nev::platform::PostEvent([&] {
    nev->OpenDraw();
    nested = nev->LastCall().outcome;
  });
  EXPECT_TRUE(nev->OpenDraw());
  EXPECT_EQ(nested, Outcome::kBusy);
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kAnswered);  // the outer call finished last
  ASSERT_TRUE(sim.WaitForFrames(1, 2000));
  EXPECT_EQ(TakeReceived().size(), 1u);  // the nested call sent nothing
  sim.ClearFaults();
  Messages();
  // A run-time error before anything is sent.
  EXPECT_FALSE(nev->SellArt(1, std::nan(""), 1));
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kBadArgument);
  ASSERT_TRUE(nev->LastCall().error.has_value());
  EXPECT_EQ(nev->LastCall().error->number, 5);
  Messages();
  // Silence: a time-out.
  sim.SetSilent(true);
  EXPECT_FALSE(nev->OpenDraw());
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kTimeout);
  sim.SetSilent(false);
  // The line goes while the answer comes: a port error.
  sim.DropLineMidReply();
  EXPECT_FALSE(nev->OpenDraw());
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kPortError);
  Messages();
  // No connection: every kind of result tells a failure.
  nev->StopConnection();
  EXPECT_FALSE(nev->StopConnection());
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kNoConnection);
  Messages();
  EXPECT_FALSE(nev->OpenDraw());
  EXPECT_EQ(nev->LastCall().outcome, Outcome::kNoConnection);
  double total = 1, a = 1, b = 1, c = 1;
  EXPECT_EQ(nev->ZDay(), "False");
  EXPECT_EQ(nev->ZArticles(), std::optional<bool>(false));
  EXPECT_EQ(nev->GetTaxRates(), "");
  EXPECT_EQ(nev->GetArticle(1), "");
  EXPECT_EQ(nev->GetStatus(), -33);
  EXPECT_FALSE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(std::vector<double>({total, a, b, c}), std::vector<double>({0, 0, 0, 0}));
  EXPECT_EQ(Messages(), std::vector<std::string>(7, "COM Port Error!"));
}

}  // namespace
}  // namespace nevtest
