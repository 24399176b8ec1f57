#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
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

ScriptedPeer& ScriptedPeer::ExpectUntil(char byte, int timeout_ms) {
  Step s;
  s.kind = Step::kExpectUntil;
  s.byte = byte;
  s.ms = timeout_ms;
  steps_.push_back(std::move(s));
  return *this;
}

ScriptedPeer& ScriptedPeer::ExpectBytes(std::size_t count, int timeout_ms) {
  Step s;
  s.kind = Step::kExpectBytes;
  s.count = count;
  s.ms = timeout_ms;
  steps_.push_back(std::move(s));
  return *this;
}

ScriptedPeer& ScriptedPeer::Write(std::string bytes) {
  Step s;
  s.kind = Step::kWrite;
  s.bytes = std::move(bytes);
  steps_.push_back(std::move(s));
  return *this;
}

ScriptedPeer& ScriptedPeer::Delay(int ms) {
  Step s;
  s.kind = Step::kDelay;
  s.ms = ms;
  steps_.push_back(std::move(s));
  return *this;
}

ScriptedPeer& ScriptedPeer::Do(std::function<void()> action) {
  Step s;
  s.kind = Step::kDo;
  s.action = std::move(action);
  steps_.push_back(std::move(s));
  return *this;
}

ScriptedPeer& ScriptedPeer::RespondForever(
    std::function<std::string(const std::string& frame)> reply) {
  Step s;
  s.kind = Step::kRespond;
  s.reply = std::move(reply);
  steps_.push_back(std::move(s));
  return *this;
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

bool ScriptedPeer::WaitDone(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done_; });
  return done_ && failure_.empty();
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

std::string ScriptedPeer::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
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
  auto received_size = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
  };
  // Position of byte in the received bytes from the cursor on, or npos.
  auto find = [this](char byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.find(byte, cursor_);
  };
  auto fail = [this](std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(what);
  };

  bool ok = true;
  for (std::size_t i = 0; ok && i < steps_.size() && !stopping(); ++i) {
    Step& s = steps_[i];
    switch (s.kind) {
      case Step::kExpectUntil:
        if (Pump([&] { return find(s.byte) != std::string::npos; }, s.ms)) {
          cursor_ = find(s.byte) + 1;
        } else if (!stopping()) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "0x%02X", 0xFF & s.byte);
          fail("step " + std::to_string(i) + ": byte " + hex + " not received");
          ok = false;
        }
        break;
      case Step::kExpectBytes:
        if (Pump([&] { return received_size() >= cursor_ + s.count; }, s.ms)) {
          cursor_ += s.count;
        } else if (!stopping()) {
          fail("step " + std::to_string(i) + ": " + std::to_string(s.count) +
               " bytes not received");
          ok = false;
        }
        break;
      case Step::kWrite:
        WriteAll(s.bytes);
        break;
      case Step::kDelay:
        Pump([] { return false; }, s.ms);
        break;
      case Step::kDo:
        s.action();
        break;
      case Step::kRespond:
        while (!stopping()) {
          if (!Pump([&] { return find('\x03') != std::string::npos; }, -1)) break;
          const std::size_t end = find('\x03');
          std::string frame;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            frame = received_.substr(cursor_, end + 1 - cursor_);
          }
          cursor_ = end + 1;
          if (const std::size_t stx = frame.rfind('\x02'); stx != std::string::npos) {
            frame.erase(0, stx);
          }
          const std::string answer = s.reply(frame);
          if (!answer.empty()) WriteAll(answer);
        }
        break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }
  // Keep reading until stopped, so that the driver's last writes are recorded.
  Pump([] { return false; }, -1);
}

}  // namespace nevtest
