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

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

void Pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env, int in,
            int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  auto arg_p = Pointers(args);
  auto env_p = Pointers(env);
  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, arg_p.data(), env_p.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  return pid;
}

// Reads what is there (blocking up to timeout_ms for the first byte); false at the end.
bool ReadSome(int fd, std::string& buffer, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return true;
  char chunk[4096];
  const ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) return false;
  buffer.append(chunk, static_cast<std::size_t>(n));
  return true;
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
  int in[2], out[2], err[2];
  Pipe(in);
  Pipe(out);
  Pipe(err);
  const pid_t pid = Spawn(argv, extra_env, in[0], out[1], err[1]);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Feed the input while reading both outputs, so that no pipe fills up.
  std::size_t written = 0;
  if (input.empty()) ::close(in[1]), in[1] = -1;
  Finished f;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd p[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                   {err_open ? err[0] : -1, POLLIN, 0},
                   {in[1], POLLOUT, 0}};
    if (::poll(p, 3, -1) < 0 && errno != EINTR) break;
    if (p[0].revents) out_open = ReadSome(out[0], f.out, 0);
    if (p[1].revents) err_open = ReadSome(err[0], f.err, 0);
    if (in[1] >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n <= 0 || written == input.size()) ::close(in[1]), in[1] = -1;
    }
  }
  if (in[1] >= 0) ::close(in[1]);
  ::close(out[0]);
  ::close(err[0]);
  f.exit_code = Wait(pid);
  return f;
}

Background::Background(const std::vector<std::string>& argv) {
  int in[2], out[2], err[2];
  Pipe(in);
  Pipe(out);
  Pipe(err);
  pid_ = Spawn(argv, {}, in[0], out[1], err[1]);
  ::close(in[0]);
  ::close(in[1]);
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

Background::~Background() {
  Stop();
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
    if (left <= 0 || out_ < 0) return {};
    // Standard error is drained too, so that a chatty program never blocks on it.
    pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(left)) <= 0) continue;
    if (p[1].revents && !ReadSome(err_, err_buffer_, 0)) ::close(err_), err_ = -1;
    if (p[0].revents && !ReadSome(out_, out_buffer_, 0)) {
      ::close(out_), out_ = -1;
      return {};
    }
  }
}

std::string Background::Stop(std::string* rest_of_out) {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    while (out_ >= 0 || err_ >= 0) {
      pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
      if (::poll(p, 2, 10000) <= 0) break;
      if (p[0].revents && !ReadSome(out_, out_buffer_, 0)) ::close(out_), out_ = -1;
      if (p[1].revents && !ReadSome(err_, err_buffer_, 0)) ::close(err_), err_ = -1;
    }
    ::kill(pid_, SIGKILL);  // still running after its outputs went quiet (a zombie ignores it)
    Wait(pid_);
    pid_ = -1;
  }
  if (out_ >= 0) ::close(out_), out_ = -1;
  if (err_ >= 0) ::close(err_), err_ = -1;
  if (rest_of_out) *rest_of_out = out_buffer_;
  return err_buffer_;
}

}  // namespace nevtest
