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
  const Answer probe = port->Command(0xFF);
  EXPECT_EQ(probe.kind, Answer::kNak);
  EXPECT_EQ(probe.before, "");
  Do(Ok(0xA1));
  const std::string split = Frame(0x20, 0x8F, "02");
  port->Write(split.substr(0, 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(port->Send(split.substr(3)).kind, Answer::kAck);
  port->Write(Frame(0x41, 0xA1) + Frame(0x42, 0x8E));
  const Answer first = port->Read();
  ExpectWellFormed(first);
  EXPECT_EQ(first.raw.substr(1, 3), "\x41\x21\xA1");  // the sequence byte is echoed
  EXPECT_EQ(port->Read().kind, Answer::kAck);
  std::string record;
  for (const auto& r : sim->Frames()) {
    record += r.raw;
    EXPECT_TRUE(r.framed && r.seq == uint8_t(r.raw[1]) && r.cmd == uint8_t(r.raw[3]));
  }
  EXPECT_EQ(record,
            Frame(0xFE, 0xFF) + Frame(0xFF, 0xA1) + split + Frame(0x41, 0xA1) + Frame(0x42, 0x8E));
  EXPECT_EQ(sim->RawInput().substr(0, 6), "\x06\x06xyz\x16");
}

// Unknown commands get NAK; every command of the driver, each in a state where the device takes
// it, gets a bare ACK if the driver awaits one, else a well-formed reply frame without the error.
TEST_F(SimProtocol, EveryCommandGetsTheAnswerTheDriverAwaits) {
  Run({Nak(0x00), Nak(0x50), Nak(0x94), Nak(0xA3), Nak(0xFE), Ack(0x8E), Ack(0x8F, "03"),
       Ack(0x29, "1"), Ack(0x29, "0"), Ack(0xA2, "01;2?"),
       Ack(0x27, "12\tBread\t1.20\t2100000000000000\t10\t"), Ok(0x80), Ack(0x82, "service text\t"),
       Ok(0x81)});
  Run({Ok(0x83, "01\t"), Ack(0x85, "comment\t"), Ack(0x86, "Milk\tB\t2.00\t1.10\t"),
       Ack(0x87, "12\t1.00\t2.50\t"), Ack(0x88, "3\t1\t2.5\t"), Ack(0x89, "S1.00\t"), Ok(0x8A),
       Ack(0x8C), Ok(0x83, "01\t"), Ack(0x87, "1\t1.00\t1.20\t"), Ok(0x8B, "01"), Ok(0x84),
       Ack(0x90)});
  Run({Ok(0x8D, "03\t01100.00\t"), Ok(0x91), Ok(0x92), Ok(0x93), Ok(0xA0), Ok(0xA1), Ok(0x72),
       Ok(0x76, "01"), Ok(0x77, "R 5\t"), Ok(0x54)});
  Run({Ack(0x9A), Ack(0x9B), Ack(0x9C), Ok(0x99)});
}

// A bad check character, end byte, header byte or length byte, and a frame that stalls because
// its length byte promises one byte more than comes.
TEST_F(SimProtocol, MalformedFramesGetNakAndTheNextGoodFrameIsServed) {
  const std::string good = Frame(0x30, 0x8F, "03");
  std::string bad_check = good, no_etx = good, bad_header = good, stalled = good;
  bad_check[good.size() - 2] ^= 1;
  no_etx.back() = '\x04';
  bad_header[2] = 0x22;
  bad_header.replace(good.size() - 3, 2, Check(bad_header.substr(1, good.size() - 4)));
  stalled[4] = 0x23;
  for (const std::string& bytes :
       {bad_check, no_etx, bad_header, std::string("\x02\x30\x21\x8F\x1F"), stalled}) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    sim->ClearRecord();
    port->Write(bytes);
    EXPECT_EQ(port->Read().kind, Answer::kNak);
    ASSERT_EQ(sim->Frames().size(), 1u);
    EXPECT_FALSE(sim->Frames()[0].framed);
    port->Drain(50);
    Do(Ack(0x8F, "01"));
  }
}

TEST_F(SimProtocol, ReplyHeaderAndDataNeverCarryControlBytes) {
  port->Write(Frame(0x03, 0xA1));  // a sequence byte equal to ETX is not echoed as it is
  const Answer a = port->Read();
  ExpectWellFormed(a);
  EXPECT_EQ(a.raw[1], '\x20');
  port->Write("\x06");
  Do(Ack(0x27, "77\tA\x03\x06\x15\x16Z\t1.00\t1000000000000000\t1\t"));
  EXPECT_EQ(Do(Ok(0x77, "R 77\t")).substr(0, 10), "77\tA????Z\t");
}

TEST_F(SimProtocol, StopReturnsWhileAReportIsRunning) {
  Begin(600000, 50);  // a report far beyond the test's time limit
  port->Write(Frame(0x20, 0x99));
  std::string got;
  while (got.empty()) got = port->Drain(200);
  EXPECT_EQ(got[0], '\x16');
  sim->Stop();
}

}  // namespace
}  // namespace simtest
