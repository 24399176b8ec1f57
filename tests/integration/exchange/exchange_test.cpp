// SendFrame and ReadReply against a scripted device on a real pseudo-terminal.
#include "protocol/exchange.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "nev/message.h"
#include "platform/event_loop.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/helper.h"
#include "support/helpers.h"
#include "support/pty.h"

namespace nev::protocol {
namespace {

using nevtest::Bytes;
using Texts = std::vector<std::string>;

// A device reply: STX, three header bytes, LEN, data, status bytes, two check characters, ETX.
std::string ReplyFrame(const std::string& data, const std::string& status = "\x80\x81\x82") {
  return std::string(1, STX) + "\x20\x21" + static_cast<char>(Code(Command::kDuplicate)) +
         static_cast<char>(0x20 + data.size()) + data + status + "00" + ETX;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TimeoutInterval() = 3000;
    link_.host = std::make_unique<frmMain>();
    link_.host->Com().Open(pty_.slave_path(), "9600,n,8,1");
    link_.status_bytes = {1, 2, 3, 4};
    frame_ = BuildFrame(link_.sequence, Code(Command::kDuplicate), "payload");
  }
  void TearDown() override { peer_.Stop(); }

  Reply Exchange(char terminator = ETX) {
    EXPECT_TRUE(SendFrame(link_, frame_));
    Reply reply = ReadReply(link_, terminator);
    EXPECT_FALSE(link_.reply_busy);
    return reply;
  }
  std::string Status() const {
    return nevtest::Hex(std::string(link_.status_bytes.begin(), link_.status_bytes.end()));
  }

  nevtest::PtyPair pty_;
  nevtest::ScriptedPeer peer_{pty_.master()};
  nevtest::MessageRecorder messages_;
  Link link_;
  std::string frame_;
};

// One command after another, each answered in its own way. Status bytes 1 to 3 come from the end
// of a completed frame; byte 4 is never touched.
TEST_F(ExchangeTest, AnswersOfEveryShape) {
  constexpr WaitEnd kOk = WaitEnd::kTerminator, kNak = WaitEnd::kNak;
  const struct {
    char terminator;
    std::vector<std::string> pieces;  // written 20 ms apart
    WaitEnd end;
    std::string data, status;
  } cases[] = {
      // A bare ACK; then ACK and noise, ignored while waiting for ETX, before the frame.
      {ACK, {"\x06"}, kOk, "", "01 02 03"},
      {ETX, {"\x06xy", ReplyFrame("a\tb")}, kOk, "a\tb", "80 81 82"},
      // LEN 0x23: three data bytes, status at positions 9 to 11. LEN 0x20: no data.
      {ETX, {Bytes("02 41 42 43 23 64 65 66 11 12 13 35 35 03")}, kOk, "def", "11 12 13"},
      {ETX, {ReplyFrame("", "\x21\x22\x23")}, kOk, "", "21 22 23"},
      // Frames too short for their own layout (a length beyond the frame, one below 0x20, fewer
      // than 11 bytes, a bare STX ETX) are no answer: the real reply behind them is taken.
      {ETX,
       {Bytes("02 20 21 90 7F 61 62 31 32 33 30 30 03"), ReplyFrame("r1", "\x31\x32\x33")},
       kOk,
       "r1",
       "31 32 33"},
      {ETX,
       {Bytes("02 20 21 90 1F 61 41 42 43 30 30 03") + ReplyFrame("r2", "\x41\x42\x43")},
       kOk,
       "r2",
       "41 42 43"},
      {ETX, {Bytes("02 20 03 02 03"), ReplyFrame("r3", "\x41\x42\x43")}, kOk, "r3", "41 42 43"},
      // Bytes after the terminator are discarded.
      {ETX, {ReplyFrame("one") + "garbage" + ReplyFrame("stale")}, kOk, "one", "80 81 82"},
      {ETX, {ReplyFrame("two", "\x51\x52\x53")}, kOk, "two", "51 52 53"},
      // NAK before or inside a frame.
      {ETX, {NAK + ReplyFrame("late")}, kNak, "", "51 52 53"},
      {ETX, {Bytes("02 20 21 90 23 61 15 63 01 02 03 30 30 03")}, kNak, "", "51 52 53"},
  };
  std::string wire;  // an answer is acknowledged, a refusal is not
  for (const auto& c : cases) {
    peer_.ExpectUntil(ETX);
    for (const std::string& piece : c.pieces) peer_.Write(piece).Delay(20);
    wire += frame_ + (c.end == kOk ? "\x06" : "");
  }
  peer_.Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(nevtest::Hex(c.pieces.back()));
    const Reply reply = Exchange(c.terminator);
    EXPECT_EQ(reply.end, c.end);
    EXPECT_EQ(reply.framed, c.end == kOk && c.terminator == ETX);
    EXPECT_EQ(reply.data, c.data);
    EXPECT_EQ(Status(), c.status + " 04");
    EXPECT_EQ(messages_.Take(), c.end == kNak ? Texts{"Грешна команда!"} : Texts{});
  }
  EXPECT_TRUE(peer_.WaitReceived(wire.size()));
  EXPECT_EQ(peer_.Received(), wire);
}

