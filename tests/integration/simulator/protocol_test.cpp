// The line protocol as the driver meets it: probe, ACK or reply frame per command, malformed
// frames, the bytes the driver writes back, and the reply layout.
#include <algorithm>
#include <thread>

#include "sim_fixture.h"

namespace simtest {
namespace {

using SimProtocol = SimTest;

TEST_F(SimProtocol, ProbeIsAnsweredWithNakAndRecorded) {
  Answer a = port->Command(0xFF);
  EXPECT_EQ(a.kind, Answer::kNak);
  EXPECT_TRUE(a.before.empty());
  ASSERT_TRUE(sim->WaitForFrames(1, 1000));
  auto frames = sim->Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].framed);
  EXPECT_EQ(frames[0].cmd, 0xFF);
  EXPECT_EQ(frames[0].seq, 0x20);
  EXPECT_EQ(frames[0].raw, Frame(0x20, 0xFF));
}

// Every command of the driver, each in a state where the device takes it: those the driver
// awaits with ACK get a bare ACK, the others a well-formed reply frame without the error bit.
TEST_F(SimProtocol, EveryKnownCommandGetsTheAnswerTheDriverAwaits) {
  Acked(0x8E);
  Acked(0x8F, "03");
  Acked(0x29, "1");
  Acked(0x29, "0");
  Acked(0xA2, "01;2?");
  Acked(0x27, "12\tBread\t1.20\t2100000000000000\t10\t");
  Ok(0x80);
  Acked(0x82, "service text\t");
  Ok(0x81);
  Ok(0x83, "01\t");
  Acked(0x85, "comment\t");
  Acked(0x86, "Milk\tB\t2.00\t1.10\t");
  Acked(0x87, "12\t1.00\t2.50\t");
  Acked(0x88, "3\t1\t2.5\t");
  Acked(0x89, "S1.00\t");
  Ok(0x8A);
  Acked(0x8C);
  Ok(0x83, "01\t");
  Acked(0x87, "1\t1.00\t1.20\t");
  Ok(0x8B, "01");
  Ok(0x84);
  Acked(0x90);
  Ok(0x8D, "03\t01100.00\t");
  Ok(0x91);
  Ok(0x92);
  Ok(0x93);
  Ok(0xA0);
  Ok(0xA1);
  Ok(0x72);
  Ok(0x76, "01");
  Ok(0x77, "R 5\t");
  Ok(0x54, "");
  Answer n = port->Next();
  ExpectWellFormed(n);
  EXPECT_FALSE(n.error());
  EXPECT_EQ(port->Command(0x9A).kind, Answer::kAck);
  EXPECT_EQ(port->Command(0x9B).kind, Answer::kAck);
  EXPECT_EQ(port->Command(0x9C).kind, Answer::kAck);
  Ok(0x99);
  // The ACKs written back after each answer were not taken for commands.
  for (const auto& r : sim->Frames()) EXPECT_NE(r.raw, "\x06");
}

TEST_F(SimProtocol, UnknownCommandsGetNak) {
  for (uint8_t cmd : {0x00, 0x50, 0x94, 0xA3, 0xFE}) Naked(cmd);
  // The device still answers afterwards.
  Ok(0xA1);
}

TEST_F(SimProtocol, MalformedFramesGetNakAndTheNextGoodFrameIsServed) {
  const std::string good = Frame(0x30, 0x8F, "03");
  std::string bad_check = good;
  bad_check[good.size() - 2] ^= 1;
  std::string no_etx = good;
  no_etx.back() = '\x04';
  std::string bad_header = good;
  bad_header[2] = 0x22;
  bad_header.replace(good.size() - 3, 2, Check(bad_header.substr(1, good.size() - 4)));
  const std::string short_len = "\x02\x30\x21\x8F\x1F";
  // The length byte promises one byte more than comes: the frame stalls and is given up.
  std::string stalled = good;
  stalled[4] = 0x23;
  struct Case {
    const char* name;
    std::string bytes;
  };
  for (const Case& c :
       {Case{"checksum", bad_check}, Case{"ETX", no_etx}, Case{"header", bad_header},
        Case{"length below 0x20", short_len}, Case{"stalled", stalled}}) {
    SCOPED_TRACE(c.name);
    sim->ClearRecord();
    port->Write(c.bytes);
    EXPECT_EQ(port->Read().kind, Answer::kNak);
    auto frames = sim->Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].framed);
    port->Drain(50);
    Acked(0x8F, "01");
  }
}

