// A NEV object connected to the simulator over a pseudo-terminal, with recorded message boxes and
// a log in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "platform/regional.h"
#include "service/access.h"
#include "support/commands.h"
#include "support/helpers.h"

namespace nevtest {

// Z reports that take a tenth of a second instead of seconds.
inline nevsim::Options QuickReports() {
  nevsim::Options options;
  options.long_op_ms = 100;
  options.syn_interval_ms = 40;
  return options;
}

class OperationsTest : public ::testing::Test {
 protected:
  static constexpr int kQuietMs = 200;

  void SetUp() override {
    nev::platform::SetDecimalSymbolOverride(".");
    sim.Start();
    ASSERT_TRUE(nev->InitConnection(sim.SlavePath(), 115200));
    sim.ClearRecord();
    Messages();
  }
  void TearDown() override {
    nev->StopConnection();
    nev::platform::SetDecimalSymbolOverride(std::nullopt);
  }

  // The frames (and bare bytes) the simulator received since the last call; forgets them.
  std::vector<nevsim::Received> TakeReceived() {
    std::vector<nevsim::Received> frames = sim.Frames();
    sim.ClearRecord();
    return frames;
  }
  // The command and data of every frame received since the last call; forgets them.
  using Sent = std::vector<std::pair<Command, std::string>>;
  Sent TakeSent() {
    Sent sent;
    for (const nevsim::Received& f : TakeReceived()) sent.emplace_back(Command{f.cmd}, f.data);
    return sent;
  }
  // The one frame received since the last call: fails the test unless exactly one arrived.
  nevsim::Received TakeOnlyFrame() {
    const std::vector<nevsim::Received> frames = TakeReceived();
    EXPECT_EQ(frames.size(), 1u) << (frames.empty() ? "" : Hex(frames.back().raw));
    return frames.empty() ? nevsim::Received{} : frames.back();
  }
  // Checks that exactly one well-formed frame, carrying cmd and data, arrived since the last call.
  void ExpectOneFrame(Command cmd, const std::string& data) {
    const nevsim::Received frame = TakeOnlyFrame();
    EXPECT_TRUE(frame.framed) << Hex(frame.raw);
    EXPECT_EQ(Command{frame.cmd}, cmd) << Hex(frame.raw);
    EXPECT_EQ(Hex(frame.data), Hex(data));
  }
  // Checks that the previous call wrote nothing to the line: no frame turns up within a short
  // wait (a call's bytes are on the line when it returns; the wait gives the simulator's thread
  // time to read them), and the simulator read no byte but the ACK that closed the exchange
  // before, which may be recorded late. Forgets the record.
  void ExpectNothingSent() {
    EXPECT_FALSE(sim.WaitForFrames(1, kQuietMs)) << Hex(sim.RawInput());
    std::string raw = sim.RawInput();
    std::erase(raw, '\x06');
    EXPECT_EQ(Hex(raw), "");
    sim.ClearRecord();
  }
  // The texts of the message boxes shown since the last call; forgets them.
  std::vector<std::string> Messages() { return recorder.Take(); }
  std::string LogText() { return ReadFile(nev->Log().LogFile()); }
  // Makes the next built frame carry this sequence byte.
  void SetNextSequence(uint8_t seq) { nev::NEVAccess::State(*nev).link.sequence = seq; }

  TempDir folder;
  MessageRecorder recorder;
  nevsim::Simulator sim{QuickReports()};
  std::unique_ptr<nev::NEV> nev = std::make_unique<nev::NEV>(folder.str());
};

inline constexpr const char* kInvalidArgument = "Invalid procedure call or argument";
inline constexpr const char* kTimeOut = "RS232 Time out!";
inline constexpr const char* kRefused = "Грешна команда!";

}  // namespace nevtest
