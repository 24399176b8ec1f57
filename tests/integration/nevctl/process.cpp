#include "process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace nevtest {
namespace {

// Starts argv[0] with standard input from the file in and its outputs to the files out and err.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
            const std::string& in, const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
  std::vector<std::string> strings = argv, env = extra_env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> args, envp;
  for (std::string& s : strings) args.push_back(s.data());
  for (std::string& s : env) envp.push_back(s.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Finished Run(const std::vector<std::string>& argv, const std::string& input,
             const std::vector<std::string>& extra_env) {
  TempDir dir;
  const auto in = dir.path() / "in", out = dir.path() / "out", err = dir.path() / "err";
  WriteFile(in, input);
  Finished f;
  f.exit_code = Wait(Spawn(argv, extra_env, in, out, err));
  f.out = ReadFile(out);
  f.err = ReadFile(err);
  return f;
}

}  // namespace nevtest