TEST_F(SimProtocol, DriverAcksAndNoiseBetweenFramesAreNotCommands) {
  port->Write("\x06\x06xyz\x16");
  Ok(0xA1);
  port->Write(std::string("\x06", 1));
  Acked(0x8E);
  const std::string last = Frame(port->seq, 0x72);
  Ok(0x72);
  auto frames = sim->Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].cmd, 0xA1);
  EXPECT_EQ(frames[1].cmd, 0x8E);
  EXPECT_EQ(frames[2].cmd, 0x72);
  // Before the last frame: the bytes written ahead, and one ACK after each of two answers.
  const std::string raw = sim->RawInput();
  const std::string ahead = raw.substr(0, raw.find(last));
  EXPECT_EQ(ahead.substr(0, 6), "\x06\x06xyz\x16");
  EXPECT_EQ(std::count(ahead.begin(), ahead.end(), '\x06'), 5);
}

TEST_F(SimProtocol, FramesSplitAcrossWritesOrSharingOneWriteAreEachServed) {
  const std::string f = Frame(0x40, 0x8F, "02");
  port->Write(f.substr(0, 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  port->Write(f.substr(3));
  EXPECT_EQ(port->Read().kind, Answer::kAck);
  port->Write(Frame(0x41, 0xA1) + Frame(0x42, 0x8E));
  Answer first = port->Read();
  ExpectWellFormed(first);
  EXPECT_EQ(first.raw[1], '\x41');  // the sequence byte is echoed
  EXPECT_EQ(first.raw[3], '\xA1');
  EXPECT_EQ(port->Read().kind, Answer::kAck);
}

TEST_F(SimProtocol, ReplyHeaderAndDataNeverCarryControlBytes) {
  // A hostile sequence byte is not echoed as a control byte.
  port->Write(Frame(0x03, 0xA1));
  Answer a = port->Read();
  ExpectWellFormed(a);
  EXPECT_EQ(a.raw[1], '\x20');
  port->Write("\x06");
  // An article name holding ETX, ACK, NAK and SYN comes back without them.
  Acked(0x27, std::string("77\tA\x03\x06\x15\x16Z\t1.00\t1000000000000000\t1\t"));
  Answer art = port->Command(0x77, "R 77\t");
  ExpectWellFormed(art);
  EXPECT_EQ(art.data.substr(0, 10), "77\tA????Z\t");
}

TEST_F(SimProtocol, StatusByteZeroFollowsTheReceipts) {
  EXPECT_EQ(Status0(), 0x80);
  Ok(0x83, "01\t");
  EXPECT_EQ(Status0(), 0x88);
  Acked(0x8C);
  Ok(0x80);
  EXPECT_EQ(Status0(), 0x90);
  Ok(0x81);
  sim->SetPaperOut(true);
  EXPECT_EQ(Status0(), 0x84);
  Answer refused = port->Command(0x80);
  EXPECT_EQ(refused.status[0], 0x85);  // general error on the refused command only
  EXPECT_EQ(Status0(), 0x84);
}

TEST_F(SimProtocol, SequenceBytesWrapAndEveryFrameIsRecorded) {
  port->seq = 0xFE;
  Acked(0x8E);
  Acked(0x8E);
  Acked(0x8E);
  auto frames = sim->Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].seq, 0xFE);
  EXPECT_EQ(frames[1].seq, 0xFF);
  EXPECT_EQ(frames[2].seq, 0x20);
}

TEST_F(SimProtocol, PacedLineStillServesWholeAnswers) {
  nevsim::Options o = Quick();
  o.baud = 19200;
  Begin(o);
  EXPECT_EQ(port->Command(0xFF).kind, Answer::kNak);
  EXPECT_EQ(Ok(0x72), "20.00\t9.00\t0.00");
  Acked(0x8F, "01");
}

TEST_F(SimProtocol, StopReturnsWhileAReportIsRunning) {
  nevsim::Options o;
  o.long_op_ms = 600000;  // far beyond the test's time limit
  o.syn_interval_ms = 50;
  Begin(o);
  port->Write(Frame(0x20, 0x99));
  std::string got = port->Drain(200);
  while (got.empty()) got = port->Drain(200);
  EXPECT_EQ(got[0], '\x16');
  sim->Stop();
  EXPECT_EQ(sim->Frames().size(), 1u);
}

}  // namespace
}  // namespace simtest
