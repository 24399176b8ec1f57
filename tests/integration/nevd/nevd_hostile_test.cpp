// Hostile clients against a real nevd on a real port: bodies nested or larger than a till ever
// sends, connections that trickle, floods of refused requests, signals, the requests a page on
// another site makes a browser send, and starts that cannot go ahead. Raw sockets send what an
// ordinary client would not; memory is read from /proc.
#include <signal.h>

#include <latch>
#include <mutex>
#include <thread>

#include "nevd_process.h"

#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using nevdtest::Eventually;
using nevdtest::Nevd;
using nevdtest::Raw;
using nevdtest::RawReply;
using nevdtest::RssKb;
using nevdtest::Sale;
using nevtest::Count;
using Clock = std::chrono::steady_clock;

const std::string kToken = "0123456789abcdef-token";
const std::string kTill = "http://till.example:8080";
const std::string kReceipts = "/api/v1/printers/a/receipts";

// One simulated printer, "a".
json Config(const std::string& token = {}) {
  json c = {
      {"probeSeconds", 0.5}, {"cors", {kTill}}, {"printers", {{{"id", "a"}, {"port", "sim"}}}}};
  if (!token.empty()) c["token"] = token;
  return c;
}

// A field of an error answer; empty when the answer is not one.
std::string ErrorText(const json& body, const char* field) {
  if (!body.is_object() || !body.contains("error") || !body["error"].is_object()) return {};
  return body["error"].value(field, "");
}

// The head of a POST; headers end with CR LF each.
std::string PostHead(int port, const std::string& path, const std::string& headers) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: application/json\r\n" + headers + "\r\n";
}

// POSTs piece(0), piece(1)... until one is empty through a raw socket: chunked, or with a
// Content-Length of `length`.
RawReply PostRaw(const Nevd& nevd, const std::string& path,
                 const std::function<std::string(std::size_t)>& piece, bool chunked,
                 std::size_t length = 0, const std::string& headers = {}) {
  Raw raw(nevd.port());
  return raw.Exchange(
      PostHead(nevd.port(), path,
               headers + (chunked ? "Transfer-Encoding: chunked\r\n"
                                  : "Content-Length: " + std::to_string(length) + "\r\n")),
      [&, n = std::size_t{0}, ended = false]() mutable -> std::string {
        if (ended) return {};
        const std::string p = piece(n++);
        ended = p.empty();  // chunked: the empty piece is the last chunk
        char size[20];
        std::snprintf(size, sizeof size, "%zx\r\n", p.size());
        return chunked ? size + p + "\r\n" : p;
      },
      30s);
}

// A body given 16 KiB at a time.
std::function<std::string(std::size_t)> Pieces(std::string body) {
  return [body = std::move(body)](std::size_t n) {
    return n * 16384 < body.size() ? body.substr(n * 16384, 16384) : std::string();
  };
}

class NevdHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    nevd_ = std::make_unique<Nevd>(dir_, Config());
    ASSERT_TRUE(Eventually([&] { return nevd_->Online("a"); }, 15s)) << nevd_->Log();
  }
  int Status(const std::string& path, const httplib::Headers& headers = {}) {
    auto r = nevd_->Client(headers).Get(path.c_str());
    return r ? r->status : 0;
  }
  nevtest::TempDir dir_;
  std::unique_ptr<Nevd> nevd_;
};

TEST_F(NevdHostile, DeepNestingIsRefusedByItsLimitAndNevdLivesOn) {
  nevtest::TempDir other;
  const Nevd guarded(other, Config(kToken));
  const auto nest = [](int depth) {
    return "{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
  };
  for (const Nevd* n : {static_cast<const Nevd*>(nevd_.get()), &guarded}) {
    const bool token = n == &guarded;
    const std::string auth = token ? "Authorization: Bearer " + kToken + "\r\n" : "";
    // Depth 100,000 passes the body limit before its end (refused as too large); 30,000 fits
    // in it and is refused by the nesting limit.
    struct Deep {
      int depth;
      bool chunked;
      int status;
      const char *code, *says;
    };
    for (const Deep& d : {Deep{100000, true, 413, "body-too-large", "over 65536 bytes"},
                          Deep{30000, false, 400, "bad-json", "nested deeper than 64"}}) {
      const std::string body = nest(d.depth);
      const RawReply r = PostRaw(*n, kReceipts, Pieces(body), d.chunked, body.size(), auth);
      EXPECT_EQ(r.status, d.status) << d.depth << (token ? " with a token" : "") << n->Log();
      EXPECT_EQ(ErrorText(r.Json(), "code"), d.code) << r.body;
      EXPECT_NE(ErrorText(r.Json(), "message").find(d.says), std::string::npos) << r.body;
      auto alive = n->Client({{"Authorization", "Bearer " + kToken}}).Get("/api/v1/printers");
      EXPECT_TRUE(alive && alive->status == 200) << n->Log();
      if (!alive) break;
    }
  }
}

