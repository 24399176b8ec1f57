// What the driver tells a person and a support engineer: why a port did not open, the trace of
// every frame at log level 4, a log that moves to the user's folder when the module's folder is
// closed to it, and message boxes that reach the sink of the object that showed them.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "support/commands.h"
#include "support/helpers.h"
#include "support/pty.h"

namespace {

namespace fs = std::filesystem;
using nevtest::Code;
using nevtest::Command;

constexpr uid_t kNobody = 65534;

// Runs body in a child process as the unprivileged user nobody (when this test runs as root, as
// in CI) and returns what the body wrote to its pipe; an empty text when the child failed.
std::string AsNobody(const std::function<std::string()>& body) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
    const std::string text = body();
    if (write(out[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(1);
    _exit(0);
  }
  close(out[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : std::string();
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class Diagnostics : public ::testing::Test {
 protected:
  // InitConnection on device at baud must fail with the given error number, outcome and a
  // description holding every piece of want; the one message box shows that description.
  void ExpectOpenFails(const std::string& device, int32_t baud, int32_t number,
                       std::vector<std::string> want) {
    SCOPED_TRACE(device + " at " + std::to_string(baud));
    nev::NEV nev(dir.str());
    EXPECT_FALSE(nev.InitConnection(device, baud));
    const nev::CallRecord& call = nev.LastCall();
    EXPECT_EQ(call.outcome, nev::Outcome::kPortError);
    ASSERT_TRUE(call.error.has_value());
    EXPECT_EQ(call.error->number, number);
    for (const std::string& piece : want) {
      EXPECT_NE(call.error->description.find(piece), std::string::npos)
          << call.error->description << " lacks " << piece;
    }
    EXPECT_EQ(messages.Take(), std::vector<std::string>{call.error->description});
  }

  nevtest::TempDir dir;
  nevtest::MessageRecorder messages;
};

TEST_F(Diagnostics, APortThatDoesNotOpenSaysWhy) {
  ExpectOpenFails((dir.path() / "ttyUSB9").string(), 9600, nev::kErrPortOpenFailed,
                  {(dir.path() / "ttyUSB9").string(), "no such device"});
  nevtest::WriteFile(dir.path() / "notes.txt", "not a port");
  ExpectOpenFails((dir.path() / "notes.txt").string(), 9600, nev::kErrPortOpenFailed,
                  {"notes.txt", "not a serial device"});
  ExpectOpenFails(dir.str(), 9600, nev::kErrPortOpenFailed, {"not a serial device"});

  // A speed the line cannot take names itself and the ones that work; nothing was opened.
  nevsim::Simulator sim;
  sim.Start();
  ExpectOpenFails(sim.SlavePath(), 12345, 380, {"12345", "9600", "115200"});
  EXPECT_TRUE(sim.Frames().empty());
}

TEST_F(Diagnostics, APortWithoutPermissionNamesTheGroupThatOwnsIt) {
  nevtest::PtyPair pty;
  ASSERT_EQ(chmod(pty.slave_path().c_str(), 0600), 0);
  struct stat st {};
  ASSERT_EQ(stat(pty.slave_path().c_str(), &st), 0);
  const group* owner = getgrgid(st.st_gid);
  ASSERT_NE(owner, nullptr);
  const std::string group_name = owner->gr_name;
  auto attempt = [&] {
    nev::NEV nev(dir.str());
    nev.SilentMode(true);
    nev.InitConnection(pty.slave_path(), 9600);
    const nev::CallRecord& call = nev.LastCall();
    return call.error ? std::to_string(call.error->number) + " " + call.error->description
                      : std::string("no error");
  };
  std::string said;
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(dir.str().c_str(), 0777), 0);  // nobody may write the log there
    said = AsNobody(attempt);
  } else {
    ASSERT_EQ(chmod(pty.slave_path().c_str(), 0), 0);
    said = attempt();
  }
  EXPECT_NE(said.find("8002 Cannot open " + pty.slave_path() + ": permission denied: only root"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("group \"" + group_name + "\""), std::string::npos) << said;
  // Access is granted safely (a udev rule, the serial group), never through root's group.
  EXPECT_NE(said.find("udev rule"), std::string::npos) << said;
  EXPECT_NE(said.find("usermod -aG dialout"), std::string::npos) << said;
  EXPECT_EQ(said.find("-aG root"), std::string::npos) << said;
}

TEST_F(Diagnostics, LevelFourTracesEveryFrameAndControlByteAndLevelThreeNone) {
  nevsim::Simulator sim;
  sim.Start();
  nev::NEV nev(dir.str());
  nev.Log().Level(4);
  ASSERT_TRUE(nev.InitConnection(sim.SlavePath(), 9600));
  ASSERT_TRUE(nev.PaperFeed(1));
  ASSERT_FALSE(nev.GetTaxRates().empty());
  ASSERT_TRUE(sim.WaitForFrames(3, 2000));
  const std::vector<nevsim::Received> frames = sim.Frames();
  std::vector<std::string> lines = nevtest::LogEntries(nev.Log().LogFile());

  const std::string traced[] = {
      "(t)\tNEV\tInitConnection\t-> " + nevtest::Hex(frames[0].raw) + "  probe",
      "(t)\tNEV\tInitConnection\t<- 15  probe answer",
      "(t)\tNEV\tPaperFeed\t-> " + nevtest::Hex(frames[1].raw) + "  PaperFeed",
      "(t)\tNEV\tPaperFeed\t<- 06  ACK",
      "(t)\tNEV\tGetTaxRates\t-> " + nevtest::Hex(frames[2].raw) + "  GetTaxRates",
      "(t)\tNEV\tGetTaxRates\t<- 02 ",
      " 03  GetTaxRates reply",
      "(t)\tNEV\tGetTaxRates\t-> 06  ACK",  // the reply acknowledged
      "(t)\tNEV\tGetTaxRates\toutcome answered"};
  for (const std::string& text : traced) EXPECT_TRUE(Has(lines, text)) << text;

  // A NAK and a probe without an answer are traced too.
  sim.NakCommand(Code(Command::kOpenDraw));
  EXPECT_FALSE(nev.OpenDraw());
  sim.SetSilent(true);
  EXPECT_FALSE(nev.InitConnection(sim.SlavePath(), 9600));
  lines = nevtest::LogEntries(nev.Log().LogFile());
  EXPECT_TRUE(Has(lines, "(t)\tNEV\tOpenDraw\t<- 15  NAK"));
  EXPECT_TRUE(Has(lines, "(t)\tNEV\tOpenCom\tno answer to the probe within 1000 ms on " +
                             sim.SlavePath() + " at 9600"));
  EXPECT_EQ(nev.LastCall().error->description,
            "no answer to the probe within 1000 ms on " + sim.SlavePath() +
                " at 9600: check that the printer is switched on, that its cable is plugged in "
                "at both ends and that the line speed is the printer's (nevctl scan finds the "
                "printer and its speed)");
  EXPECT_EQ(nev.LastCall().error->port, sim.SlavePath());
  EXPECT_EQ(nev.LastCall().error->speed, 9600);
  messages.Take();

  // The default level writes none of it.
  sim.SetSilent(false);
  nevtest::TempDir quiet;
  nev::NEV plain(quiet.str());
  ASSERT_TRUE(plain.InitConnection(sim.SlavePath(), 9600));
  ASSERT_TRUE(plain.PaperFeed(1));
  for (const std::string& line : nevtest::LogEntries(plain.Log().LogFile())) {
    EXPECT_EQ(line.find("(t)"), std::string::npos) << line;
  }
}

TEST_F(Diagnostics, ALogThatCannotBeWrittenBesideTheModuleMovesToTheUserStateFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as a user without write access";
  ASSERT_EQ(chmod(dir.str().c_str(), 0777), 0);
  const std::string state = dir.str() + "/state";
  const std::string said = AsNobody([&] {
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    nev::NEV nev;  // the log beside the test program, whose folder nobody cannot write
    nev.StopConnection();
    return nev.Log().LogFile() + "\n" + nevtest::ReadFile(nev.Log().LogFile());
  });
  ASSERT_FALSE(said.empty());
  const std::string file = said.substr(0, said.find('\n'));
  EXPECT_EQ(fs::path(file).parent_path(), fs::path(state) / "nevcom") << file;
  EXPECT_NE(said.find("\tNEV\tStopConnection\tentering"), std::string::npos) << said;
  EXPECT_NE(said.find("Debug Session Start"), std::string::npos) << said;
}

TEST_F(Diagnostics, EachObjectsMessagesReachItsOwnSink) {
  auto front = std::make_shared<nev::RecordingSink>();
  auto back = std::make_shared<nev::RecordingSink>();
  nev::NEV first(dir.str()), second(dir.str());
  EXPECT_EQ(first.SetMessageSink(front), nullptr);
  second.SetMessageSink(back);
  EXPECT_FALSE(first.OpenDraw());  // no connection: "COM Port Error!"
  EXPECT_FALSE(second.SellDep(1, 1e300, 1));
  ASSERT_EQ(front->messages.size(), 1u);
  EXPECT_EQ(front->messages[0].text, "COM Port Error!");
  EXPECT_EQ(front->messages[0].title, nev::kMessageTitle);
  ASSERT_EQ(back->messages.size(), 1u);
  EXPECT_NE(back->messages[0].text.find("Q = 1e+300"), std::string::npos);
  EXPECT_TRUE(messages.Take().empty());

  // Without its own sink an object's messages go to the process-wide one again.
  EXPECT_EQ(first.SetMessageSink(nullptr), front);
  EXPECT_FALSE(first.OpenDraw());
  EXPECT_EQ(messages.Take(), std::vector<std::string>{"COM Port Error!"});
  EXPECT_EQ(front->messages.size(), 1u);
}

}  // namespace
