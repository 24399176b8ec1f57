// The POSIX serial port over real pseudo-terminals.
#include "platform/serial_port.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "nev/error.h"
#include "platform/event_loop.h"
#include "support/pty.h"

namespace nev::platform {
namespace {

int ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

TEST(SerialPortTest, SecondOpenerGetsPortAlreadyOpen) {
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
  second->Open(pty.slave_path(), "115200,n,8,1");  // free again once closed
  EXPECT_TRUE(second->IsOpen());
}

TEST(SerialPortTest, OpenFailuresAreNotPortInUse) {
  nevtest::PtyPair pty;
  auto port = SerialPort::Create();
  const int missing = ErrorOf([&] { port->Open("/dev/nonexistent-nev-port", "9600,n,8,1"); });
  EXPECT_NE(missing, 0);
  EXPECT_NE(missing, kErrPortAlreadyOpen);
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

TEST(SerialPortTest, ClosedPortRefusesReadAndWriteButWaitReturns) {
  auto port = SerialPort::Create();
  EXPECT_NE(ErrorOf([&] { port->Input(); }), 0);
  EXPECT_NE(ErrorOf([&] { port->Output("x"); }), 0);
  port->WaitReadable(600000);  // returns at once: the test would time out otherwise
}

TEST(SerialPortTest, ReadSizeAndWholeWrites) {
  nevtest::PtyPair pty;
  nevtest::ScriptedPeer peer(pty.master());
  auto port = SerialPort::Create();
  port->Open(pty.slave_path(), "9600,n,8,1");
  peer.Write("abc").Start();

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

  // A write larger than the pty's buffer goes out whole.
  std::string big(20000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  port->Output(big);
  ASSERT_TRUE(peer.WaitReceived(big.size()));
  EXPECT_EQ(peer.Received(), big);
}

TEST(SerialPortTest, ReadSizeZeroTakesEverythingPending) {
  nevtest::PtyPair pty;
  nevtest::ScriptedPeer peer(pty.master());
  auto port = SerialPort::Create();
  port->Open(pty.slave_path(), "9600,n,8,1");
  const std::string sent = std::string(3000, 'x') + "\x02\x03\xFF";
  peer.Write(sent).Start();
  ASSERT_TRUE(peer.WaitDone());
  port->SetInputLen(0);
  std::string got;
  while (got.size() < sent.size()) {
    port->WaitReadable(600000);
    got += port->Input();
  }
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
  ::unsetenv("NEVCOM_COM3");
  EXPECT_EQ(DeviceForPort(3), "/dev/ttyS2");
  EXPECT_EQ(DeviceForPort(1), "/dev/ttyS0");
  ::setenv("NEVCOM_COM3", "/dev/pts/42", 1);
  EXPECT_EQ(DeviceForPort(3), "/dev/pts/42");
  EXPECT_EQ(DeviceForPort(4), "/dev/ttyS3");
  ::setenv("NEVCOM_COM3", "", 1);
  EXPECT_EQ(DeviceForPort(3), "/dev/ttyS2");
  ::unsetenv("NEVCOM_COM3");
}

}  // namespace
}  // namespace nev::platform
