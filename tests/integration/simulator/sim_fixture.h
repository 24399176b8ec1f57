// A simulator on a fresh pseudo-terminal with the test playing the driver on its slave side.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "device_port.h"
#include "nevsim/simulator.h"

namespace simtest {

class SimTest : public ::testing::Test {
 protected:
  // Short reports unless a test asks for the real timing.
  static nevsim::Options Quick() {
    nevsim::Options o;
    o.long_op_ms = 300;
    o.syn_interval_ms = 100;
    return o;
  }
  void SetUp() override { Begin(Quick()); }
  void TearDown() override {
    port.reset();
    if (sim) sim->Stop();
  }
  void Begin(const nevsim::Options& o) {
    port.reset();
    if (sim) sim->Stop();
    sim = std::make_unique<nevsim::Simulator>(o);
    sim->Start();
    port = std::make_unique<DevicePort>(sim->SlavePath());
  }

  // The reply frame keeps the layout the driver relies on: STX, three header bytes, length,
  // data, three status bytes with bit 7 set, check characters, ETX; and no byte between STX and
  // ETX that the driver would act on (ETX, ACK, NAK, SYN).
  static void ExpectWellFormed(const Answer& a) {
    ASSERT_EQ(a.kind, Answer::kFrame);
    const std::string& r = a.raw;
    ASSERT_GE(r.size(), 11u);
    EXPECT_EQ(r.size(), a.data.size() + 11);
    EXPECT_EQ(r[0], '\x02');
    EXPECT_EQ(r.back(), '\x03');
    EXPECT_EQ(r[2], '\x21');
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(a.status[i] & 0x80) << "status byte " << i;
    for (size_t i = 1; i + 1 < r.size(); ++i) {
      const auto b = static_cast<uint8_t>(r[i]);
      EXPECT_TRUE(b != 0x03 && b != 0x06 && b != 0x15 && b != 0x16)
          << "control byte " << int(b) << " at " << i;
    }
    EXPECT_EQ(r.substr(r.size() - 3, 2), Check(r.substr(1, r.size() - 4)));
  }

  // A reply frame without the general-error bit; returns its data.
  std::string Ok(uint8_t cmd, const std::string& data = {}) {
    Answer a = port->Command(cmd, data);
    ExpectWellFormed(a);
    EXPECT_FALSE(a.error()) << "command " << std::hex << int(cmd);
    return a.data;
  }
  void Acked(uint8_t cmd, const std::string& data = {}) {
    EXPECT_EQ(port->Command(cmd, data).kind, Answer::kAck) << "command " << std::hex << int(cmd);
  }
  void Naked(uint8_t cmd, const std::string& data = {}) {
    EXPECT_EQ(port->Command(cmd, data).kind, Answer::kNak) << "command " << std::hex << int(cmd);
  }
  // A reply frame with the general-error bit and no data.
  void Refused(uint8_t cmd, const std::string& data = {}) {
    Answer a = port->Command(cmd, data);
    ExpectWellFormed(a);
    EXPECT_TRUE(a.error()) << "command " << std::hex << int(cmd);
    EXPECT_EQ(a.data, "");
  }
  uint8_t Status0() {
    Answer a = port->Command(0xA1);
    return a.status[0];
  }

  std::unique_ptr<nevsim::Simulator> sim;
  std::unique_ptr<DevicePort> port;
};

}  // namespace simtest
