// Injected faults, each seen from the driver's end of the line.
#include "sim_fixture.h"

namespace simtest {
namespace {

using SimFaults = SimTest;

TEST_F(SimFaults, SilentDeviceRecordsButNeitherAnswersNorExecutes) {
  sim->SetSilent(true);
  port->Write(Frame(0x20, Command::kOpenFiscNote, "01\t"));
  ASSERT_TRUE(sim->WaitForFrames(1, 2000));
  EXPECT_EQ(port->Drain(300), "");
  sim->ClearFaults();
  EXPECT_EQ(Do(Ok(Command::kOpenFiscNote, "01\t")), "1");  // the first one did not open the receipt
}

TEST_F(SimFaults, NakForAGivenCommandOnlyAndWithoutEffect) {
  sim->NakCommand(Code(Command::kOpenFiscNote));
  sim->NakCommand(Code(Command::kNextFMPiece));
  Run({Nak(Command::kOpenFiscNote, "01\t"), Ack(Command::kOpenDraw), Ok(Command::kFirstFMReport)});
  EXPECT_FALSE(sim->CurrentTotals().fiscal_open);
  EXPECT_EQ(port->Send("N").kind, Answer::kNak);
  sim->ClearFaults();
  EXPECT_EQ(port->Send("N").data.substr(0, 5), "Z0002");  // the NAKed "N" did not advance
}

TEST_F(SimFaults, GarbageAndSynStormComeBeforeEveryAnswer) {
  sim->GarbageBeforeReplies("xy\x01z");
  sim->SynStorm(7, 5);
  const std::pair<Command, Answer> cases[] = {{Command::kOpenDraw, Answer::kAck},
                                              {Command::kGetStatus, Answer::kFrame},
                                              {Command::kProbe, Answer::kNak}};
  for (auto [cmd, kind] : cases) {
    SCOPED_TRACE(int(Code(cmd)));
    const Reply a = port->Request(cmd);
    EXPECT_EQ(a.kind, kind);
    EXPECT_EQ(a.before, "xy\x01z");
    EXPECT_EQ(a.syns, 7);
    if (kind == Answer::kFrame) ExpectWellFormed(a);
  }
}

TEST_F(SimFaults, SplitRepliesArriveWholeAndUnchanged) {
  const std::string plain = port->Request(Command::kTaxRates).raw;
  sim->SplitReplies(4, 30);
  const Reply a = port->Request(Command::kTaxRates);
  ExpectWellFormed(a);
  // All but the echoed sequence byte and the check characters that cover it.
  ASSERT_EQ(a.raw.size(), plain.size());
  EXPECT_EQ(a.raw.substr(2, a.raw.size() - 5), plain.substr(2, plain.size() - 5));
}

TEST_F(SimFaults, StatusByteZeroFollowsReceiptsAndPaperAndPaperOutRefusesPrinting) {
  Run({Ok(Command::kOpenServNote)});
  EXPECT_EQ(Status0(), 0x90);
  sim->SetPaperOut(true);
  EXPECT_EQ(Status0(), 0x94);
  EXPECT_EQ(port->Request(Command::kCloseServNote).status[0],
            0x95);  // general error on the refused command only
  EXPECT_EQ(Status0(), 0x94);
  sim->SetPaperOut(false);
  Run({Ok(Command::kCloseServNote), Ok(Command::kOpenFiscNote, "01\t")});
  EXPECT_EQ(Status0(), 0x88);
  sim->SetPaperOut(true);
  Run({Nak(Command::kFiscText, "text\t"), Nak(Command::kSellTaxGroup, "a\tA\t1\t1.00\t"),
       Nak(Command::kPaperFeed, "02")});
  EXPECT_EQ(Status0(), 0x8C);  // no paper, fiscal receipt open
  Run({Ack(Command::kOpenDraw),
       Ok(Command::kTaxRates, "", "20.00\t9.00\t0.00")});  // no paper needed
  sim->SetPaperOut(false);
  Do(Ack(Command::kSellTaxGroup, "a\tA\t1\t1.00\t"));
}

TEST_F(SimFaults, DroppedLineEndsMidReply) {
  sim->DropLineMidReply();
  port->Write(Frame(0x20, Command::kTaxRates));
  port->Drain(3000);
  EXPECT_TRUE(port->hung_up);
  EXPECT_TRUE(sim->LineDropped());
  const std::string sent = sim->RawOutput();
  EXPECT_EQ(sent.size(), 13u);  // half of the 26-byte reply
  EXPECT_EQ(sent[0], '\x02');
}

TEST_F(SimFaults, OverriddenRepliesAndForcedStatusBytes) {
  sim->OverrideReply(Code(Command::kSubTotal), "1,5\t2");
  sim->OverrideReply(Code(Command::kOpenDraw), "frame instead of ACK");
  Run({Ok(Command::kOpenFiscNote, "01\t"), Ack(Command::kSellTaxGroup, "a\tA\t1\t1.00\t"),
       Ok(Command::kSubTotal, "", "1,5\t2"), Ok(Command::kOpenDraw, "", "frame instead of ACK")});
  // Given as is, control bytes included (a driver's reader meets the NAK inside the frame).
  sim->OverrideReply(Code(Command::kGetStatus), std::string("a\x15", 2));
  EXPECT_EQ(port->Request(Command::kGetStatus).data, std::string("a\x15", 2));
  sim->ForceStatus(0x05, 0x00, 0x7F);
  const Reply a = port->Request(Command::kTaxRates);
  ExpectWellFormed(a);
  EXPECT_EQ(std::string(a.status, a.status + 3), "\x85\x80\xFF");  // bit 7 added
  sim->ClearFaults();
  EXPECT_EQ(Status0(), 0x88);
}

}  // namespace
}  // namespace simtest
