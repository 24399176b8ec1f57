// The web page in a real browser: nevd with a token, a simulated printer and a nev-sim device out
// of paper, headless Chromium driven over WebDriver by chromedriver. The page asks for the token,
// lists the printers with their conditions in words, test receipts are typed and submitted, and
// the result and the till roll (newest receipt first) appear. A screenshot of the
// page is kept beside the test program (nevd-web-page.png).
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>

#include "nevd_process.h"
#include "support/net.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using nevdtest::Eventually;
using nevdtest::Nevd;
using nevtest::Count;

constexpr const char* kDriver = "/usr/bin/chromedriver";
constexpr const char* kBrowser = "/usr/bin/chromium";

using nevtest::FreePort;

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

TEST(NevdWebPage, TheTokenAPrinterOutOfPaperAndATillRollNewestFirst) {
  if (!std::filesystem::exists(kDriver) || !std::filesystem::exists(kBrowser)) {
    GTEST_SKIP() << "chromium and chromium-driver are not installed (scripts/setup)";
  }
  nevtest::TempDir dir;
  // A device out of paper on a pty beside the built-in simulated printer; nevd holds a token.
  const std::string link = dir.str() + "/ttyNEV0", token = "0123456789abcdef-token";
  const nevdtest::Child sim(nevdtest::StartSim(link, {"--paper-out"}, dir.str() + "/sim.err"));
  Nevd nevd(dir,
            {{"token", token},
             {"printers", {{{"id", "sim"}, {"port", "sim"}}, {{"id", "dry"}, {"port", link}}}}});
  const httplib::Headers auth{{"Authorization", "Bearer " + token}};
  auto online = [&](const std::string& id) {
    auto r = nevd.Client(auth).Get(("/api/v1/printers/" + id).c_str());
    return r && r->status == 200 && json::parse(r->body)["state"] == "online";
  };
  ASSERT_TRUE(Eventually([&] { return online("sim") && online("dry"); }, 15s)) << nevd.Log();

  Browser browser(dir);
  browser.Session("POST", "/url",
                  {{"url", "http://127.0.0.1:" + std::to_string(nevd.port()) + "/"}});
  auto script = [&](const std::string& js) { return browser.Script(js); };
  // Refused for want of the token, the page asks for it; given it, the printers show.
  ASSERT_TRUE(Eventually(
      [&] { return script("return !document.getElementById('token-row').hidden;") == true; }, 20s));
  browser.Session("POST", "/element/" + browser.Element("#token") + "/value", {{"text", token}});
  ASSERT_TRUE(Eventually(
      [&] { return script("return !!document.querySelector('#printer-sim td.online');") == true; },
      20s));
  const json dry = script(
      "return Array.from(document.querySelectorAll('#printer-dry td'), (td) => td.textContent);");
  ASSERT_EQ(dry.size(), 6u) << dry;
  EXPECT_EQ(dry[2], "online: out of paper");
  EXPECT_NE(dry[4].get<std::string>().find("no paper"), std::string::npos) << dry;

  // Two test receipts on the simulated printer: the till roll shows the second one first.
  script(
      "const s = document.getElementById('printer'); s.value = 'sim';"
      "s.dispatchEvent(new Event('change'));");
  for (const char* item : {"Browser test", "Second item"}) {
    const std::string text = browser.Element("#item-text");
    browser.Session("POST", "/element/" + text + "/clear");
    browser.Session("POST", "/element/" + text + "/value", {{"text", item}});
    browser.Session("POST", "/element/" + browser.Element("#submit") + "/click");
    json roll;
    ASSERT_TRUE(Eventually(
        [&] {
          roll = script("return document.getElementById('paper').textContent;");
          return roll.get<std::string>().find(item) != std::string::npos &&
                 script("return document.getElementById('result').dataset.state;") == "printed";
        },
        30s))
        << roll << script("return document.getElementById('result').textContent;");
  }
  const std::string roll = script("return document.getElementById('paper').textContent;");
  auto paper = nevd.Client(auth).Get("/api/v1/printers/sim/paper");
  ASSERT_TRUE(paper);
  EXPECT_EQ(roll.size(), paper->body.size());
  EXPECT_LT(roll.find("Second item"), roll.find("Browser test")) << roll;
  EXPECT_GT(paper->body.find("Second item"), paper->body.find("Browser test"));

  const std::string shot = browser.Session("GET", "/screenshot", nullptr)["value"];
  std::string png(shot.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(png.data()),
                                reinterpret_cast<const unsigned char*>(shot.data()),
                                static_cast<int>(shot.size()));
  // The decoder keeps the padding as zero bytes.
  png.resize(n > 2 ? static_cast<std::size_t>(n) - Count(shot.substr(shot.size() - 2), "=") : 0);
  std::ofstream("nevd-web-page.png", std::ios::binary) << png;
  EXPECT_GT(std::filesystem::file_size("nevd-web-page.png"), 1000u);
}

}  // namespace
