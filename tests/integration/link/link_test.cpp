// The NEV object and the serial link against the simulator and raw pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/debugger.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "platform/serial_port.h"
#include "protocol/frame.h"
#include "service/command.h"

namespace fs = std::filesystem;

namespace {

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("nev-link-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    sink_ = std::make_shared<nev::RecordingSink>();
    nev::SetMessageSink(sink_);
  }
  void TearDown() override {
    nev::SetMessageSink(nullptr);
    fs::remove_all(dir_);
  }

  // The log's lines, without the "Secs: ... TAB" prefix and the date column.
  std::vector<std::string> LogEntries(nev::NEV& nev) {
    std::ifstream in(nev.Log().LogFile(), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // "Secs: x.xxx<TAB>dd-mm-yyyy hh:mm:ss<TAB>(i)<TAB>NEV..." -> "(i)<TAB>NEV..."
      auto mark = line.find("\t(");
      if (mark != std::string::npos) {
        auto date_end = line.find('\t', mark + 1);
        (void)date_end;
        lines.push_back(line.substr(mark + 1));
      } else {
        lines.push_back(line);
      }
    }
    return lines;
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& m : sink_->messages) texts.push_back(m.text);
    return texts;
  }

  fs::path dir_;
  std::shared_ptr<nev::RecordingSink> sink_;
};

// A raw pseudo-terminal pair with nobody or a scripted byte on the device side.
struct RawPty {
  RawPty() {
    char name[128];
    EXPECT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
  }
  ~RawPty() {
    ::close(master);
    ::close(slave);
  }
  // Answers the first frame that arrives with the given bytes.
  std::thread AnswerOnce(std::string bytes) {
    return std::thread([this, bytes] {
      char buf[64];
      if (::read(master, buf, sizeof buf) > 0) (void)!::write(master, bytes.data(), bytes.size());
    });
  }
  int master = -1;
  int slave = -1;
  std::string path;
};

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

TEST_F(LinkTest, InitConnectionAgainstSimulatorLogsItsStepsAndStopCloses) {
  nevsim::Simulator sim;
  sim.Start();
  {
    nev::NEV nev(dir_.string());
    EXPECT_FALSE(nev.SilentMode());
    EXPECT_FALSE(nev.StopConnection());  // nothing to close yet
    ASSERT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
    EXPECT_TRUE(sink_->messages.empty());
    ASSERT_TRUE(sim.WaitForFrames(1, 2000));
    EXPECT_EQ(sim.Frames()[0].cmd, 0xFF);
    EXPECT_EQ(sim.Frames()[0].seq, 0x20);  // a new object's first frame
    EXPECT_TRUE(nev.StopConnection());
    EXPECT_FALSE(nev.StopConnection());

    auto lines = LogEntries(nev);
    std::vector<std::string> expected = {
        "(i)\tNEV\tStopConnection\tentering",
        "(i)\tNEV\tStopConnection\texiting",
        "(i)\tNEV\tInitConnection\tEntering",
        "(i)\tNEV\tInitConnection\tPort: " + sim.SlavePath(),
        "(i)\tNEV\tInitConnection\tSpeed: 9600",
        "(i)\tNEV\tInitConnection\tExiting",
        "(i)\tNEV\tStopConnection\tentering",
        "(i)\tNEV\tStopConnection\texiting",
        "(i)\tNEV\tStopConnection\tentering",
        "(i)\tNEV\tStopConnection\texiting",
    };
    ASSERT_GE(lines.size(), expected.size() + 1);
    EXPECT_EQ(lines[0].rfind("Secs: ", 0), 0u);  // the session-start line comes first
    EXPECT_NE(lines[0].find("Debug Session Start: "), std::string::npos);
    std::vector<std::string> entries(lines.begin() + 1, lines.begin() + 1 + expected.size());
    EXPECT_EQ(entries, expected);
  }
}

TEST_F(LinkTest, PortNumberMapsThroughEnvironmentAndLineSettingsAreAlways8N1) {
  nevsim::Simulator sim;
  sim.Start();
  ::setenv("NEVCOM_COM7", sim.SlavePath().c_str(), 1);
  nev::NEV nev(dir_.string());
  ASSERT_TRUE(nev.InitConnection(7, 19200, 2, 1, 7));  // StopBits 2, Parity 1, ByteSize 7
  int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_TRUE(Contains(LogEntries(nev), "Port: 7"));
  ::unsetenv("NEVCOM_COM7");
}

TEST_F(LinkTest, ProbeWithoutNakFailsClosesThePortAndLogsTheWarning) {
  struct Case {
    const char* name;
    std::string answer;  // empty: silence
  };
  for (const Case& c : {Case{"silence", ""}, Case{"SYN", "\x16"}, Case{"ACK", "\x06"}}) {
    SCOPED_TRACE(c.name);
    sink_->messages.clear();
    RawPty pty;
    std::thread peer;
    if (!c.answer.empty()) peer = pty.AnswerOnce(c.answer);
    nev::NEV nev(dir_.string());
    EXPECT_FALSE(nev.InitConnection(pty.path, 9600));
    if (peer.joinable()) peer.join();
    ASSERT_EQ(sink_->messages.size(), 1u);
    EXPECT_EQ(sink_->messages[0].text, "Error opening COM Port!");
    EXPECT_EQ(sink_->messages[0].style, 16);
    EXPECT_EQ(sink_->messages[0].title, nev::kMessageTitle);
    auto lines = LogEntries(nev);
    auto failed = std::find(lines.begin(), lines.end(),
                            std::string("(w)\tNEV\tInitConnection\tInitConenction failed"));
    auto exiting =
        std::find(lines.begin(), lines.end(), std::string("(i)\tNEV\tInitConnection\tExiting"));
    ASSERT_NE(failed, lines.end());
    EXPECT_LT(failed, exiting);
    // The port was closed: another opener gets it at once.
    auto other = nev::platform::SerialPort::Create();
    EXPECT_NO_THROW(other->Open(pty.path, "9600,n,8,1"));
  }
}