// Waits that cannot proceed end at once instead of sitting out the time-out.
TEST_F(ExchangeTest, NestedWaitAndWaitWithoutPortEndAtOnce) {
  std::optional<Reply> nested;
  platform::PostEvent([&] {
    nested = ReadReply(link_, ETX);
    EXPECT_TRUE(link_.reply_busy);  // still owned by the outer wait
  });
  peer_.ExpectUntil(ETX).Delay(50).Write(ReplyFrame("outer")).ExpectUntil(ETX).Start();
  EXPECT_EQ(Exchange().data, "outer");
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested->end, WaitEnd::kBusy);
  EXPECT_EQ(nested->data, "");

  // The connection closed by an event during the wait: the wait ends, nothing is shown.
  platform::PostEvent([&] { link_.host.reset(); });
  EXPECT_EQ(Exchange().end, WaitEnd::kNoPort);
  EXPECT_TRUE(messages_.Take().empty());
  // No connection at all, then one whose port is not open: SendFrame reports once.
  for (char terminator : {ACK, ETX}) {
    EXPECT_FALSE(SendFrame(link_, frame_));
    EXPECT_EQ(ReadReply(link_, terminator).end, WaitEnd::kNoPort);
    EXPECT_EQ(messages_.Take(), Texts{"COM Port Error!"});
    link_.host = std::make_unique<frmMain>();
  }
  // A message sink that throws loses the message; the exchange goes on as before.
  struct FailingSink : MessageSink {
    void Show(const std::string&, int, const std::string&) override { throw std::bad_alloc(); }
  };
  const auto recorder = SetMessageSink(std::make_shared<FailingSink>());
  EXPECT_FALSE(SendFrame(link_, frame_));
  SetMessageSink(recorder);
  EXPECT_EQ(Status(), "80 81 82 04");
}

// Waits 4 s for the SYN case (the reply comes 2000 ms after the last SYN), then 2 x 600 ms.
TEST_F(ExchangeTest, SynKeepsTheWaitAliveAndSilenceTimesOutOnce) {
  peer_.ExpectUntil(ETX)
      .Delay(2000)
      .Write(std::string(1, SYN))
      .Delay(2000)
      .Write(ReplyFrame("ok", "\x05\x06\x07"));
  // Then silence; then bytes every 150 ms but no SYN: the whole answer must come in time.
  peer_.ExpectUntil(ETX).ExpectUntil(ETX);
  for (char c : ReplyFrame("slow-data")) peer_.Delay(150).Write(std::string(1, c));
  peer_.Start();
  EXPECT_EQ(Exchange().data, "ok");
  TimeoutInterval() = 600;
  for (int i = 0; i < 2; ++i) {
    const Reply reply = Exchange();
    EXPECT_EQ(reply.end, WaitEnd::kTimeout);
    EXPECT_EQ(reply.data, "");
    EXPECT_EQ(messages_.Take(), Texts{"RS232 Time out!"});
    EXPECT_EQ(Status(), "05 06 07 04");
  }
  EXPECT_EQ(peer_.Received(), frame_ + "\x06" + frame_ + frame_);  // time-outs: no ACK
}

}  // namespace
}  // namespace nev::protocol
