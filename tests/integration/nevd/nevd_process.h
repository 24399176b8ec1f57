// Running nevd (and nev-sim) as real processes for the tests, and talking to nevd over HTTP.
#pragma once

#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/helpers.h"
#include "support/process.h"

namespace nevdtest {

using nlohmann::json;
using namespace std::chrono_literals;

// Starts a program with standard error to err_file, in folder cwd when one is given.
inline pid_t Spawn(std::vector<std::string> args, const std::string& err_file,
                   const std::string& cwd = {}) {
  const pid_t pid = nevtest::Spawn(args, "/dev/null", err_file, cwd);
  if (pid < 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

// Sends sig and waits up to 5 s for the end, then kills.
inline void Stop(pid_t pid, int sig = SIGTERM) {
  ::kill(pid, sig);
  nevtest::WaitExit(pid, 5000);
}

// Waits (sleeping) until pred holds or the time is up.
template <class Pred>
inline bool Eventually(Pred pred, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return pred();
}

// A process stopped when the test leaves its scope, on failure too.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { Stop(pid_); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

class Nevd {
 public:
  // Starts nevd in dir with config (none: nevd's built-in configuration).
  Nevd(const nevtest::TempDir& dir, const json& config) {
    json c = config;
    std::vector<std::string> args{NEVD_EXE, "--listen", "127.0.0.1:0"};
    for (json& p : c.is_null() ? empty_ : c["printers"]) {
      p["journal"] = dir.str() + "/" + p["id"].get<std::string>() + ".db";
      p["log"] = dir.str() + "/log-" + p["id"].get<std::string>();
    }
    if (!c.is_null()) {
      const std::string file = dir.str() + "/nevd.json";
      nevtest::WriteFile(file, c.dump());
      args.insert(args.end(), {"--config", file});
    }
    err_ = dir.str() + "/nevd.err";
    pid_ = Spawn(args, err_, dir.str());
    const std::regex listening("listening on http://127\\.0\\.0\\.1:([0-9]+)/");
    std::smatch m;
    const bool up = Eventually(
        [&] {
          const std::string text = nevtest::ReadFile(err_);
          if (!std::regex_search(text, m, listening)) return false;
          port_ = std::stoi(m[1].str());
          return true;
        },
        10s);
    if (!up) throw std::runtime_error("nevd did not start: " + nevtest::ReadFile(err_));
  }
  ~Nevd() {
    if (pid_ > 0) Stop(pid_);
  }
  // SIGTERM: nevd's exit status, or nothing when it had to be killed after `limit`.
  std::optional<int> Terminate(std::chrono::milliseconds limit) {
    ::kill(pid_, SIGTERM);
    const std::optional<int> status = nevtest::WaitExit(pid_, static_cast<int>(limit.count()));
    pid_ = -1;
    return status;
  }
  // Ends nevd at once, as a crash would.
  void Kill() {
    Stop(pid_, SIGKILL);
    pid_ = -1;
  }
  int port() const { return port_; }
  std::string Log() const { return nevtest::ReadFile(err_); }

  httplib::Client Client(const httplib::Headers& headers = {}) const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    c.set_default_headers(headers);
    return c;
  }
  // A JSON answer (status, body); the body is null when it is not JSON.
  std::pair<int, json> Get(const std::string& path) const {
    auto c = Client();
    auto r = c.Get(path.c_str());
    if (!r) return {0, nullptr};
    return {r->status, json::parse(r->body, nullptr, false)};
  }
  std::pair<int, json> Post(const std::string& path, const std::string& body,
                            const httplib::Headers& headers = {}) const {
    auto c = Client();
    auto r = c.Post(path.c_str(), headers, body, "application/json");
    if (!r) return {0, nullptr};
    return {r->status, json::parse(r->body, nullptr, false)};
  }
  std::string Paper(const std::string& printer) const {
    auto c = Client();
    auto r = c.Get(("/api/v1/printers/" + printer + "/paper").c_str());
    return r && r->status == 200 ? r->body : std::string();
  }
  bool Online(const std::string& printer) const {
    auto [status, body] = Get("/api/v1/printers/" + printer);
    return status == 200 && body.value("state", "") == "online";
  }

 private:
  json empty_ = json::array();
  pid_t pid_ = -1;
  int port_ = 0;
  std::string err_;
};

}  // namespace nevdtest
