// The NEV object and the serial link against the simulator and raw pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "log/debugger.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "platform/serial_port.h"
#include "protocol/frame.h"
#include "support/commands.h"
#include "support/helpers.h"
#include "support/pty.h"

namespace {

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override { sim.Start(); }

  // The log entries of the object, without elapsed times and dates.
  static std::vector<std::string> Entries(nev::NEV& nev) {
    return nevtest::LogEntries(nev.Log().LogFile());
  }
  static bool Logged(nev::NEV& nev, const std::string& text) {
    const auto lines = Entries(nev);
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

  nevtest::TempDir dir;
  nevtest::MessageRecorder messages;
  nevsim::Simulator sim;
};

TEST_F(LinkTest, InitConnectionAgainstSimulatorLogsItsStepsAndStopCloses) {
  nev::NEV nev(dir.str());
  EXPECT_FALSE(nev.SilentMode());
  EXPECT_FALSE(nev.StopConnection());  // nothing to close yet
  ASSERT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
  EXPECT_TRUE(messages.Take().empty());
  ASSERT_TRUE(sim.WaitForFrames(1, 2000));
  EXPECT_EQ(nevtest::Command{sim.Frames()[0].cmd}, nevtest::Command::kProbe);
  EXPECT_EQ(sim.Frames()[0].seq, 0x20);  // a new object's first frame
  EXPECT_TRUE(nev.StopConnection());
  EXPECT_FALSE(nev.StopConnection());

  const std::string stop[] = {"(i)\tNEV\tStopConnection\tentering",
                              "(i)\tNEV\tStopConnection\texiting"};
  const std::vector<std::string> expected = {stop[0],
                                             stop[1],  // the call made before connecting
                                             "(i)\tNEV\tInitConnection\tEntering",
                                             "(i)\tNEV\tInitConnection\tPort: " + sim.SlavePath(),
                                             "(i)\tNEV\tInitConnection\tSpeed: 9600",
                                             "(i)\tNEV\tInitConnection\tExiting",
                                             stop[0],
                                             stop[1],
                                             stop[0],
                                             stop[1]};
  auto lines = Entries(nev);
  ASSERT_GE(lines.size(), expected.size() + 1);
  EXPECT_EQ(lines[0].rfind("Secs: ", 0), 0u);  // the session-start line comes first
  EXPECT_NE(lines[0].find("Debug Session Start: "), std::string::npos);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + expected.size()),
            expected);

  // A second InitConnection closes the first connection, and so does the teardown.
  {
    nev::NEV other(dir.str());
    ASSERT_TRUE(other.InitConnection(sim.SlavePath(), 9600));
    EXPECT_TRUE(other.InitConnection(sim.SlavePath(), 9600));
  }
  EXPECT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
  EXPECT_TRUE(messages.Take().empty());
}