TEST_F(LinkTest, PortHeldElsewhereShowsTheExclamationBoxEvenInSilentMode) {
  nevsim::Simulator sim;
  sim.Start();
  auto holder = nev::platform::SerialPort::Create();
  holder->Open(sim.SlavePath(), "9600,n,8,1");
  nev::NEV nev(dir_.string());
  nev.SilentMode(true);
  EXPECT_FALSE(nev.InitConnection(sim.SlavePath(), 9600));
  ASSERT_EQ(sink_->messages.size(), 1u);
  EXPECT_EQ(sink_->messages[0].text,
            "COM портът е отворен! Опитайте операцията след няколко секунди!");
  EXPECT_EQ(sink_->messages[0].style, 48);
  EXPECT_TRUE(Contains(LogEntries(nev), "InitConenction failed"));
  EXPECT_TRUE(sim.Frames().empty());  // no probe went out
}

TEST_F(LinkTest, PortNumberAbove32767IsAnOverflowReportedByTheHandler) {
  {
    nev::NEV nev(dir_.string());
    EXPECT_FALSE(nev.InitConnection(32768, 9600, 1, 0, 8));
    ASSERT_EQ(sink_->messages.size(), 1u);
    EXPECT_EQ(sink_->messages[0].text, "Overflow");
    EXPECT_EQ(sink_->messages[0].style, 16);
  }
  sink_->messages.clear();
  nev::NEV silent(dir_.string());
  silent.SilentMode(true);
  EXPECT_FALSE(silent.InitConnection(40000, 9600, 1, 0, 8));
  EXPECT_TRUE(sink_->messages.empty());
  auto lines = LogEntries(silent);
  EXPECT_TRUE(Contains(lines, "(c)\t\tNEV\tOpenCom"));
  EXPECT_TRUE(Contains(lines, "\tErr_No: 6"));
}

TEST_F(LinkTest, SecondInitConnectionAndTeardownReleaseThePort) {
  nevsim::Simulator sim;
  sim.Start();
  {
    nev::NEV nev(dir_.string());
    ASSERT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
    EXPECT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));  // the first connection is closed
    EXPECT_TRUE(sink_->messages.empty());
  }  // teardown with the connection still open
  nev::NEV next(dir_.string());
  EXPECT_TRUE(next.InitConnection(sim.SlavePath(), 9600));
  EXPECT_TRUE(sink_->messages.empty());
}

// The common shape of a command method, driven directly.
TEST_F(LinkTest, CommonShapeReportsFrameLimitErrorsOnceAndSendsNothing) {
  nevsim::Simulator sim;
  sim.Start();
  nev::NEV nev(dir_.string());
  ASSERT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
  sim.ClearRecord();
  const std::string oversize(224, 'x');
  auto command = [&] {
    return nev::service::RunCommand(nev.State(), "FiscText", false, [&] {
      return nev::service::Exchange(nev.State(), 0x85, oversize, nev::protocol::ACK).ok();
    });
  };
  EXPECT_FALSE(command());
  ASSERT_EQ(sink_->messages.size(), 1u);
  EXPECT_EQ(sink_->messages[0].text, "Invalid procedure call or argument");
  EXPECT_EQ(sink_->messages[0].style, 16);
  EXPECT_EQ(sink_->messages[0].title, nev::kMessageTitle);

  sink_->messages.clear();
  nev.SilentMode(true);
  EXPECT_FALSE(command());
  EXPECT_TRUE(sink_->messages.empty());
  auto lines = LogEntries(nev);
  EXPECT_TRUE(Contains(lines, "(c)\t\tNEV\tFiscText"));
  EXPECT_TRUE(Contains(lines, "\tErr_No: 5"));
  EXPECT_TRUE(Contains(lines, "\tErr_Description: Invalid procedure call or argument"));

  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(sim.RawInput().empty());  // nothing was written
}

TEST_F(LinkTest, ResultIsTrueOnlyWhenTheDeviceAnswered) {
  nevsim::Simulator sim;
  sim.Start();
  nev::NEV nev(dir_.string());
  nev.SilentMode(true);
  ASSERT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
  auto paper_feed = [&] {
    return nev::service::RunCommand(nev.State(), "PaperFeed", false, [&] {
      return nev::service::Exchange(nev.State(), 0x8F, "01", nev::protocol::ACK).ok();
    });
  };
  EXPECT_TRUE(paper_feed());
  EXPECT_TRUE(sink_->messages.empty());

  sim.SetSilent(true);
  EXPECT_FALSE(paper_feed());
  ASSERT_EQ(sink_->messages.size(), 1u);  // shown even in silent mode
  EXPECT_EQ(sink_->messages[0].text, "RS232 Time out!");

  sink_->messages.clear();
  nev.StopConnection();
  EXPECT_FALSE(paper_feed());  // no port: reported at once, no time-out wait
  ASSERT_EQ(sink_->messages.size(), 1u);
  EXPECT_EQ(sink_->messages[0].text, "COM Port Error!");
}

}  // namespace
