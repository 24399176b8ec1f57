// A NEV object connected to the simulator over a pseudo-terminal, with recorded message boxes and
// a log in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "platform/regional.h"
#include "service/access.h"
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
  std::vector<nevsim::Received> Take() {
    std::vector<nevsim::Received> frames = sim.Frames();
    sim.ClearRecord();
    return frames;
  }
  // The command and data of every frame received since the last Take; forgets them.
  using Sent = std::vector<std::pair<int, std::string>>;
  Sent TakeSent() {
    Sent sent;
    for (const nevsim::Received& f : Take()) sent.emplace_back(f.cmd, f.data);
    return sent;
  }
  // The one frame a call wrote: fails the test unless exactly one arrived.
  nevsim::Received One() {
    const std::vector<nevsim::Received> frames = Take();
    EXPECT_EQ(frames.size(), 1u) << (frames.empty() ? "" : Hex(frames.back().raw));
    return frames.empty() ? nevsim::Received{} : frames.back();
  }
  // Checks that the one frame received since the last Take carries cmd and data.
  void ExpectFrame(uint8_t cmd, const std::string& data) {
    const nevsim::Received frame = One();
    EXPECT_TRUE(frame.framed) << Hex(frame.raw);
    EXPECT_EQ(frame.cmd, cmd) << Hex(frame.raw);
    EXPECT_EQ(Hex(frame.data), Hex(data));
  }
  void ExpectFrame(const std::function<void()>& call, uint8_t cmd, const std::string& data) {
    call();
    ExpectFrame(cmd, data);
  }
  // Checks that the previous call sent nothing: an answered OpenDraw after it is the only frame.
  void ExpectNothingSent() {
    EXPECT_TRUE(nev->OpenDraw());
    const std::vector<nevsim::Received> frames = Take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cmd, 0x8E);
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