// The device answers in order: a whole reply frame before the probe's NAK answers an earlier
// command and is let go. Anything else fails the probe (bytes that are no such frame named by their
// first byte): the warning is logged before the call ends, and the port is closed.
TEST_F(LinkTest, OnlyTheProbesNakOpensTheLineAndAFailedProbeClosesThePort) {
  using nev::protocol::FrameChecksum;
  const std::string body = std::string("\x21\x21\x92\x21") + "7" + "\x80\x80\x80";
  const std::string whole = "\x02" + body + FrameChecksum(body) + "\x03";
  const struct {
    std::string answer;
    bool opens, answered_by_stx;
  } cases[] = {{whole + "\x15", true, false},
               {whole + whole + "\x15", true, false},
               {"", false, false},                                     // silence
               {"\x16", false, false},                                 // SYN
               {"\x06", false, false},                                 // ACK
               {"\x02" + body + "00\x03\x15", false, true},            // a bad check
               {"\x02\x20\x21\xFF\x20\x36\x30\x03\x15", false, true},  // the probe echoed
               {whole, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(nevtest::Hex(c.answer));
    nevtest::PtyPair pty;
    nevtest::ScriptedPeer peer(pty.master());
    peer.ExpectUntil(nev::protocol::ETX).Write(c.answer).Start();
    const nevtest::TempDir own;  // a log of this case's own
    nev::NEV nev(own.str());
    EXPECT_EQ(nev.InitConnection(pty.slave_path(), 9600), c.opens);
    if (c.opens) continue;
    EXPECT_EQ(messages.Take(), std::vector<std::string>{"Error opening COM Port!"});
    ASSERT_TRUE(nev.LastCall().error.has_value());
    if (c.answered_by_stx) {
      EXPECT_EQ(nev.LastCall().error->description,
                "the probe was answered by 02, not by NAK on " + pty.slave_path() +
                    " at 9600: the device answers at another speed or speaks another protocol: "
                    "try nevctl scan, which finds the speed it answers at");
    }
    auto lines = Entries(nev);
    auto failed = std::find(lines.begin(), lines.end(),
                            std::string("(w)\tNEV\tInitConnection\tInitConenction failed"));
    ASSERT_NE(failed, lines.end());
    EXPECT_LT(failed, std::find(lines.begin(), lines.end(),
                                std::string("(i)\tNEV\tInitConnection\tExiting")));
    auto other = nev::platform::SerialPort::Create();  // another opener gets the port at once
    EXPECT_NO_THROW(other->Open(pty.slave_path(), "9600,n,8,1"));
  }
}

// An answer the device still owes an earlier connection (whose wait gave up before it came) is
// let go: the next connection opens, and its first command gets its own answer, whatever the shape
// of the answer owed.
TEST_F(LinkTest, AnAnswerOwedToAnEarlierConnectionIsNotTheNextOnes) {
  const struct {
    const char* owed;
    std::function<void(nev::NEV&)> call;
  } cases[] = {{"NAK", [](nev::NEV& n) { n.OpenDraw(); }},
               {"ACK", [](nev::NEV& n) { n.PaperFeed(1); }},
               {"frame", [](nev::NEV& n) { n.GetNumberofNotes(); }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("owed a ") + c.owed);
    sim.ClearFaults();
    sim.NakCommand(nevtest::Code(nevtest::Command::kOpenDraw));
    sim.DelayReplies(300);
    {
      nev::NEV earlier(dir.str());
      earlier.SilentMode(true);
      ASSERT_TRUE(earlier.InitConnection(sim.SlavePath(), 9600));
      earlier.MaxWait(100);
      c.call(earlier);
      EXPECT_EQ(earlier.LastCall().outcome, nev::Outcome::kTimeout);
      EXPECT_EQ(messages.Take(), std::vector<std::string>{"RS232 Time out!"});  // even when silent
    }
    nev::NEV next(dir.str());
    ASSERT_TRUE(next.InitConnection(sim.SlavePath(), 9600));
    EXPECT_NE(next.GetTaxRates(), "");
    EXPECT_EQ(next.LastCall().outcome, nev::Outcome::kAnswered);
    messages.Take();
  }
}

TEST_F(LinkTest, PortHeldElsewhereShowsTheExclamationBoxEvenInSilentMode) {
  auto holder = nev::platform::SerialPort::Create();
  holder->Open(sim.SlavePath(), "9600,n,8,1");
  nev::NEV nev(dir.str());
  nev.SilentMode(true);
  EXPECT_FALSE(nev.InitConnection(sim.SlavePath(), 9600));
  EXPECT_EQ(nev.LastCall().outcome, nev::Outcome::kPortError);
  ASSERT_TRUE(nev.LastCall().error.has_value());
  EXPECT_EQ(nev.LastCall().error->number, nev::kErrPortAlreadyOpen);
  // In English too, naming the program that holds the port (this one), in the trace as well.
  const std::string held = "Port already open: " + sim.SlavePath() + " is held by link_test (pid " +
                           std::to_string(getpid()) + ")";
  EXPECT_EQ(nev.LastCall().error->description.rfind(held, 0), 0u)
      << nev.LastCall().error->description;
  EXPECT_EQ(nev.LastCall().error->port, sim.SlavePath());
  EXPECT_EQ(
      messages.Take(nev::kStyleExclamation),
      std::vector<std::string>{"COM портът е отворен! Опитайте операцията след няколко секунди!"});
  EXPECT_TRUE(Logged(nev, "InitConenction failed"));
  EXPECT_TRUE(sim.Frames().empty());  // no probe went out
}

// A port number maps through the environment, above 32767 it is an overflow reported by the
// handler; the line is always 8N1. The text form reads a port number as the number form does, and
// refuses a text that names no port before anything is opened; Connected() follows the line.
TEST_F(LinkTest, PortNumbersAndTextsOpenTheirPortOrAreRefusedNamingThem) {
  nevtest::ScopedEnv com7("NEVCOM_COM7", sim.SlavePath().c_str());
  nev::NEV nev(dir.str());
  EXPECT_FALSE(nev.Connected());
  EXPECT_FALSE(nev.InitConnection(32768, 9600, 1, 0, 8));
  EXPECT_EQ(messages.Take(), std::vector<std::string>{"Overflow"});
  nev.SilentMode(true);
  EXPECT_FALSE(nev.InitConnection(40000, 9600, 1, 0, 8));
  EXPECT_TRUE(messages.Take().empty());
  EXPECT_TRUE(Logged(nev, "(c)\t\tNEV\tOpenCom"));
  EXPECT_TRUE(Logged(nev, "\tErr_No: 6"));
  nev.SilentMode(false);

  ASSERT_TRUE(nev.InitConnection(7, 19200, 2, 1, 7));  // StopBits 2, Parity 1, ByteSize 7
  int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_TRUE(nev.StopConnection());
  EXPECT_FALSE(nev.Connected());
  ASSERT_TRUE(nev.InitConnection("7", 9600));
  EXPECT_TRUE(nev.Connected());
  const auto lines = Entries(nev);  // the number and the text form alike
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "(i)\tNEV\tInitConnection\tPort: 7"), 2);
  EXPECT_TRUE(nev.StopConnection());
  EXPECT_FALSE(nev.Connected());
  sim.ClearRecord();
  const struct {
    std::string text, why;
  } refused[] = {
      {"", "the port text is empty"},
      {"0", R"("0": not a port number from 1 to 32767 (nor a device path))"},
      {"5x", R"("5x": not a port number or a device path)"},
      {"/dev/tty\r\nX", R"("/dev/tty\x0D\x0AX": not a port number or a device path)"},
  };
  for (const auto& row : refused) {
    ASSERT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
    EXPECT_FALSE(nev.InitConnection(row.text, 9600)) << row.why;
    EXPECT_FALSE(nev.Connected());  // the connection before was closed
    const nev::CallRecord& call = nev.LastCall();
    EXPECT_EQ(call.outcome, nev::Outcome::kBadArgument);
    ASSERT_TRUE(call.error);
    EXPECT_EQ(call.error->number, nev::kErrPortOpenFailed);
    EXPECT_EQ(call.error->description, "Invalid port number: " + row.why);
    EXPECT_EQ(messages.Take(), std::vector<std::string>{call.error->description});
  }
  EXPECT_TRUE(Logged(nev, R"(Port: "/dev/tty\x0D\x0AX")"));  // the log shows it escaped
  ASSERT_TRUE(sim.WaitForFrames(4, 2000));
  EXPECT_EQ(sim.Frames().size(), 4u);  // the probes of the good connections, nothing else
}

}  // namespace
