// The web page in a real browser: nevd with its built-in configuration (one simulated printer),
// headless Chromium driven over WebDriver by chromedriver. The page lists the printer, a test
// receipt is typed and submitted, and the result and the till roll appear. A screenshot of the
// page is kept beside the test program (nevd-web-page.png).
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

#include "nevd_process.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using nevdtest::Eventually;
using nevdtest::Nevd;

constexpr const char* kDriver = "/usr/bin/chromedriver";
constexpr const char* kBrowser = "/usr/bin/chromium";

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

std::string Base64Decode(const std::string& in) {
  static const std::string digits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  int bits = 0, value = 0;
  for (char c : in) {
    const std::size_t d = digits.find(c);
    if (d == std::string::npos) continue;                   // padding and line ends
    value = ((value << 6) | static_cast<int>(d)) & 0xFFFF;  // at most 13 bits are pending
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((value >> bits) & 0xFF));
    }
  }
  return out;
}

// One WebDriver session on chromedriver's HTTP API.
class Browser {
 public:
  explicit Browser(const nevtest::TempDir& dir) : port_(FreePort()) {
    pid_ = nevdtest::Spawn({kDriver, "--port=" + std::to_string(port_)},
                           dir.str() + "/chromedriver.err");
    const bool ready = Eventually(
        [&] {
          httplib::Client c("127.0.0.1", port_);
          auto r = c.Get("/status");
          return r && r->status == 200 && json::parse(r->body)["value"]["ready"] == true;
        },
        20s);
    if (!ready) throw std::runtime_error("chromedriver did not start");
    const json caps = {
        {"capabilities",
         {{"alwaysMatch",
           {{"goog:chromeOptions",
             {{"binary", kBrowser},
              {"args",
               {"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1000,1200", "--user-data-dir=" + dir.str() + "/profile"}}}}}}}}};
    const json r = Call("POST", "/session", caps);
    session_ = r["value"]["sessionId"];
  }
  ~Browser() {
    if (!session_.empty()) {
      try {
        Call("DELETE", "/session/" + session_, nullptr);
      } catch (...) {
      }
    }
    nevdtest::Stop(pid_);
  }

  json Call(const std::string& method, const std::string& path, const json& body) {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    httplib::Result r = method == "POST"     ? c.Post(path.c_str(), body.dump(), "application/json")
                        : method == "DELETE" ? c.Delete(path.c_str())
                                             : c.Get(path.c_str());
    if (!r) throw std::runtime_error("chromedriver: no answer to " + path);
    json j = json::parse(r->body);
    if (r->status != 200) throw std::runtime_error("chromedriver: " + path + ": " + r->body);
    return j;
  }
  json Session(const std::string& method, const std::string& path, const json& body = {}) {
    return Call(method, "/session/" + session_ + path, body.is_null() ? json::object() : body);
  }
  json Script(const std::string& script) {
    return Session("POST", "/execute/sync", {{"script", script}, {"args", json::array()}})["value"];
  }
  std::string Element(const std::string& css) {
    const json v =
        Session("POST", "/element", {{"using", "css selector"}, {"value", css}})["value"];
    return v.begin().value();
  }

 private:
  int port_;
  pid_t pid_ = -1;
  std::string session_;
};

TEST(NevdWebPage, ATestReceiptPrintedFromThePageShowsItsResultAndTillRoll) {
  if (!std::filesystem::exists(kDriver) || !std::filesystem::exists(kBrowser)) {
    GTEST_SKIP() << "chromium and chromium-driver are not installed (scripts/setup)";
  }
  nevtest::TempDir dir;
  Nevd nevd(dir, nullptr);  // no configuration: the built-in simulated printer
  ASSERT_TRUE(Eventually([&] { return nevd.Online("sim"); }, 15s)) << nevd.Log();

  Browser browser(dir);
  browser.Session("POST", "/url",
                  {{"url", "http://127.0.0.1:" + std::to_string(nevd.port()) + "/"}});
  ASSERT_TRUE(Eventually(
      [&] {
        return browser.Script("return !!document.querySelector('#printer-sim td.online');") == true;
      },
      20s));
  const std::string text = browser.Element("#item-text");
  browser.Session("POST", "/element/" + text + "/clear");
  browser.Session("POST", "/element/" + text + "/value", {{"text", "Browser test"}});
  const std::string price = browser.Element("#item-price");
  browser.Session("POST", "/element/" + price + "/clear");
  browser.Session("POST", "/element/" + price + "/value", {{"text", "2.40"}});
  browser.Session("POST", "/element/" + browser.Element("#submit") + "/click");

  json state;
  ASSERT_TRUE(Eventually(
      [&] {
        state = browser.Script("return document.getElementById('result').dataset.state;");
        return state == "printed" || state == "error";
      },
      30s))
      << browser.Script("return document.getElementById('result').textContent;");
  EXPECT_EQ(state, "printed");
  const json result = browser.Script("return document.getElementById('result').textContent;");
  EXPECT_NE(result.get<std::string>().find("\"total\": 2.4"), std::string::npos) << result;
  // The page fetches the till roll after it has shown the result.
  json roll;
  EXPECT_TRUE(Eventually(
      [&] {
        roll = browser.Script("return document.getElementById('paper').textContent;");
        return roll.get<std::string>().find("Browser test") != std::string::npos;
      },
      10s))
      << roll;
  EXPECT_EQ(roll.get<std::string>(), nevd.Paper("sim"));

  const json shot = browser.Session("GET", "/screenshot", nullptr)["value"];
  std::ofstream("nevd-web-page.png", std::ios::binary) << Base64Decode(shot.get<std::string>());
  EXPECT_GT(std::filesystem::file_size("nevd-web-page.png"), 1000u);
}

}  // namespace
