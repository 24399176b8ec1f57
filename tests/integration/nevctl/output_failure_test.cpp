// nevctl whose standard output goes away (a reader that stops early): it is not killed inside a
// call, makes no further call, closes the line and exits with status 3. For each command that
// makes many calls: a script, the demo receipt and the FM report.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "nevsim/simulator.h"
#include "support/commands.h"
#include "support/helpers.h"

namespace {

using nevtest::Command;
using nevtest::FramesOf;

TEST(NevctlOutput, AFailedOutputStopsTheCallsWithoutKillingTheProcess) {
  // A reader that stops after a few bytes (SIGPIPE for the writer), or an output that refuses
  // every write (a full disk): the second makes the stop certain for commands with few calls.
  struct Case {
    const char* name;
    std::string args;
    std::string to;
  };
  nevtest::TempDir dir;
  std::string script;
  for (int i = 0; i < 200; ++i) script += "GetStatus\n";
  nevtest::WriteFile(dir.path() / "r.txt", script);
  const std::string reader = "| head -c 100 >/dev/null; exit ${PIPESTATUS[0]}";
  const Case cases[] = {
      {"run", "--json run " + dir.str() + "/r.txt", reader},
      {"demo", "--json demo", ">/dev/full"},
      {"fm-report", "fm-report", ">/dev/full"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nevsim::Simulator sim;
    sim.Start();
    const std::string nevctl =
        "env LC_ALL=C " NEVCTL_PATH " --log-dir " + dir.str() + " --port " + sim.SlavePath();
    const int status = std::system(("bash -c 'set -o pipefail; " + nevctl + " " + c.args + " 2>" +
                                    dir.str() + "/err " + c.to + "'")
                                       .c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);  // not 141: no SIGPIPE
    EXPECT_NE(nevtest::ReadFile(dir.path() / "err").find("standard output failed"),
              std::string::npos);
    // A few calls, far from all of them.
    EXPECT_LT(FramesOf(sim, Command::kGetStatus), 100u);
    EXPECT_EQ(FramesOf(sim, Command::kCloseFiscNote), 0u);
    EXPECT_EQ(FramesOf(sim, Command::kZDay), 0u);
    EXPECT_LT(FramesOf(sim, Command::kNextFMPiece), 3u);
    // The line was closed cleanly: the simulator serves the next opener at once.
    const int next = std::system((nevctl + " call GetStatus >/dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(next) && WEXITSTATUS(next) == 0);
  }
}

}  // namespace
