// Child processes for the nevctl tests: run a program to its end with captured output.
#pragma once

#include <string>
#include <vector>

#include "support/helpers.h"

namespace nevtest {

struct Finished {
  int exit_code = -1;  // -1 when it did not exit normally
  std::string out, err;
};

// Runs argv[0] with the arguments, standard input fed from input, and waits for its end. The
// extra_env entries come before (and so override) the inherited environment.
Finished Run(const std::vector<std::string>& argv, const std::string& input = {},
             const std::vector<std::string>& extra_env = {});

}  // namespace nevtest
