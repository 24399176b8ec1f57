#include "fixture.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/debugger.h"
#include "platform/regional.h"
#include "service/state.h"

namespace nevtest {

std::string Hex(const std::string& bytes) {
  std::string text;
  char buffer[4];
  for (unsigned char c : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02X", c);
    if (!text.empty()) text.push_back(' ');
    text += buffer;
  }
  return text;
}

std::string Bytes(const std::string& hex) {
  std::string bytes;
  std::istringstream in(hex);
  unsigned value = 0;
  while (in >> std::hex >> value) bytes.push_back(static_cast<char>(value));
  return bytes;
}

void OperationsTest::SetUp() {
  char pattern[] = "/tmp/nev-ops-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  folder = pattern;
  sink = std::make_shared<nev::RecordingSink>();
  previous_sink = nev::SetMessageSink(sink);
  nev::platform::SetDecimalSymbolOverride(".");
  sim.Start();
  nev = std::make_unique<nev::NEV>(folder);
  ASSERT_TRUE(nev->InitConnection(sim.SlavePath(), 115200));
  sim.ClearRecord();
  sink->messages.clear();
}

void OperationsTest::TearDown() {
  if (nev) nev->StopConnection();
  nev.reset();
  sim.Stop();
  nev::SetMessageSink(previous_sink);
  nev::platform::SetDecimalSymbolOverride(std::nullopt);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

std::vector<nevsim::Received> OperationsTest::Take() {
  std::vector<nevsim::Received> frames = sim.Frames();
  sim.ClearRecord();
  return frames;
}

nevsim::Received OperationsTest::One() {
  const std::vector<nevsim::Received> frames = Take();
  EXPECT_EQ(frames.size(), 1u) << [&] {
    std::string all;
    for (const auto& f : frames) all += "\n" + Hex(f.raw);
    return all;
  }();
  return frames.empty() ? nevsim::Received{} : frames.back();
}

void OperationsTest::ExpectFrame(uint8_t cmd, const std::string& data) {
  const nevsim::Received frame = One();
  EXPECT_TRUE(frame.framed) << Hex(frame.raw);
  EXPECT_EQ(frame.cmd, cmd) << Hex(frame.raw);
  EXPECT_EQ(frame.data, data) << Hex(frame.data) << " vs " << Hex(data);
}

void OperationsTest::ExpectNothingSent() {
  EXPECT_TRUE(nev->OpenDraw());
  const std::vector<nevsim::Received> frames = Take();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].cmd, 0x8E);
}

std::vector<std::string> OperationsTest::Messages() {
  std::vector<std::string> texts;
  for (const auto& m : sink->messages) {
    EXPECT_EQ(m.title, "НЕВ COM Сървър");
    EXPECT_EQ(m.style, 16);
    texts.push_back(m.text);
  }
  sink->messages.clear();
  return texts;
}

void OperationsTest::SetNextSequence(uint8_t seq) {
  nev->State().link.sequence = seq;
}

std::string OperationsTest::LogText() {
  std::ifstream in(nev->Log().LogFile(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace nevtest
