// The line protocol as the driver meets it: probe, ACK or reply frame per command, malformed
// frames, the bytes the driver writes back, and the reply layout.
#include <thread>

#include "sim_fixture.h"

namespace simtest {
namespace {

using SimProtocol = SimTest;

// The probe, noise and the driver's ACKs between frames, sequence bytes up to the wrap, a frame
// split across writes and two frames in one write: each frame is served and recorded once, and
// nothing else is taken for a frame.
TEST_F(SimProtocol, ProbeNoiseAndSplitOrJoinedFramesAreReadAsTheDriverMeansThem) {
  port->seq = 0xFE;
  port->Write("\x06\x06xyz\x16");
  const Reply probe = port->Request(Command::kProbe);
  EXPECT_EQ(probe.kind, Answer::kNak);
  EXPECT_EQ(probe.before, "");
  Do(Ok(Command::kGetStatus));
  const std::string split = Frame(0x20, Command::kPaperFeed, "02");
  port->Write(split.substr(0, 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(port->Send(split.substr(3)).kind, Answer::kAck);
  port->Write(Frame(0x41, Command::kGetStatus) + Frame(0x42, Command::kOpenDraw));
  const Reply first = port->Read();
  ExpectWellFormed(first);
  EXPECT_EQ(first.raw.substr(1, 2), "\x41\x21");  // the sequence byte is echoed
  EXPECT_EQ(uint8_t(first.raw[3]), Code(Command::kGetStatus));
  EXPECT_EQ(port->Read().kind, Answer::kAck);
  std::string record;
  for (const auto& r : sim->Frames()) {
    record += r.raw;
    EXPECT_TRUE(r.framed && r.seq == uint8_t(r.raw[1]) && r.cmd == uint8_t(r.raw[3]));
  }
  EXPECT_EQ(record, Frame(0xFE, Command::kProbe) + Frame(0xFF, Command::kGetStatus) + split +
                        Frame(0x41, Command::kGetStatus) + Frame(0x42, Command::kOpenDraw));
  EXPECT_EQ(sim->RawInput().substr(0, 6), "\x06\x06xyz\x16");
}

// Codes the device does not know; a bad check character, end byte, header byte or length byte,
// and a frame that stalls because its length byte promises one byte more than comes.
TEST_F(SimProtocol, UnknownCommandsAndMalformedFramesGetNakAndTheNextGoodFrameIsServed) {
  Run({Nak(Command{0x00}), Nak(Command{0x50}), Nak(Command{0x94}), Nak(Command{0xA3}),
       Nak(Command{0xFE})});
  const std::string good = Frame(0x30, Command::kPaperFeed, "03");
  std::string bad_check = good, no_etx = good, bad_header = good, stalled = good;
  bad_check[good.size() - 2] ^= 1;
  no_etx.back() = '\x04';
  bad_header[2] = 0x22;
  bad_header.replace(good.size() - 3, 2, Check(bad_header.substr(1, good.size() - 4)));
  stalled[4] = 0x23;
  for (const std::string& bytes :
       {bad_check, no_etx, bad_header, good.substr(0, 4) + "\x1F", stalled}) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    sim->ClearRecord();
    port->Write(bytes);
    EXPECT_EQ(port->Read().kind, Answer::kNak);
    ASSERT_EQ(sim->Frames().size(), 1u);
    EXPECT_FALSE(sim->Frames()[0].framed);
    port->Drain(50);
    Do(Ack(Command::kPaperFeed, "01"));
  }
}

TEST_F(SimProtocol, ReplyHeaderAndDataNeverCarryControlBytes) {
  port->Write(
      Frame(0x03, Command::kGetStatus));  // a sequence byte equal to ETX is not echoed as it is
  const Reply a = port->Read();
  ExpectWellFormed(a);
  EXPECT_EQ(a.raw[1], '\x20');
  port->Write("\x06");
  Do(Ack(Command::kSetArticle, "77\tA\x03\x06\x15\x16Z\t1.00\t1000000000000000\t1\t"));
  EXPECT_EQ(Do(Ok(Command::kGetArticle, "R 77\t")).substr(0, 10), "77\tA????Z\t");
}

TEST_F(SimProtocol, StopReturnsWhileAReportIsRunning) {
  Begin(600000, 50);  // a report far beyond the test's time limit
  port->Write(Frame(0x20, Command::kZDay));
  std::string got;
  for (int i = 0; i < 25 && got.empty(); ++i) got = port->Drain(200);  // at most 5 s
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], '\x16');
  sim->Stop();
}

}  // namespace
}  // namespace simtest
