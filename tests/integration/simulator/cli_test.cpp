// The nev-sim program: options from the command line, the link, and a clean stop on SIGTERM.
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "sim_fixture.h"
#include "support/helpers.h"

namespace simtest {
namespace {

namespace fs = std::filesystem;

// nev-sim with its standard output on a pipe. The shell prints its own process id, which nev-sim
// then takes over.
struct SimProcess {
  explicit SimProcess(const std::string& args)
      : out(::popen(("echo $$; exec '" NEV_SIM_EXE "' " + args).c_str(), "r")),
        pid(std::stoi(Read())) {}
  ~SimProcess() {
    if (out) Finish(SIGTERM);
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
    const int status = ::pclose(out);
    out = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  FILE* out;
  pid_t pid;
};

TEST(SimCli, ServesALinkWithFaultsFromTheCommandLineAndCleansUpOnSigterm) {
  const nevtest::TempDir folder;
  const fs::path link = folder.path() / "fiscal", paper = folder.path() / "paper.txt";
  SimProcess nev_sim("--link " + link.string() + " --paper " + paper.string() + " --nak " +
                     nevtest::HexCode(Command::kGetStatus) + " --garbage '\\x01ab' --baud 115200");
  const std::string slave = nev_sim.Read();
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(fs::read_symlink(link).string(), slave);
  {
    DevicePort port(link.string());
    const Reply probe = port.Request(Command::kProbe);
    EXPECT_EQ(probe.kind, Answer::kNak);
    EXPECT_EQ(probe.before,
              "\x01"
              "ab");
    EXPECT_EQ(port.Request(Command::kGetStatus).kind, Answer::kNak);  // --nak
    EXPECT_EQ(port.Request(Command::kOpenServNote).kind, Answer::kFrame);
    EXPECT_EQ(port.Request(Command::kServText, Cp("Привет\t")).kind, Answer::kAck);
    EXPECT_EQ(port.Request(Command::kCloseServNote).kind, Answer::kFrame);
  }
  EXPECT_EQ(nev_sim.Finish(SIGTERM), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));  // the link is removed
  const std::string text = nevtest::ReadFile(paper);
  EXPECT_NE(text.find("\nПривет\n"), std::string::npos) << text;
  // A file that is not a link is never replaced.
  SimProcess taken("--link " + paper.string());
  EXPECT_EQ(taken.Read(true), "");
  EXPECT_EQ(taken.Finish(), 1);
  EXPECT_TRUE(fs::is_regular_file(paper));
}

TEST(SimCli, HelpDocumentsEveryOptionAndBadCommandLinesAreRefused) {
  SimProcess help("--help");
  const std::string text = help.Read(true);
  EXPECT_EQ(help.Finish(), 0);
  for (const char* opt :
       {"--link",     "--device",    "--baud",      "--trace",          "--paper",
        "--silent",   "--nak",       "--garbage",   "--split",          "--syn-storm",
        "--delay",    "--paper-out", "--drop-line", "--override",       "--status",
        "--password", "--z-ms",      "--late MS",   "--hangup-after N", "general-error bit"})
    EXPECT_NE(text.find(opt), std::string::npos) << opt;
  for (const char* bad : {"--frobnicate", "--split 4", "--late soon", "--hangup-after"})
    EXPECT_EQ(SimProcess(bad).Finish(), 2) << bad;
}

}  // namespace
}  // namespace simtest
