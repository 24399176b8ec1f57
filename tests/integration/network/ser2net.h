// ser2net in front of a device, started by a test on a free loopback port with a configuration it
// writes, as a raw TCP accepter or as telnet(rfc2217).
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/helpers.h"
#include "support/net.h"
#include "support/process.h"

namespace nevtest {

class Ser2net {
 public:
  Ser2net(const TempDir& dir, std::string device, bool rfc2217)
      : dir_(dir.path()), device_(std::move(device)), rfc2217_(rfc2217), port_(FreePort()) {}
  ~Ser2net() { Kill(); }

  std::string Url() const {
    return (rfc2217_ ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(port_);
  }
  int port() const { return port_; }

  // Starts it (again, on the same port) and waits until it listens.
  bool Start() {
    const std::string config = (dir_ / "ser2net.yaml").string();
    WriteFile(config, std::string("connection: &line\n  accepter: ") +
                          (rfc2217_ ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,") +
                          std::to_string(port_) + "\n  connector: serialdev," + device_ +
                          ",9600n81,local\n  options:\n    kickolduser: true\n");
    pid_ = Spawn(
        {"/usr/sbin/ser2net", "-n", "-u", "-c", config, "-P", (dir_ / "ser2net.pid").string()},
        (dir_ / "ser2net.out").string(), (dir_ / "ser2net.err").string());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
      if (Listening(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    WaitExit(pid_, 5000);
    pid_ = -1;
  }

 private:
  std::filesystem::path dir_;
  std::string device_;
  bool rfc2217_;
  int port_;
  pid_t pid_ = -1;
};

}  // namespace nevtest
