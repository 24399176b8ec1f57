// Injected faults, each seen from the driver's end of the line.
#include "sim_fixture.h"

namespace simtest {
namespace {

using SimFaults = SimTest;

TEST_F(SimFaults, SilentDeviceRecordsButNeitherAnswersNorExecutes) {
  sim->SetSilent(true);
  port->Write(Frame(0x20, 0x83, "01\t"));
  ASSERT_TRUE(sim->WaitForFrames(1, 2000));
  EXPECT_EQ(port->Drain(300), "");
  sim->ClearFaults();
  EXPECT_EQ(Do(Ok(0x83, "01\t")), "1");  // the first one did not open the receipt
}

TEST_F(SimFaults, NakForAGivenCommandOnlyAndWithoutEffect) {
  sim->NakCommand(0x83);
  sim->NakCommand('N');
  Run({Nak(0x83, "01\t"), Ack(0x8E), Ok(0x54)});
  EXPECT_FALSE(sim->CurrentTotals().fiscal_open);
  EXPECT_EQ(port->Send("N").kind, Answer::kNak);
  sim->ClearFaults();
  EXPECT_EQ(port->Send("N").data.substr(0, 5), "Z0002");  // the NAKed "N" did not advance
}

TEST_F(SimFaults, GarbageAndSynStormComeBeforeEveryAnswer) {
  sim->GarbageBeforeReplies("xy\x01z");
  sim->SynStorm(7, 5);
  const std::pair<uint8_t, Answer::Kind> cases[] = {
      {0x8E, Answer::kAck}, {0xA1, Answer::kFrame}, {0xFF, Answer::kNak}};
  for (auto [cmd, kind] : cases) {
    SCOPED_TRACE(int(cmd));
    const Answer a = port->Command(cmd);
    EXPECT_EQ(a.kind, kind);
    EXPECT_EQ(a.before, "xy\x01z");
    EXPECT_EQ(a.syns, 7);
    if (kind == Answer::kFrame) ExpectWellFormed(a);
  }
}

TEST_F(SimFaults, SplitRepliesArriveWholeAndUnchanged) {
  const std::string plain = port->Command(0x72).raw;
  sim->SplitReplies(4, 30);
  const Answer a = port->Command(0x72);
  ExpectWellFormed(a);
  // All but the echoed sequence byte and the check characters that cover it.
  ASSERT_EQ(a.raw.size(), plain.size());
  EXPECT_EQ(a.raw.substr(2, a.raw.size() - 5), plain.substr(2, plain.size() - 5));
}

TEST_F(SimFaults, DelayedReplyComesAfterTheDriversTimeOut) {
  sim->DelayReplies(3500);
  port->Write(Frame(0x20, 0xA1));
  EXPECT_EQ(port->Drain(1000), "");  // nothing early
  ExpectWellFormed(port->Read(6000));
}

TEST_F(SimFaults, StatusByteZeroFollowsReceiptsAndPaperAndPaperOutRefusesPrinting) {
  Run({Ok(0x80)});
  EXPECT_EQ(Status0(), 0x90);
  sim->SetPaperOut(true);
  EXPECT_EQ(Status0(), 0x94);
  EXPECT_EQ(port->Command(0x81).status[0], 0x95);  // general error on the refused command only
  EXPECT_EQ(Status0(), 0x94);
  sim->SetPaperOut(false);
  Run({Ok(0x81), Ok(0x83, "01\t")});
  EXPECT_EQ(Status0(), 0x88);
  sim->SetPaperOut(true);
  Run({Nak(0x85, "text\t"), Nak(0x86, "a\tA\t1\t1.00\t"), Nak(0x8F, "02")});
  EXPECT_EQ(Status0(), 0x8C);                           // no paper, fiscal receipt open
  Run({Ack(0x8E), Ok(0x72, "", "20.00\t9.00\t0.00")});  // no paper needed
  sim->SetPaperOut(false);
  Do(Ack(0x86, "a\tA\t1\t1.00\t"));
}

TEST_F(SimFaults, DroppedLineEndsMidReply) {
  sim->DropLineMidReply();
  port->Write(Frame(0x20, 0x72));
  port->Drain(3000);
  EXPECT_TRUE(port->hung_up);
  EXPECT_TRUE(sim->LineDropped());
  const std::string sent = sim->RawOutput();
  EXPECT_EQ(sent.size(), 13u);  // half of the 26-byte reply
  EXPECT_EQ(sent[0], '\x02');
}

TEST_F(SimFaults, OverriddenRepliesAndForcedStatusBytes) {
  sim->OverrideReply(0x8A, "1,5\t2");
  sim->OverrideReply(0x8E, "frame instead of ACK");
  Run({Ok(0x83, "01\t"), Ack(0x86, "a\tA\t1\t1.00\t"), Ok(0x8A, "", "1,5\t2"),
       Ok(0x8E, "", "frame instead of ACK")});
  // Given as is, control bytes included (a driver's reader meets the NAK inside the frame).
  sim->OverrideReply(0xA1, std::string("a\x15", 2));
  EXPECT_EQ(port->Command(0xA1).data, std::string("a\x15", 2));
  sim->ForceStatus(0x05, 0x00, 0x7F);
  const Answer a = port->Command(0x72);
  ExpectWellFormed(a);
  EXPECT_EQ(std::string(a.status, a.status + 3), "\x85\x80\xFF");  // bit 7 added
  sim->ClearFaults();
  EXPECT_EQ(Status0(), 0x88);
}

}  // namespace
}  // namespace simtest
