// SendFrame and ReadReply against a scripted device on a real pseudo-terminal.
#include "protocol/exchange.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "protocol/frame.h"
#include "protocol/helper.h"
#include "support/helpers.h"
#include "support/pty.h"

namespace nev::protocol {
namespace {

using nevtest::Bytes;

// A device reply: STX, three header bytes, LEN, data, status bytes, two check characters, ETX.
std::string ReplyFrame(const std::string& data, const std::string& status = "\x80\x81\x82") {
  return std::string(1, STX) + "\x20\x21\x90" + static_cast<char>(0x20 + data.size()) + data +
         status + "00" + ETX;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TimeoutInterval() = 3000;
    link_.host = std::make_unique<frmMain>();
    link_.host->Com().Open(pty_.slave_path(), "9600,n,8,1");
    link_.status_bytes = {1, 2, 3, 4};
    frame_ = BuildFrame(link_.sequence, 0x90, "payload");
  }
  void TearDown() override { peer_.Stop(); }

  Reply Exchange(char terminator) {
    EXPECT_TRUE(SendFrame(link_, frame_));
    Reply reply = ReadReply(link_, terminator);
    EXPECT_FALSE(link_.reply_busy);
    return reply;
  }
  std::vector<std::string> Shown() { return messages_.Take(); }
  // Everything the driver wrote, once it amounts to `count` bytes.
  std::string Wire(std::size_t count) {
    EXPECT_TRUE(peer_.WaitReceived(count));
    return peer_.Received();
  }

  nevtest::PtyPair pty_;
  nevtest::ScriptedPeer peer_{pty_.master()};
  nevtest::MessageRecorder messages_;
  Link link_;
  std::string frame_;
  const std::array<uint8_t, 4> kInitialStatus{1, 2, 3, 4};
};

TEST_F(ExchangeTest, AckOrAReplyFrameAfterAnEarlierAckAnswersTheCommand) {
  // ACK first (ignored while waiting for ETX), noise before the STX, then the reply frame.
  peer_.ExpectUntil(ETX)
      .Write("\x06")
      .ExpectUntil(ETX)
      .Write("\x06xy")
      .Delay(20)
      .Write(ReplyFrame("a\tb"))
      .Start();
  Reply reply = Exchange(ACK);
  EXPECT_EQ(reply.end, WaitEnd::kTerminator);
  EXPECT_TRUE(reply.ok());
  EXPECT_FALSE(reply.framed);
  EXPECT_EQ(reply.data, "");
  EXPECT_EQ(link_.status_bytes, kInitialStatus);

  reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kTerminator);
  EXPECT_TRUE(reply.framed);
  EXPECT_EQ(reply.data, "a\tb");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x80, 0x81, 0x82, 4}));
  // One ACK written back for each answer.
  EXPECT_EQ(Wire(2 * frame_.size() + 2), frame_ + "\x06" + frame_ + "\x06");
  EXPECT_TRUE(Shown().empty());
}

TEST_F(ExchangeTest, DataByLengthByteAndStatusFromTheEndEvenWhenTheLengthIsWrong) {
  peer_.ExpectUntil(ETX)
      .Write(Bytes("02 41 42 43 23") + "def" + Bytes("11 12 13") + "55" + ETX)
      .ExpectUntil(ETX)
      .Write(ReplyFrame("", "\x21\x22\x23"))
      .ExpectUntil(ETX)
      .Write(Bytes("02 20 21 90 7F") + "ab123" + "00" + ETX)
      .ExpectUntil(ETX)
      .Write(Bytes("02 20 21 90 1F") + "aABC00" + ETX)
      .ExpectUntil(ETX)
      .Write(Bytes("02 20 03"))  // too short for a length byte or status bytes
      .Start();
  // The layout case: LEN 0x23, three data bytes, status at positions 9, 10 and 11.
  Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.data, "def");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x11, 0x12, 0x13, 4}));

  // LEN 0x20: no data, the status bytes all the same.
  reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kTerminator);
  EXPECT_EQ(reply.data, "");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x21, 0x22, 0x23, 4}));

  // A length beyond the frame takes what there is, up to and including the terminator.
  reply = Exchange(ETX);
  EXPECT_EQ(reply.data, "ab12300" + std::string(1, ETX));
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x31, 0x32, 0x33, 4}));

  // A length byte below 0x20 gives no data; the status bytes are still taken.
  reply = Exchange(ETX);
  EXPECT_EQ(reply.data, "");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x41, 0x42, 0x43, 4}));

  // Three collected bytes: positions L-5.. lie before the start, so nothing changes.
  reply = Exchange(ETX);
  EXPECT_TRUE(reply.ok());
  EXPECT_TRUE(reply.framed);
  EXPECT_EQ(reply.data, "");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x41, 0x42, 0x43, 4}));
  EXPECT_TRUE(Shown().empty());
}

