// nevctl whose standard output goes away (a reader that stops early): it is not killed inside a
// call, makes no further call, closes the line and exits with status 3.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "nevsim/simulator.h"
#include "support/helpers.h"

namespace {

TEST(NevctlOutput, ClosedPipeStopsTheCallsWithoutKillingTheProcess) {
  nevsim::Simulator sim;
  sim.Start();
  nevtest::TempDir dir;
  std::string script;
  for (int i = 0; i < 200; ++i) script += "GetStatus\n";
  nevtest::WriteFile(dir.path() / "r.txt", script);
  const std::string command = "bash -c 'set -o pipefail; env LC_ALL=C " NEVCTL_PATH " --log-dir " +
                              dir.str() + " --port " + sim.SlavePath() + " --json run " +
                              dir.str() + "/r.txt 2>" + dir.str() +
                              "/err | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);  // not 141: no SIGPIPE
  EXPECT_NE(nevtest::ReadFile(dir.path() / "err").find("standard output failed"),
            std::string::npos);
  // The probe and a few calls, far from all of them.
  EXPECT_LT(sim.Frames().size(), 100u);
  // The line was closed cleanly: the simulator serves the next opener at once.
  const std::string again = "env LC_ALL=C " NEVCTL_PATH " --log-dir " + dir.str() + " --port " +
                            sim.SlavePath() + " call GetStatus >/dev/null 2>&1";
  const int next = std::system(again.c_str());
  EXPECT_TRUE(WIFEXITED(next) && WEXITSTATUS(next) == 0);
}

}  // namespace
