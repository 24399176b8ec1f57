// SendFrame and ReadReply against a scripted device on a real pseudo-terminal.
#include "protocol/exchange.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "nev/message.h"
#include "platform/event_loop.h"
#include "protocol/frame.h"
#include "protocol/helper.h"
#include "support/pty.h"

namespace nev::protocol {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// A device reply: STX, three header bytes, LEN, data, status bytes, two check characters, ETX.
std::string ReplyFrame(const std::string& data, const std::string& status = "\x80\x81\x82") {
  return std::string(1, STX) + "\x20\x21\x90" + static_cast<char>(0x20 + data.size()) + data +
         status + "00" + ETX;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_shared<RecordingSink>();
    SetMessageSink(sink_);
    TimeoutInterval() = 3000;
    link_.host = std::make_unique<frmMain>();
    link_.host->Com().Open(pty_.slave_path(), "9600,n,8,1");
    link_.status_bytes = {1, 2, 3, 4};
    frame_ = BuildFrame(link_.sequence, 0x90, "payload");
  }
  void TearDown() override {
    peer_.Stop();
    SetMessageSink(nullptr);
  }

  Reply Exchange(char terminator) {
    EXPECT_TRUE(SendFrame(link_, frame_));
    Reply reply = ReadReply(link_, terminator);
    EXPECT_FALSE(link_.reply_busy);
    return reply;
  }
  std::vector<std::string> Shown() const {
    std::vector<std::string> texts;
    for (const auto& m : sink_->messages) {
      EXPECT_EQ(m.style, kStyleCritical);
      EXPECT_EQ(m.title, "НЕВ COM Сървър");
      texts.push_back(m.text);
    }
    return texts;
  }
  // Everything the driver wrote, once it amounts to `count` bytes.
  std::string Wire(std::size_t count) {
    EXPECT_TRUE(peer_.WaitReceived(count));
    return peer_.Received();
  }

  nevtest::PtyPair pty_;
  nevtest::ScriptedPeer peer_{pty_.master()};
  std::shared_ptr<RecordingSink> sink_;
  Link link_;
  std::string frame_;
  const std::array<uint8_t, 4> kInitialStatus{1, 2, 3, 4};
};

TEST_F(ExchangeTest, AckAnswersACommandAwaitedWithAck) {
  peer_.ExpectUntil(ETX).Write(Bytes({ACK})).Start();
  const Reply reply = Exchange(ACK);
  EXPECT_EQ(reply.end, WaitEnd::kTerminator);
  EXPECT_TRUE(reply.ok());
  EXPECT_FALSE(reply.framed);
  EXPECT_EQ(reply.data, "");
  EXPECT_EQ(link_.status_bytes, kInitialStatus);
  EXPECT_EQ(Wire(frame_.size() + 1), frame_ + Bytes({ACK}));  // one ACK written back
  EXPECT_TRUE(Shown().empty());
}

TEST_F(ExchangeTest, ReplyFrameGivesDataAndStatusAfterAnEarlierAck) {
  // ACK first (ignored while waiting for ETX), noise before the STX, then the reply frame.
  peer_.ExpectUntil(ETX).Write(Bytes({ACK, 'x', 'y'})).Delay(20).Write(ReplyFrame("a\tb")).Start();
  const Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kTerminator);
  EXPECT_TRUE(reply.framed);
  EXPECT_EQ(reply.data, "a\tb");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x80, 0x81, 0x82, 4}));
  EXPECT_EQ(Wire(frame_.size() + 1), frame_ + Bytes({ACK}));
  EXPECT_TRUE(Shown().empty());
}

TEST_F(ExchangeTest, DataByLengthByteAndStatusFromTheEnd) {
  // The layout case: LEN 0x23, three data bytes, status at positions 9, 10 and 11.
  peer_.ExpectUntil(ETX)
      .Write(Bytes({STX, 0x41, 0x42, 0x43, 0x23, 'd', 'e', 'f', 0x11, 0x12, 0x13, '5', '5', ETX}))
      .Start();
  Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.data, "def");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x11, 0x12, 0x13, 4}));
}