TEST_F(NevdHostile, AChunkedBodyIsRefusedOnceItPassesTheLimit) {
  const long before = RssKb(nevd_->pid());
  long peak = before;
  const std::string start = Sale("BIG").dump(), spaces(64 * 1024, ' ');
  // 50 MiB of whitespace after a good document; memory is read at every MiB sent.
  const RawReply r = PostRaw(
      *nevd_, kReceipts,
      [&](std::size_t n) {
        if (n % 16 == 0) peak = std::max(peak, RssKb(nevd_->pid()));
        return n == 0 ? start : n <= 800 ? spaces : std::string();
      },
      true);
  peak = std::max(peak, RssKb(nevd_->pid()));
  EXPECT_EQ(r.status, 413) << r.head;
  // The answer may be cut by a reset, nevd no longer reading what is sent.
  if (!r.reset) {
    EXPECT_EQ(ErrorText(r.Json(), "code"), "body-too-large") << r.body;
  }
  EXPECT_LT(r.sent, std::size_t{25} << 20) << "refused only after reading the body";
  EXPECT_LT(peak - before, 20 * 1024) << "KiB of VmRSS grown while the body came";
  EXPECT_EQ(Status("/api/v1/printers"), 200);
  EXPECT_EQ(Count(nevd_->Paper("a"), "BIG"), 0u);
}

TEST_F(NevdHostile, SlowClientsNeitherSilenceNevdNorOutliveTheRequestDeadline) {
  const int port = nevd_->port();
  // 160 connections from one address sending a header line every 4 s (past the cap of 128 per
  // address), and one from another address whose body trickles a byte every 2 s: no read waits
  // long, the requests never end.
  constexpr std::size_t kSlow = 160, kCap = 128;
  std::vector<std::unique_ptr<Raw>> slow;
  for (std::size_t i = 0; i < kSlow; ++i) {
    slow.push_back(std::make_unique<Raw>(port, "127.0.0.2"));
    slow.back()->Send("GET /api/v1/printers HTTP/1.1\r\n");
  }
  slow.push_back(std::make_unique<Raw>(port, "127.0.0.3"));
  slow.back()->Send(PostHead(port, kReceipts, "Content-Length: 1000\r\n") + "{");
  std::mutex mutex;
  std::size_t ended = 0;  // of the kSlow
  bool body_ended = false;
  std::atomic<bool> stop{false};
  std::thread trickle([&] {  // the only thread that touches the slow sockets
    for (int tick = 1; tick <= 25 && !stop; ++tick) {
      std::this_thread::sleep_for(1s);
      std::size_t n = 0;
      for (std::size_t i = 0; i < kSlow; ++i) {
        if (!slow[i]->Ended() && tick % 4 == 0)
          slow[i]->Send("X-Slow: " + std::to_string(tick) + "\r\n");
        n += slow[i]->Ended();
      }
      const bool body = slow[kSlow]->Ended() || (tick % 2 == 0 && !slow[kSlow]->Send(" "));
      std::lock_guard<std::mutex> lock(mutex);
      ended = n;
      body_ended = body;
    }
  });
  const auto start = Clock::now();
  const auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return ended;
  };
  // Past the cap nevd refuses at once, long before any deadline.
  EXPECT_TRUE(Eventually([&] { return count() >= kSlow - kCap; }, 5s)) << count() << " ended";
  // Meanwhile another client is served: its status requests and its printer's work.
  for (int round = 0; round < 3; ++round) {
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(5);
    c.set_read_timeout(5);
    c.set_write_timeout(5);
    auto list = c.Get("/api/v1/printers");
    auto sale = c.Post(kReceipts, Sale("BESIDE-SLOW").dump(), "application/json");
    EXPECT_TRUE(list && list->status == 200) << "round " << round;
    EXPECT_TRUE(sale && sale->status == 200) << "round " << round;
    if (!list || !sale) break;
  }
  // Every slow request ends within its deadline (10 s from its start), trickling or not.
  const bool all_ended = Eventually(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return ended == kSlow && body_ended;
      },
      std::chrono::duration_cast<std::chrono::milliseconds>(start + 20s - Clock::now()));
  stop = true;
  trickle.join();
  EXPECT_TRUE(all_ended) << ended << " of " << kSlow << " ended; the trickled body "
                         << (body_ended ? "ended" : "did not end");
}

