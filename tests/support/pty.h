// A pseudo-terminal pair and a scripted peer on its master side; the driver opens the slave:
//   nevtest::PtyPair pty;
//   nevtest::ScriptedPeer peer(pty.master());
//   peer.ExpectUntil(0x03).Write("\x06").Start();  // read a frame, answer ACK
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nevtest {

// An openpty pair, both ends raw. The pair keeps a descriptor of the slave open for its whole
// life, so the master never sees a hang-up while the driver closes and reopens the port, and
// bytes written to the master before the driver opens are not echoed. Throws
// std::runtime_error when no pty can be made.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

// A thread on the master side of a pty that plays a script of steps in order. It reads all the
// time (also during delays, writes and after the script's end, until stopped), so the driver's
// writes never stall and everything the driver wrote is kept in Received().
class ScriptedPeer {
 public:
  explicit ScriptedPeer(int master_fd);
  ~ScriptedPeer();  // Stop()
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // Script steps (add them before Start). ExpectUntil reads up to and including byte, starting
  // where the previous one stopped; one that times out ends the script.
  ScriptedPeer& ExpectUntil(char byte, int timeout_ms = 10000) {
    return Add({Step::kExpect, byte, timeout_ms, {}});
  }
  ScriptedPeer& Write(std::string bytes) { return Add({Step::kWrite, 0, 0, std::move(bytes)}); }
  ScriptedPeer& Delay(int ms) { return Add({Step::kDelay, 0, ms, {}}); }

  void Start();
  // Ends the thread (a script still running is cut short). Idempotent.
  void Stop();

  // True once at least count bytes in all have been read from the master.
  bool WaitReceived(std::size_t count, int timeout_ms = 10000);
  // Everything read from the master so far.
  std::string Received() const;

 private:
  struct Step {
    enum Kind { kExpect, kWrite, kDelay };
    Kind kind = kWrite;
    char byte = 0;
    int ms = 0;
    std::string bytes;
  };

  ScriptedPeer& Add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
  }
  void Run();
  // Reads whatever the master has until ready() or the deadline (ms < 0: no deadline) or
  // Stop(); returns ready().
  bool Pump(const std::function<bool()>& ready, int ms);
  void WriteAll(const std::string& bytes);

  int master_;
  int stop_pipe_[2] = {-1, -1};
  std::vector<Step> steps_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
  std::size_t cursor_ = 0;  // touched by the peer thread only
  bool stopping_ = false;
};

}  // namespace nevtest
