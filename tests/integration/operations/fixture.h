// A NEV object connected to the simulator over a pseudo-terminal, with recorded message boxes and
// a log in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nev/message.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"

namespace nevtest {

// Bytes as "02 20 21 ..." for readable failures.
std::string Hex(const std::string& bytes);
// Bytes from "02 20 21 ..." text.
std::string Bytes(const std::string& hex);

// Z reports that take a tenth of a second instead of seconds.
inline nevsim::Options QuickReports() {
  nevsim::Options options;
  options.long_op_ms = 100;
  options.syn_interval_ms = 40;
  return options;
}

class OperationsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The frames (and bare bytes) the simulator received since the last call; forgets them.
  std::vector<nevsim::Received> Take();
  // The one frame a call wrote: fails the test unless exactly one arrived.
  nevsim::Received One();
  // Checks that the one frame received since the last Take carries cmd and data.
  void ExpectFrame(uint8_t cmd, const std::string& data);
  // Checks that the previous call sent nothing: an answered OpenDraw after it is the only frame.
  void ExpectNothingSent();
  // The texts of the message boxes shown since the last call; forgets them.
  std::vector<std::string> Messages();
  // The object's log file as it is now.
  std::string LogText();
  // Makes the next built frame carry this sequence byte.
  void SetNextSequence(uint8_t seq);

  std::string folder;
  std::shared_ptr<nev::RecordingSink> sink;
  std::shared_ptr<nev::MessageSink> previous_sink;
  nevsim::Simulator sim{QuickReports()};
  std::unique_ptr<nev::NEV> nev;
};

inline constexpr const char* kInvalidArgument = "Invalid procedure call or argument";
inline constexpr const char* kTimeOut = "RS232 Time out!";
inline constexpr const char* kRefused = "Грешна команда!";

}  // namespace nevtest
