// Child processes for the nevctl tests: run a program to its end with captured output, or keep
// one running in the background (nev-sim) and read its lines.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nevtest {

struct Finished {
  int exit_code = -1;  // -1 when it did not exit normally
  std::string out, err;
};

// Runs argv[0] with the arguments, standard input fed from input, and waits for its end.
Finished Run(const std::vector<std::string>& argv, const std::string& input = {},
             const std::vector<std::string>& extra_env = {});

// A program running in the background; its standard output and error are read through pipes.
class Background {
 public:
  explicit Background(const std::vector<std::string>& argv);
  ~Background();  // SIGTERM, then waits for the end
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // The next line of standard output (without its newline), or "" when the output ended or
  // timeout_ms passed.
  std::string ReadLine(int timeout_ms);
  // Stops the program and returns everything it wrote to standard error (and the rest of its
  // standard output through rest_of_out).
  std::string Stop(std::string* rest_of_out = nullptr);

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string out_buffer_, err_buffer_;
};

}  // namespace nevtest