TEST_F(NevdHostile, RefusedRequestsLeaveNothingBehind) {
  ASSERT_EQ(nevd_->Post("/api/v1/printers/a/release", R"({"seconds": 3600})").first, 202);
  ASSERT_TRUE(Eventually([&] { return nevd_->State("a") == "released"; }, 5s));
  const std::string small = Sale("REFUSED").dump(), big = Sale(std::string(48, 'X'), 1, 500).dump();
  ASSERT_GT(big.size(), 45000u);
  // Four clients send 23,000 POSTs over kept connections, 3 in 23 of them large; memory is read
  // after the first 1000 and at the end.
  constexpr int kThreads = 4, kEach = 5750, kWarm = 250;
  std::latch warmed(kThreads), measured(1);
  std::atomic<int> refused{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&] {
      auto raw = std::make_unique<Raw>(nevd_->port());
      for (int i = 0; i < kEach; ++i) {
        if (i == kWarm) {
          warmed.count_down();
          measured.wait();
        }
        const std::string& body = i % 23 < 3 ? big : small;
        const std::string request =
            PostHead(nevd_->port(), kReceipts,
                     "Content-Length: " + std::to_string(body.size()) + "\r\n") +
            body;
        RawReply r = raw->Exchange(request, nullptr, 10s);
        if (r.status == 0) {  // nevd ended the kept connection: again on a new one
          raw = std::make_unique<Raw>(nevd_->port());
          r = raw->Exchange(request, nullptr, 10s);
        }
        refused += r.status == 503;
      }
    });
  }
  warmed.wait();
  const long warm = RssKb(nevd_->pid());
  measured.count_down();
  for (std::thread& t : clients) t.join();
  const long after = RssKb(nevd_->pid());
  EXPECT_EQ(refused, kThreads * kEach);
  if (!kSanitized) {  // AddressSanitizer keeps freed memory in quarantine: RSS tells nothing
    EXPECT_LE(after, warm + warm / 10 + 5 * 1024) << "VmRSS in KiB after warm-up " << warm;
  }
}

TEST_F(NevdHostile, SighupReloadsTheTokenAndSigtermStillStops) {
  std::string old;
  for (const std::string token : {"first-token-0123456789", "second-token-0123456789"}) {
    nevd_->Rewrite(Config(token));
    ASSERT_EQ(::kill(nevd_->pid(), SIGHUP), 0);
    EXPECT_TRUE(Eventually(
        [&] {
          return Status("/api/v1/printers", {{"Authorization", "Bearer " + token}}) == 200 &&
                 Status("/api/v1/printers", {{"Authorization", "Bearer " + old}}) == 401;
        },
        5s))
        << nevd_->Log();
    old = token;
  }
  EXPECT_EQ(nevd_->Terminate(10s), std::optional<int>(0)) << nevd_->Log();
}

