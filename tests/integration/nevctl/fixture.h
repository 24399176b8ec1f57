// The nevctl fixture: a simulator on a pseudo-terminal and nevctl run as a separate process
// against it, with its output, errors and exit code.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "nevsim/simulator.h"
#include "support/commands.h"
#include "support/helpers.h"

namespace nevctltest {

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What the simulator received: the command (kNextFMPiece for the bare "N") and the data bytes.
using nevtest::Command;
using Seen = std::vector<std::pair<Command, std::string>>;

class Nevctl : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    port = sim.SlavePath();
  }

  Seen SimSaw() {
    Seen seen;
    for (const nevsim::Received& r : sim.Frames()) seen.emplace_back(Command{r.cmd}, r.data);
    return seen;
  }
  struct Finished {
    int exit_code = -1;  // -1 when it did not exit normally
    std::string out, err;
  };
  // Runs nevctl with the arguments and the extra environment (LC_ALL=C among it), standard input
  // fed from input, and waits for its end.
  Finished Ctl(const std::vector<std::string>& args, const std::string& input = {},
               const std::string& env = {}) {
    auto quoted = [](std::string text) {
      for (std::size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 4) {
        text.replace(at, 1, "'\\''");
      }
      return "'" + text + "'";
    };
    std::string command =
        "env LC_ALL=C " + env + " " NEVCTL_PATH " --log-dir " + quoted(logs.str());
    for (const std::string& arg : args) command += " " + quoted(arg);
    const std::string io = logs.str() + "/io";  // a mkdtemp name: nothing to quote
    nevtest::WriteFile(io, input);
    const int status =
        std::system((command + " <" + io + " >" + io + ".out 2>" + io + ".err").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, nevtest::ReadFile(io + ".out"),
            nevtest::ReadFile(io + ".err")};
  }

  nevtest::TempDir logs;
  nevsim::Simulator sim;
  std::string port;
};

const std::string kTitle = "НЕВ COM Сървър";

}  // namespace nevctltest
