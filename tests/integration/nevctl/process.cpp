#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace nevtest {
namespace {

// Starts argv[0] with standard input from the file in, standard output to out_fd (or, when it
// is negative, the file out) and standard error to the file err.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
            const std::string& in, int out_fd, const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
  }
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
  f.exit_code = Wait(Spawn(argv, extra_env, in, -1, out, err));
  f.out = ReadFile(out);
  f.err = ReadFile(err);
  return f;
}

Background::Background(const std::vector<std::string>& argv) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
  pid_ = Spawn(argv, {}, "/dev/null", out[1], "", dir_.path() / "err");
  ::close(out[1]);
  out_ = out[0];
}

std::string Background::ReadLine(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (const auto nl = out_buffer_.find('\n'); nl != std::string::npos) {
      std::string line = out_buffer_.substr(0, nl);
      out_buffer_.erase(0, nl + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{out_, POLLIN, 0};
    if (left <= 0 || out_ < 0 || ::poll(&p, 1, static_cast<int>(left)) < 0) return {};
    char chunk[4096];
    const ssize_t n = p.revents ? ::read(out_, chunk, sizeof chunk) : 0;
    if (p.revents && n <= 0) return {};  // the output ended
    if (n > 0) out_buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string Background::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    Wait(pid_);
    pid_ = -1;
  }
  if (out_ >= 0) ::close(out_), out_ = -1;
  return ReadFile(dir_.path() / "err");
}

}  // namespace nevtest