TEST_F(NevdHostile, CrossSiteRequestsStartNoDeviceWork) {
  const json before = nevd_->Get("/api/v1/printers/a").second;
  // What an <img> tag on any page makes a browser send (without its marks: 405, below).
  const int img =
      Status("/api/v1/printers/a/reports/fm?from=1&to=3", {{"Sec-Fetch-Site", "cross-site"},
                                                           {"Sec-Fetch-Mode", "no-cors"},
                                                           {"Sec-Fetch-Dest", "image"}});
  EXPECT_TRUE(img == 403 || img == 405) << img;
  const json after = nevd_->Get("/api/v1/printers/a").second;
  EXPECT_EQ(after["queue"], 0);
  EXPECT_EQ(after["jobsDone"], before["jobsDone"]);

  struct Case {
    std::string site, origin;
    bool post;
    int status;
    std::string code;
  };
  // (Each rule on its own: tests/unit/nevd_policy.)
  const std::vector<Case> cases = {
      {"cross-site", "", true, 403, "cross-site"},
      {"cross-site", "http://evil.example", true, 403, ""},
      {"cross-site", kTill, true, 200, ""},
      {"same-origin", "", false, 200, ""},
  };
  for (const Case& c : cases) {
    httplib::Headers h;
    if (!c.site.empty()) h.emplace("Sec-Fetch-Site", c.site);
    if (!c.origin.empty()) h.emplace("Origin", c.origin);
    const std::string text = c.status == 200 ? "XSITE-TILL" : "XSITE-REFUSED";
    auto r = c.post ? nevd_->Client(h).Post(kReceipts, Sale(text).dump(), "application/json")
                    : nevd_->Client(h).Get("/api/v1/printers");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << c.site << " " << c.origin << " " << r->body;
    if (!c.code.empty()) {
      EXPECT_EQ(ErrorText(json::parse(r->body, nullptr, false), "code"), c.code) << r->body;
    }
  }
  EXPECT_EQ(Count(nevd_->Paper("a"), "XSITE-REFUSED"), 0u);
  EXPECT_EQ(Count(nevd_->Paper("a"), "XSITE-TILL"), 1u);
}

TEST_F(NevdHostile, OtherMethodsOnAResourceAnswer405WithAllow) {
  struct Case {
    std::string method, path;
    int status;
    std::string allows, not_allowed;
  };
  std::vector<Case> cases = {
      {"GET", "/api/v1/printers/a/reports/fm?from=1&to=3", 405, "POST", "GET"}};
  for (const char* method : {"DELETE", "PUT", "PATCH"}) {
    cases.push_back({method, "/api/v1/printers/a", 405, "GET", method});
    cases.push_back({method, kReceipts, 405, "POST", method});
    cases.push_back({method, "/api/v1/nothing", 404, "", "GET"});
  }
  for (const Case& c : cases) {
    httplib::Request req;
    req.method = c.method;
    req.path = c.path;
    auto r = nevd_->Client().send(req);
    ASSERT_TRUE(r);
    const std::string allow = r->get_header_value("Allow");
    EXPECT_EQ(r->status, c.status) << c.method << " " << c.path;
    EXPECT_NE(allow.find(c.allows), std::string::npos)
        << c.method << " " << c.path << ": " << allow;
    EXPECT_EQ(allow.find(c.not_allowed), std::string::npos)
        << c.method << " " << c.path << ": " << allow;
    EXPECT_EQ(allow.empty(), c.status != 405) << c.method << " " << c.path;
  }
}

TEST(NevdStartup, AStartThatCannotGoAheadSaysWhyAndExits) {
  nevtest::TempDir dir;
  // A port someone else listens on, as a nevd would: with SO_REUSEPORT, which would let a second
  // one that sets it bind too and take a share of the connections.
  const int held = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(held, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(held, 1), 0);
  ::getsockname(held, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));
  // --check-config and --listen: the checks (tests/unit/nevd_config) decide, and their refusal
  // is told; beyond loopback without a token nothing starts.
  const std::string good = dir.str() + "/good.json", bad = dir.str() + "/bad.json";
  nevtest::WriteFile(good, Config().dump());
  json wrong = Config();
  wrong["printers"][0]["baud"] = "fast";
  nevtest::WriteFile(bad, wrong.dump());

  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--check-config", "--config", good}, 0, ""},
      {{"--check-config", "--config", good, "--listen", "[::1]:18732"}, 0, ""},
      {{"--check-config", "--config", good, "--listen", "0.0.0.0:8631"}, 2, "token"},
      {{"--check-config", "--config", bad}, 2, "printers[0].baud"},
      {{"--listen", "127.0.0.1:" + port},
       1,
       "cannot listen on 127.0.0.1:" + port + ": Address already in use"},
      {{"--config", "/nonexistent"}, 2, "cannot read /nonexistent: No such file or directory"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{NEVD_EXE};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const pid_t pid = nevdtest::Spawn(args, dir.str() + "/nevd.err", dir.str());
    EXPECT_EQ(nevtest::WaitExit(pid, 15000), std::optional<int>(c.exit)) << c.args.back();
    const std::string err = nevtest::ReadFile(dir.str() + "/nevd.err");
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(err.find("usage"), std::string::npos) << err;
  }
  ::close(held);
}

}  // namespace
