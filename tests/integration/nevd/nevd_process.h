// Running nevd (and nev-sim) as real processes for the tests, and talking to nevd over HTTP:
// through cpp-httplib's client, or through a raw socket for what no ordinary client sends.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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

// A sale of `items` lines named text at price each, paid in cash by operator 1.
inline json Sale(const std::string& text, double price = 1, int items = 1) {
  json doc = {{"operator", {{"number", 1}, {"password", "0000"}}},
              {"items", json::array()},
              {"payments", {{{"type", 1}}}}};
  for (int i = 0; i < items; ++i) {
    doc["items"].push_back({{"text", text}, {"taxGroup", "B"}, {"quantity", 1}, {"price", price}});
  }
  return doc;
}

// nev-sim on the pty link with args, standard error to err_file; returns once the link is there.
inline pid_t StartSim(const std::string& link, std::vector<std::string> args,
                      const std::string& err_file) {
  args.insert(args.begin(), {NEV_SIM_EXE, "--link", link});
  const pid_t pid = Spawn(args, err_file);
  if (!Eventually([&] { return std::filesystem::exists(link); }, 10s)) {
    throw std::runtime_error("nev-sim did not start on " + link);
  }
  return pid;
}

// With NEVD_OPENAPI_RECORD set, every answer a Client() gets is appended to that file as one JSON
// line (method, path, status, headers, body, request), for tests/openapi/check_openapi.py to check
// against the OpenAPI document. One write per answer: tests that run at once do not interleave.
inline void RecordAnswer(const httplib::Request& req, const httplib::Response& res) {
  const char* file = std::getenv("NEVD_OPENAPI_RECORD");
  if (file == nullptr || *file == '\0') return;
  json headers = json::object();
  for (const auto& [name, value] : res.headers) headers[name] = value;
  const std::string line = json{{"method", req.method}, {"path", req.path}, {"status", res.status},
                                {"headers", headers},   {"body", res.body}, {"request", req.body}}
                               .dump(-1, ' ', false, json::error_handler_t::replace) +
                           "\n";
  const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
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
  // Starts nevd in dir with config (none: nevd's built-in configuration, whose journal goes to
  // the user's state folder: here dir/state/nevd).
  Nevd(const nevtest::TempDir& dir, const json& config) : dir_(dir.str()) {
    std::vector<std::string> args{NEVD_EXE, "--listen", "127.0.0.1:0"};
    if (!config.is_null()) {
      Rewrite(config);
      args.insert(args.end(), {"--config", dir_ + "/nevd.json"});
    } else {
      args.insert(args.begin(),
                  {"/usr/bin/env", "-u", "STATE_DIRECTORY", "XDG_STATE_HOME=" + dir_ + "/state"});
    }
    err_ = dir_ + "/nevd.err";
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
  // Writes the configuration file nevd was started with (journals and logs in the folder).
  void Rewrite(json config) const {
    for (json& p : config["printers"]) {
      p["journal"] = dir_ + "/" + p["id"].get<std::string>() + ".db";
      p["log"] = dir_ + "/log-" + p["id"].get<std::string>();
    }
    nevtest::WriteFile(dir_ + "/nevd.json", config.dump());
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string Log() const { return nevtest::ReadFile(err_); }

  httplib::Client Client(const httplib::Headers& headers = {}) const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    c.set_default_headers(headers);
    c.set_logger(RecordAnswer);
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
  // A printer's description (an empty object when none came), and its state.
  json Describe(const std::string& printer) const {
    const json p = Get("/api/v1/printers/" + printer).second;
    return p.is_object() ? p : json::object();
  }
  std::string State(const std::string& printer) const {
    return Describe(printer).value("state", "");
  }
  bool Online(const std::string& printer) const { return State(printer) == "online"; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string err_;
};

// The resident memory of a process in KiB, from /proc; 0 when it has gone.
inline long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// What came back on a raw connection.
struct RawReply {
  int status = 0;  // 0 when no whole answer head came
  std::string head, body;
  std::size_t sent = 0;  // request bytes taken before the answer or the end
  bool reset = false;    // the connection broke (reset or refused writes)
  json Json() const { return json::parse(body, nullptr, false); }
};

// A TCP connection to nevd from a loopback address of our choosing (loopback accepts any of
// 127.0.0.0/8), for requests no ordinary client sends: slow, chunked, oversized.
class Raw {
 public:
  Raw(int port, const std::string& from = "127.0.0.1") : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      throw std::runtime_error("cannot connect from " + from + ": " + std::strerror(errno));
    }
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~Raw() { ::close(fd_); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;

  // Sends bytes that fit the socket's buffer at once (a line, a few bytes); false once nevd has
  // closed or reset the connection.
  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Whether nevd has ended the connection: closed or reset it, or answered (as a refusal would).
  bool Ended() {
    char buf[4096];
    const ssize_t n = ended_ ? 0 : ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    ended_ = n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    return ended_;
  }

  // Sends head, then each piece next() (when given) gives until it gives none, reading all the
  // while (nevd may answer before the request ends); returns once a whole answer came, the
  // connection ended, or after limit. Answers are acknowledged at once, so that nevd's
  // small writes are not held back waiting for the acknowledgement.
  RawReply Exchange(const std::string& head, const std::function<std::string()>& next,
                    std::chrono::seconds limit) {
    RawReply r;
    std::string out = head, in;
    std::size_t off = 0;
    bool more = static_cast<bool>(next);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end && !Whole(in, r)) {
      if (off == out.size() && more) {
        out = next();
        off = 0;
        more = !out.empty();
      }
      const int yes = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
      pollfd p{fd_, static_cast<short>(POLLIN | (off < out.size() ? POLLOUT : 0)), 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
          in.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          r.reset = n < 0;
          break;
        }
      }
      if ((p.revents & POLLOUT) && off < out.size()) {
        const ssize_t n = ::send(fd_, out.data() + off, out.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
          off += static_cast<std::size_t>(n);
          r.sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          r.reset = true;  // nevd stopped reading; what it answered may still be readable
          out.clear();
          off = 0;
          more = false;
        }
      }
    }
    Whole(in, r);
    return r;
  }

 private:
  // Whether in holds a whole answer (by its Content-Length: only task streams are chunked);
  // fills r as far as it can.
  static bool Whole(const std::string& in, RawReply& r) {
    const std::size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos || in.size() < 12) return false;
    r.head = in.substr(0, end);
    r.status = std::atoi(in.c_str() + 9);
    std::string head = r.head;
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = head.find("content-length:");
    if (at == std::string::npos) return false;
    const std::size_t length = std::stoul(head.substr(at + 15));
    r.body = in.substr(end + 4, length);
    return in.size() >= end + 4 + length;
  }

  int fd_;
  bool ended_ = false;
};

}  // namespace nevdtest
