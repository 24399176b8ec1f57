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
  EXPECT_FALSE(sim->CurrentTotals().fiscal_open);
  sim->ClearFaults();
  EXPECT_EQ(Ok(0x83, "01\t"), "1");
}

TEST_F(SimFaults, NakForAGivenCommandOnlyAndWithoutEffect) {
  sim->NakCommand(0x83);
  sim->NakCommand('N');
  Naked(0x83, "01\t");
  EXPECT_FALSE(sim->CurrentTotals().fiscal_open);
  Acked(0x8E);
  Ok(0x54, "");
  EXPECT_EQ(port->Next().kind, Answer::kNak);
  sim->ClearFaults();
  EXPECT_EQ(port->Next().data.substr(0, 5), "Z0002");  // the NAKed "N" did not advance
}

TEST_F(SimFaults, GarbageComesBeforeEveryAnswer) {
  sim->GarbageBeforeReplies("xy\x01z");
  Answer a = port->Command(0x8E);
  EXPECT_EQ(a.kind, Answer::kAck);
  EXPECT_EQ(a.before, "xy\x01z");
  Answer f = port->Command(0xA1);
  ExpectWellFormed(f);
  EXPECT_EQ(f.before, "xy\x01z");
  EXPECT_EQ(port->Command(0xFF).before, "xy\x01z");
}

TEST_F(SimFaults, SplitRepliesArriveWholeAndUnchanged) {
  const std::string plain = port->Command(0x72).raw;
  sim->SplitReplies(4, 30);
  Answer a = port->Command(0x72);
  ExpectWellFormed(a);
  // All but the echoed sequence byte and the check characters that cover it.
  ASSERT_EQ(a.raw.size(), plain.size());
  EXPECT_EQ(a.raw.substr(2, a.raw.size() - 5), plain.substr(2, plain.size() - 5));
  EXPECT_EQ(a.data, "20.00\t9.00\t0.00");
}

TEST_F(SimFaults, SynStormPrecedesEachAnswer) {
  sim->SynStorm(7, 5);
  Answer a = port->Command(0x8E);
  EXPECT_EQ(a.kind, Answer::kAck);
  EXPECT_EQ(a.syns, 7);
  Answer f = port->Command(0xA1);
  EXPECT_EQ(f.syns, 7);
  ExpectWellFormed(f);
}

TEST_F(SimFaults, DelayedReplyComesAfterTheDriversTimeOut) {
  sim->DelayReplies(3500);
  port->Write(Frame(0x20, 0xA1));
  EXPECT_EQ(port->Drain(1000), "");  // nothing early
  Answer late = port->Read(6000);
  ExpectWellFormed(late);
}

TEST_F(SimFaults, PaperOutSetsStatusAndRefusesPrinting) {
  Ok(0x83, "01\t");
  sim->SetPaperOut(true);
  Naked(0x85, "text\t");
  Naked(0x86, "a\tA\t1\t1.00\t");
  Naked(0x8F, "02");
  Answer st = port->Command(0xA1);
  EXPECT_EQ(st.status[0], 0x8C);  // no paper, fiscal receipt open
  Acked(0x8E);                    // the drawer needs no paper
  EXPECT_EQ(Ok(0x72), "20.00\t9.00\t0.00");
  sim->SetPaperOut(false);
  Acked(0x86, "a\tA\t1\t1.00\t");
}

TEST_F(SimFaults, DroppedLineEndsMidReply) {
  sim->DropLineMidReply();
  port->Write(Frame(0x20, 0x72));
  EXPECT_TRUE(port->HungUp(3000));
  EXPECT_TRUE(sim->LineDropped());
  const std::string sent = sim->RawOutput();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0], '\x02');
  EXPECT_EQ(sent.size(), 13u);  // half of the 26-byte reply
}

TEST_F(SimFaults, OverriddenReplyCarriesTheGivenDataAsIs) {
  sim->OverrideReply(0x8A, "1,5\t2");
  sim->OverrideReply(0x8E, "frame instead of ACK");
  sim->OverrideReply(0xA1, std::string("a\x15", 2));
  Ok(0x83, "01\t");
  Acked(0x86, "a\tA\t1\t1.00\t");
  Answer sub = port->Command(0x8A);
  ExpectWellFormed(sub);
  EXPECT_EQ(sub.data, "1,5\t2");
  Answer draw = port->Command(0x8E);
  ExpectWellFormed(draw);
  EXPECT_EQ(draw.data, "frame instead of ACK");
  // Given as is, control bytes included (a driver's reader meets the NAK inside the frame).
  Answer raw = port->Command(0xA1);
  ASSERT_EQ(raw.kind, Answer::kFrame);
  EXPECT_EQ(raw.data, std::string("a\x15", 2));
}

TEST_F(SimFaults, ForcedStatusBytesKeepBitSeven) {
  sim->ForceStatus(0x05, 0x00, 0x7F);
  Answer a = port->Command(0xA1);
  ExpectWellFormed(a);
  EXPECT_EQ(a.status[0], 0x85);
  EXPECT_EQ(a.status[1], 0x80);
  EXPECT_EQ(a.status[2], 0xFF);
  sim->ClearFaults();
  EXPECT_EQ(Status0(), 0x80);
}

}  // namespace
}  // namespace simtest
