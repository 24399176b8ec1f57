// Pseudo-terminal test support: a pty pair and a scripted peer on its master side.
//
// Use in a test folder's CMakeLists.txt (tests/<unit|integration>/<folder>/):
//   nev_add_test(my_test SOURCES my_test.cpp ../../support/pty.cpp LIBS nev_protocol util)
// and in the test:
//   nevtest::PtyPair pty;                          // the driver opens pty.slave_path()
//   nevtest::ScriptedPeer peer(pty.master());
//   peer.ExpectUntil(0x03).Write("\x06").Start();  // read a frame, answer ACK
//   ... drive the port ...
//   EXPECT_TRUE(peer.WaitDone());
//   EXPECT_EQ(peer.Received(), expected_bytes);    // everything the driver wrote
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

  // Script steps (add them before Start). The expect steps consume the received bytes from a
  // cursor: each one starts where the previous one stopped. An expect that times out marks the
  // peer failed and ends the script.
  ScriptedPeer& ExpectUntil(char byte, int timeout_ms = 10000);  // up to and including byte
  ScriptedPeer& ExpectBytes(std::size_t count, int timeout_ms = 10000);
  ScriptedPeer& Write(std::string bytes);
  ScriptedPeer& Delay(int ms);
  ScriptedPeer& Do(std::function<void()> action);  // runs on the peer thread
  // Last step: for every frame the driver writes (bytes up to ETX, from its last STX), writes
  // reply(frame); a reply that is empty writes nothing. Runs until Stop().
  ScriptedPeer& RespondForever(std::function<std::string(const std::string& frame)> reply);

  void Start();
  // Ends the thread (a script still running is cut short). Idempotent.
  void Stop();

  // True once the script ran to its end without a failed expect; false on timeout or failure.
  bool WaitDone(int timeout_ms = 20000);
  // True once at least count bytes in all have been read from the master.
  bool WaitReceived(std::size_t count, int timeout_ms = 10000);
  // Everything read from the master so far.
  std::string Received() const;
  // Empty unless an expect step timed out: then what it waited for.
  std::string Failure() const;

 private:
  struct Step {
    enum Kind { kExpectUntil, kExpectBytes, kWrite, kDelay, kDo, kRespond };
    Kind kind = kWrite;
    char byte = 0;
    std::size_t count = 0;
    int ms = 0;
    std::string bytes;
    std::function<void()> action;
    std::function<std::string(const std::string&)> reply;
  };

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
  bool done_ = false;
  bool stopping_ = false;
  std::string failure_;
};

}  // namespace nevtest