TEST_F(ExchangeTest, LengthBytesThatDoNotMatchTheFrame) {
  peer_.ExpectUntil(ETX)
      .Write(ReplyFrame("", "\x21\x22\x23"))  // LEN 0x20: no data, status all the same
      .ExpectUntil(ETX)
      .Write(Bytes({STX, 0x20, 0x21, 0x90, 0x7F, 'a', 'b', 0x31, 0x32, 0x33, '0', '0', ETX}))
      .ExpectUntil(ETX)
      .Write(Bytes({STX, 0x20, 0x21, 0x90, 0x1F, 'a', 0x41, 0x42, 0x43, '0', '0', ETX}))
      .ExpectUntil(ETX)
      .Write(Bytes({STX, 0x20, ETX}))  // too short for a length byte or status bytes
      .Start();

  Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kTerminator);
  EXPECT_EQ(reply.data, "");
  EXPECT_EQ(link_.status_bytes, (std::array<uint8_t, 4>{0x21, 0x22, 0x23, 4}));

  // A length beyond the frame takes what there is, up to and including the terminator.
  reply = Exchange(ETX);
  EXPECT_EQ(reply.data, Bytes({'a', 'b', 0x31, 0x32, 0x33, '0', '0', ETX}));
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
      .Write(Bytes({NAK}) + ReplyFrame("late"))
      .ExpectUntil(ETX)
      .Write(Bytes({STX, 0x20, 0x21, 0x90, 0x23, 'a', NAK, 'c', 1, 2, 3, '0', '0', ETX}))
      .Start();
  for (int i = 0; i < 2; ++i) {
    const Reply reply = Exchange(ETX);
    EXPECT_EQ(reply.end, WaitEnd::kNak);
    EXPECT_EQ(reply.data, "");
    EXPECT_EQ(link_.status_bytes, kInitialStatus);
  }
  EXPECT_EQ(Shown(), (std::vector<std::string>{"Грешна команда!", "Грешна команда!"}));
  EXPECT_TRUE(peer_.WaitDone());
  EXPECT_EQ(peer_.Received(), frame_ + frame_);  // a refusal is not acknowledged
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
  Reply reply = ReadReply(link_, ETX);  // would sit out the time-out if it waited
  EXPECT_EQ(reply.end, WaitEnd::kNoPort);

  link_.host.reset();
  EXPECT_FALSE(SendFrame(link_, frame_));
  reply = ReadReply(link_, ACK);
  EXPECT_EQ(reply.end, WaitEnd::kNoPort);
  EXPECT_FALSE(link_.reply_busy);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"COM Port Error!", "COM Port Error!"}));
  EXPECT_EQ(link_.status_bytes, kInitialStatus);
}

TEST_F(ExchangeTest, ConnectionClosedByAnEventEndsTheWait) {
  platform::PostEvent([&] { link_.host.reset(); });
  peer_.Start();
  const Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kNoPort);
  EXPECT_TRUE(Shown().empty());
}

TEST_F(ExchangeTest, DataBytesDoNotRestartTheTimeout) {
  TimeoutInterval() = 600;
  // Bytes keep coming every 150 ms, but no SYN: the whole answer must come within 600 ms.
  peer_.ExpectUntil(ETX);
  for (char c : ReplyFrame("slow-data")) peer_.Delay(150).Write(std::string(1, c));
  peer_.Start();
  const Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kTimeout);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"RS232 Time out!"}));
  EXPECT_EQ(link_.status_bytes, kInitialStatus);
}

// The two tests below wait out real 3000 ms time-outs.
TEST_F(ExchangeTest, SilenceTimesOutOnce) {
  peer_.Start();
  const Reply reply = Exchange(ETX);
  EXPECT_EQ(reply.end, WaitEnd::kTimeout);
  EXPECT_EQ(reply.data, "");
  EXPECT_EQ(Shown(), (std::vector<std::string>{"RS232 Time out!"}));
  EXPECT_EQ(link_.status_bytes, kInitialStatus);
  EXPECT_EQ(peer_.Received(), frame_);  // nothing acknowledged
}

TEST_F(ExchangeTest, SynEvery2000MsKeepsTheWaitAlive) {
  // The reply comes 4000 ms after the command, 2000 ms after the last SYN.
  peer_.ExpectUntil(ETX)
      .Delay(2000)
      .Write(Bytes({SYN}))
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
