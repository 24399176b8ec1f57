// The POSIX serial port over real pseudo-terminals.
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/event_loop.h"
#include "support/helpers.h"
#include "support/pty.h"

namespace nev::platform {
namespace {

using nevtest::ErrorOf;

TEST(SerialPortTest, SecondOpenerGetsPortAlreadyOpenAndAClosedPortRefusesReadAndWrite) {
  nevtest::PtyPair pty;
  auto first = SerialPort::Create();
  auto second = SerialPort::Create();
  first->Open(pty.slave_path(), "9600,n,8,1");
  EXPECT_TRUE(first->IsOpen());
  EXPECT_EQ(ErrorOf([&] { second->Open(pty.slave_path(), "9600,n,8,1"); }), kErrPortAlreadyOpen);
  EXPECT_FALSE(second->IsOpen());
  EXPECT_EQ(ErrorOf([&] { first->Open(pty.slave_path(), "9600,n,8,1"); }), kErrPortAlreadyOpen);

  first->Close();
  first->Close();  // closing twice is harmless
  EXPECT_FALSE(first->IsOpen());
  EXPECT_NE(ErrorOf([&] { first->Input(); }), 0);
  EXPECT_NE(ErrorOf([&] { first->Output("x"); }), 0);
  first->WaitReadable(600000);  // returns at once: the test would time out otherwise
  second->Open(pty.slave_path(), "115200,n,8,1");  // free again once closed
  EXPECT_TRUE(second->IsOpen());
}

TEST(SerialPortTest, OpenFailuresAreNotPortInUse) {
  nevtest::PtyPair pty;
  auto port = SerialPort::Create();
  // A missing device; a path cut short at a NUL must not open the device before the NUL.
  for (const std::string& device : {std::string("/dev/nonexistent-nev-port"), std::string(),
                                    pty.slave_path() + std::string("\0x", 2)}) {
    const int bad = ErrorOf([&] { port->Open(device, "9600,n,8,1"); });
    EXPECT_NE(bad, 0) << device;
    EXPECT_NE(bad, kErrPortAlreadyOpen) << device;
  }
  for (const char* settings : {"", "abc,n,8,1", "12345,n,8,1", "99999999999999999999,n,8,1"}) {
    const int bad = ErrorOf([&] { port->Open(pty.slave_path(), settings); });
    EXPECT_NE(bad, 0) << settings;
    EXPECT_NE(bad, kErrPortAlreadyOpen) << settings;
  }
  EXPECT_FALSE(port->IsOpen());
  // A failed attempt leaves no lock behind.
  port->Open(pty.slave_path(), "9600,e,7,2");  // parity, data and stop bits are always n, 8, 1
  EXPECT_TRUE(port->IsOpen());
}

TEST(SerialPortTest, ReadSizesAndWholeWrites) {
  nevtest::PtyPair pty;
  nevtest::ScriptedPeer peer(pty.master());
  auto port = SerialPort::Create();
  port->Open(pty.slave_path(), "9600,n,8,1");
  const std::string sent = std::string(3000, 'x') + "\x02\x03\xFF";
  peer.Write("abc").ExpectUntil('\xFE').Write(sent).Start();

  port->SetInputLen(1);
  std::string got;
  while (got.size() < 3) {
    port->WaitReadable(600000);
    const std::string part = port->Input();
    ASSERT_LE(part.size(), 1u);
    got += part;
  }
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(port->Input(), "");  // nothing pending: empty, without blocking

  // A write larger than the pty's buffer goes out whole (its 0xFE bytes release the peer).
  std::string big(20000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  port->Output(big);
  ASSERT_TRUE(peer.WaitReceived(big.size()));
  EXPECT_EQ(peer.Received(), big);

  // Read size 0 takes everything pending.
  port->SetInputLen(0);
  for (got.clear(); got.size() < sent.size(); got += port->Input()) port->WaitReadable(600000);
  EXPECT_EQ(got, sent);
}

TEST(SerialPortTest, WaitEndsWhenAByteArrivesOrAnEventIsDue) {
  nevtest::PtyPair pty;
  nevtest::ScriptedPeer peer(pty.master());
  auto port = SerialPort::Create();
  port->Open(pty.slave_path(), "9600,n,8,1");
  peer.Delay(50).Write("z").Start();
  port->WaitReadable(600000);
  EXPECT_EQ(port->Input(), "z");

  PostEvent([] {});
  port->WaitReadable(600000);  // an event is due: no sleep at all
  DoEvents();
}

TEST(SerialPortTest, DeviceForPortFollowsTheEnvironment) {
  nevtest::ScopedEnv unset("NEVCOM_COM3", nullptr);
  EXPECT_EQ(DeviceForPort(3), "/dev/ttyS2");
  EXPECT_EQ(DeviceForPort(1), "/dev/ttyS0");
  {
    nevtest::ScopedEnv set("NEVCOM_COM3", "/dev/pts/42");
    EXPECT_EQ(DeviceForPort(3), "/dev/pts/42");
    EXPECT_EQ(DeviceForPort(4), "/dev/ttyS3");
  }
  nevtest::ScopedEnv empty("NEVCOM_COM3", "");
  EXPECT_EQ(DeviceForPort(3), "/dev/ttyS2");
}

}  // namespace
}  // namespace nev::platform
