// The nev-sim program: options from the command line, the link, and a clean stop on SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim_fixture.h"

namespace simtest {
namespace {

namespace fs = std::filesystem;

struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

// Starts nev-sim with its standard output on a pipe.
Child Spawn(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(NEV_SIM_EXE));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(NEV_SIM_EXE, argv.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fdopen(fds[0], "r")};
}

std::string Line(FILE* f) {
  char buf[512];
  if (!fgets(buf, sizeof buf, f)) return {};
  std::string s = buf;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

int Finish(Child& c, int sig) {
  if (sig) kill(c.pid, sig);
  int status = 0;
  waitpid(c.pid, &status, 0);
  if (c.out) fclose(c.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SimCli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("nevsim-cli-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(SimCli, ServesALinkWithFaultsFromTheCommandLineAndCleansUpOnSigterm) {
  const fs::path link = dir / "fiscal";
  const fs::path paper = dir / "paper.txt";
  Child c = Spawn({"--link", link.string(), "--paper", paper.string(), "--nak", "0xA1", "--garbage",
                   "\\x01ab", "--baud", "115200"});
  ASSERT_GT(c.pid, 0);
  const std::string slave = Line(c.out);
  ASSERT_FALSE(slave.empty());
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link).string(), slave);
  {
    DevicePort port(link.string());
    Answer probe = port.Command(0xFF);
    EXPECT_EQ(probe.kind, Answer::kNak);
    EXPECT_EQ(probe.before,
              "\x01"
              "ab");
    EXPECT_EQ(port.Command(0xA1).kind, Answer::kNak);  // --nak
    Answer open = port.Command(0x80);
    EXPECT_EQ(open.kind, Answer::kFrame);
    EXPECT_EQ(port.Command(0x82, "\xCF\xF0\xE8\xE2\xE5\xF2\t").kind, Answer::kAck);  // "Привет"
    EXPECT_EQ(port.Command(0x81).kind, Answer::kFrame);
  }
  EXPECT_EQ(Finish(c, SIGTERM), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));  // the link is removed
  std::ifstream in(paper);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("\nПривет\n"), std::string::npos) << text.str();
}

TEST_F(SimCli, RefusesToReplaceAFileThatIsNotALinkAndRejectsUnknownOptions) {
  const fs::path file = dir / "taken";
  std::ofstream(file) << "keep";
  Child c = Spawn({"--link", file.string()});
  EXPECT_EQ(Line(c.out), "");
  EXPECT_EQ(Finish(c, 0), 1);
  EXPECT_TRUE(fs::is_regular_file(file));
  Child u = Spawn({"--frobnicate"});
  EXPECT_EQ(Finish(u, 0), 2);
  Child s = Spawn({"--split", "4"});
  EXPECT_EQ(Finish(s, 0), 2);
}

TEST_F(SimCli, HelpDocumentsEveryOptionAndTheRefusalRule) {
  Child c = Spawn({"--help"});
  std::string help, line;
  while (!(line = Line(c.out)).empty() || !feof(c.out)) help += line + "\n";
  EXPECT_EQ(Finish(c, 0), 0);
  for (const char* opt : {"--link", "--device", "--baud", "--trace", "--paper", "--silent", "--nak",
                          "--garbage", "--split", "--syn-storm", "--delay", "--paper-out",
                          "--drop-line", "--override", "--status", "--password", "--z-ms"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
  EXPECT_NE(help.find("general-error bit"), std::string::npos);
}

}  // namespace
}  // namespace simtest
