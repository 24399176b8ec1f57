#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace nevtest {

namespace {

using Clock = std::chrono::steady_clock;

void MakeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return;
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

PtyPair::PtyPair() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  MakeRaw(slave_);
  MakeRaw(master_);
  slave_path_ = name;
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

ScriptedPeer::ScriptedPeer(int master_fd) : master_(master_fd) {
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
}

ScriptedPeer::~ScriptedPeer() {
  Stop();
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

void ScriptedPeer::Start() {
  thread_ = std::thread([this] { Run(); });
}

void ScriptedPeer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  const char b = 1;
  [[maybe_unused]] ssize_t n = ::write(stop_pipe_[1], &b, 1);
  if (thread_.joinable()) thread_.join();
}

bool ScriptedPeer::WaitReceived(std::size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return received_.size() >= count; });
}

std::string ScriptedPeer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool ScriptedPeer::Pump(const std::function<bool()>& ready, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  for (;;) {
    if (ready()) return true;
    int wait = -1;
    if (ms >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return ready();
      wait = static_cast<int>(left);
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    const int r = ::poll(fds, 2, wait);
    if (r < 0 && errno != EINTR) return ready();
    if (fds[1].revents) return ready();
    if (fds[0].revents & POLLIN) {
      char buf[512];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buf, static_cast<std::size_t>(n));
        changed_.notify_all();
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // Nobody holds the slave: wait for the stop or the deadline without spinning.
      ::poll(&fds[1], 1, wait);
      return ready();
    }
  }
}

void ScriptedPeer::WriteAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    } else {
      Pump([] { return false; }, 1);  // keep reading so the driver can drain its side
    }
  }
}

void ScriptedPeer::Run() {
  auto stopping = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  };
  // Position of byte in the received bytes from the cursor on, or npos.
  auto find = [this](char byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.find(byte, cursor_);
  };
  for (const Step& s : steps_) {
    if (stopping()) break;
    if (s.kind == Step::kExpect) {
      if (!Pump([&] { return find(s.byte) != std::string::npos; }, s.ms)) break;
      cursor_ = find(s.byte) + 1;
    } else if (s.kind == Step::kWrite) {
      WriteAll(s.bytes);
    } else {
      Pump([] { return false; }, s.ms);
    }
  }
  // Keep reading until stopped, so that the driver's last writes are recorded.
  Pump([] { return false; }, -1);
}

}  // namespace nevtest
