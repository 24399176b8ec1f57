// Child processes for the nevctl tests: run a program to its end with captured output, or keep
// one running in the background (nev-sim) and read its lines.
#pragma once

#include <sys/types.h>

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

// A program running in the background: its standard output comes through a pipe, its standard
// error goes to a file.
class Background {
 public:
  explicit Background(const std::vector<std::string>& argv);
  ~Background() { Stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // The next line of standard output (without its newline), or "" when the output ended or
  // timeout_ms passed.
  std::string ReadLine(int timeout_ms);
  // Ends the program (SIGTERM) and returns everything it wrote to standard error.
  std::string Stop();

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string out_buffer_;
};

}  // namespace nevtest