TEST_F(ExchangeTest, BytesAfterTheTerminatorAreDiscarded) {
  const std::string second = BuildFrame(link_.sequence, 0x91, "");
  peer_.ExpectUntil(ETX)
      .Write(ReplyFrame("one") + "garbage" + ReplyFrame("stale"))
      .ExpectUntil(ETX)
      .Write(ReplyFrame("two"))
      .Start();
  EXPECT_EQ(Exchange(ETX).data, "one");
  link_.host->Com().SetInputLen(0);
  EXPECT_EQ(link_.host->Com().Input(), "");  // the next command starts with an empty input

  frame_ = second;
  EXPECT_EQ(Exchange(ETX).data, "two");
}

TEST_F(ExchangeTest, NakBeforeOrInsideAFrameRejectsTheCommand) {
  peer_.ExpectUntil(ETX)
      .Write(NAK + ReplyFrame("late"))
      .ExpectUntil(ETX)
      .Write(Bytes("02 20 21 90 23 61 15 63 01 02 03 30 30 03"))
      .Start();
  for (int i = 0; i < 2; ++i) {
    const Reply reply = Exchange(ETX);
    EXPECT_EQ(reply.end, WaitEnd::kNak);
    EXPECT_EQ(reply.data, "");
    EXPECT_EQ(link_.status_bytes, kInitialStatus);
  }
  EXPECT_EQ(Shown(), (std::vector<std::string>{"Грешна команда!", "Грешна команда!"}));
  EXPECT_EQ(Wire(2 * frame_.size()), frame_ + frame_);  // a refusal is not acknowledged
}

TEST_F(ExchangeTest, NestedWaitFromAnEventReturnsAtOnce) {
  Reply nested;
  bool nested_ran = false;
  platform::PostEvent([&] {
    nested = ReadReply(link_, ETX);
    nested_ran = true;
    EXPECT_TRUE(link_.reply_busy);  // still owned by the outer wait
  });
  peer_.ExpectUntil(ETX).Delay(50).Write(ReplyFrame("outer")).Start();
  const Reply outer = Exchange(ETX);
  EXPECT_TRUE(nested_ran);
  EXPECT_EQ(nested.end, WaitEnd::kBusy);
  EXPECT_EQ(nested.data, "");
  EXPECT_EQ(outer.end, WaitEnd::kTerminator);
  EXPECT_EQ(outer.data, "outer");
  EXPECT_TRUE(Shown().empty());
}

TEST_F(ExchangeTest, NoPortReportsOnceAndDoesNotWait) {
  link_.host->Com().Close();
  EXPECT_FALSE(SendFrame(link_, frame_));
  EXPECT_EQ(ReadReply(link_, ETX).end, WaitEnd::kNoPort);  // would sit out the time-out if waiting
  EXPECT_EQ(Shown(), std::vector<std::string>{"COM Port Error!"});

  // The connection closed by an event during the wait: the wait ends, nothing more is shown.
  link_.host->Com().Open(pty_.slave_path(), "9600,n,8,1");
  platform::PostEvent([&] { link_.host.reset(); });
  peer_.Start();
  EXPECT_EQ(Exchange(ETX).end, WaitEnd::kNoPort);
  EXPECT_TRUE(Shown().empty());

  EXPECT_FALSE(SendFrame(link_, frame_));  // no connection at all
  EXPECT_EQ(ReadReply(link_, ACK).end, WaitEnd::kNoPort);
  EXPECT_FALSE(link_.reply_busy);
  EXPECT_EQ(Shown(), std::vector<std::string>{"COM Port Error!"});
  EXPECT_EQ(link_.status_bytes, kInitialStatus);
}

TEST_F(ExchangeTest, SilenceOrDataBytesWithoutSynTimeOutOnce) {
  TimeoutInterval() = 600;  // the real 3 s is waited out by the SYN test and the link tests
  // First silence; then bytes every 150 ms but no SYN: the whole answer must come within 600 ms.
  peer_.ExpectUntil(ETX).ExpectUntil(ETX);
  for (char c : ReplyFrame("slow-data")) peer_.Delay(150).Write(std::string(1, c));
  peer_.Start();
  for (int i = 0; i < 2; ++i) {
    const Reply reply = Exchange(ETX);
    EXPECT_EQ(reply.end, WaitEnd::kTimeout);
    EXPECT_EQ(reply.data, "");
    EXPECT_EQ(Shown(), (std::vector<std::string>{"RS232 Time out!"}));
    EXPECT_EQ(link_.status_bytes, kInitialStatus);
  }
  EXPECT_EQ(peer_.Received(), frame_ + frame_);  // nothing acknowledged
}

// Waits 4 s: the reply comes 4000 ms after the command, 2000 ms after the last SYN.
TEST_F(ExchangeTest, SynEvery2000MsKeepsTheWaitAlive) {
  peer_.ExpectUntil(ETX)
      .Delay(2000)
      .Write(std::string(1, SYN))
      .Delay(2000)
      .Write(ReplyFrame("ok", "\x05\x06\x07"))
      .Start();
  const Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kTerminator);
  EXPECT_EQ(reply.data, "ok");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{5, 6, 7, 4}));
  EXPECT_TRUE(Shown().empty());
}

}  // namespace
}  // namespace nev::protocol
