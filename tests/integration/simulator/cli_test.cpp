// The nev-sim program: options from the command line, the link, and a clean stop on SIGTERM.
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim_fixture.h"

namespace simtest {
namespace {

namespace fs = std::filesystem;

// Runs nev-sim with its standard output on a pipe, in a temporary folder.
class SimCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nevsim-cli-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  void Spawn(std::vector<std::string> args) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(fds[1], 1);
      std::vector<char*> argv{const_cast<char*>(NEV_SIM_EXE)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(NEV_SIM_EXE, argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out = ::fdopen(fds[0], "r");
  }
  // One line of its output, or with all = true everything until it ends.
  std::string Read(bool all = false) {
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF && (all || c != '\n');) text += static_cast<char>(c);
    return text;
  }
  // Its exit code, after sending it sig unless 0.
  int Finish(int sig = 0) {
    if (sig) ::kill(pid, sig);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  fs::path dir;
  pid_t pid = -1;
  FILE* out = nullptr;
};

TEST_F(SimCli, ServesALinkWithFaultsFromTheCommandLineAndCleansUpOnSigterm) {
  const fs::path link = dir / "fiscal", paper = dir / "paper.txt";
  Spawn({"--link", link.string(), "--paper", paper.string(), "--nak", "0xA1", "--garbage",
         "\\x01ab", "--baud", "115200"});
  const std::string slave = Read();
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(fs::read_symlink(link).string(), slave);
  {
    DevicePort port(link.string());
    const Answer probe = port.Command(0xFF);
    EXPECT_EQ(probe.kind, Answer::kNak);
    EXPECT_EQ(probe.before,
              "\x01"
              "ab");
    EXPECT_EQ(port.Command(0xA1).kind, Answer::kNak);  // --nak
    EXPECT_EQ(port.Command(0x80).kind, Answer::kFrame);
    EXPECT_EQ(port.Command(0x82, Cp("Привет\t")).kind, Answer::kAck);
    EXPECT_EQ(port.Command(0x81).kind, Answer::kFrame);
  }
  EXPECT_EQ(Finish(SIGTERM), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));  // the link is removed
  std::stringstream text;
  text << std::ifstream(paper).rdbuf();
  EXPECT_NE(text.str().find("\nПривет\n"), std::string::npos) << text.str();
}

TEST_F(SimCli, HelpDocumentsEveryOptionAndBadCommandLinesAreRefused) {
  Spawn({"--help"});
  const std::string help = Read(true);
  EXPECT_EQ(Finish(), 0);
  for (const char* opt :
       {"--link", "--device", "--baud", "--trace", "--paper", "--silent", "--nak", "--garbage",
        "--split", "--syn-storm", "--delay", "--paper-out", "--drop-line", "--override", "--status",
        "--password", "--z-ms", "general-error bit"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
  // A file that is not a link is never replaced.
  const fs::path file = dir / "taken";
  std::ofstream(file) << "keep";
  Spawn({"--link", file.string()});
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(Finish(), 1);
  EXPECT_TRUE(fs::is_regular_file(file));
  Spawn({"--frobnicate"});
  EXPECT_EQ(Finish(), 2);
  Spawn({"--split", "4"});
  EXPECT_EQ(Finish(), 2);
}

}  // namespace
}  // namespace simtest
