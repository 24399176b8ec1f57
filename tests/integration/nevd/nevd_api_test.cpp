// nevd as a real process on a real port, driven through a real HTTP client, with simulated
// printers inside it and a nev-sim process as a printer that goes away and comes back.
#include <signal.h>

#include <filesystem>
#include <future>
#include <optional>
#include <regex>

#include "nevd_process.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using nevdtest::Eventually;
using nevdtest::Nevd;
using nevdtest::Sale;
using nevdtest::Spawn;
using nevdtest::Stop;
using nevtest::Count;

const json kTwoSims = {
    {"probeSeconds", 0.5},
    {"printers", {{{"id", "a"}, {"port", "sim"}}, {{"id", "b"}, {"port", "sim"}}}}};

// The task once done (as last seen when it did not end within limit).
json WaitTask(const Nevd& nevd, const json& accepted, std::chrono::seconds limit) {
  json task;
  Eventually(
      [&] {
        task = nevd.Get("/api/v1/tasks/" + accepted["id"].get<std::string>()).second;
        return task.is_object() && task.value("state", "") == "done";
      },
      limit);
  return task;
}

// The body of an answer whose status must be `status`.
json Expect(int status, const std::pair<int, json>& answer) {
  EXPECT_EQ(answer.first, status) << answer.second;
  return answer.second;
}

// A sale of one item named text, POSTed to a printer.
std::pair<int, json> Sell(const Nevd& nevd, const std::string& printer, const std::string& text,
                          const httplib::Headers& headers = {}) {
  return nevd.Post("/api/v1/printers/" + printer + "/receipts", Sale(text).dump(), headers);
}

// nev-sim on the pty link dir/ttyNEV0, with args.
pid_t StartSim(const nevtest::TempDir& dir, std::vector<std::string> args = {}) {
  return nevdtest::StartSim(dir.str() + "/ttyNEV0", std::move(args), dir.str() + "/sim.err");
}

class NevdApi : public ::testing::Test {
 protected:
  void SetUp() override {
    nevd_ = std::make_unique<Nevd>(dir_, kTwoSims);
    ASSERT_TRUE(Eventually([&] { return nevd_->Online("a") && nevd_->Online("b"); }, 15s))
        << nevd_->Log();
  }
  nevtest::TempDir dir_;
  std::unique_ptr<Nevd> nevd_;
};

TEST_F(NevdApi, PrintersTasksAndTheOpenApiDocumentDescribeWhatIsServed) {
  const json list = Expect(200, nevd_->Get("/api/v1/printers"));
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["id"], "a");
  EXPECT_EQ(list[1]["id"], "b");
  const json a = Expect(200, nevd_->Get("/api/v1/printers/a"));
  EXPECT_EQ(a["online"], true);
  EXPECT_EQ(a["queue"], 0);
  EXPECT_EQ(a["status"]["noPaper"], false);
  EXPECT_EQ(a["status"]["fiscalReceiptOpen"], false);
  EXPECT_NE(a["device"]["info"].get<std::string>().find("NEV-SIM"), std::string::npos);

  // Every path the document names is routed: on an unknown printer or task each answers that,
  // never the router's not-found.
  const json doc = Expect(200, nevd_->Get("/api/v1/openapi.json"));
  ASSERT_TRUE(doc.is_object());
  EXPECT_EQ(doc["openapi"].get<std::string>().substr(0, 2), "3.");
  int checked = 0;
  for (auto& [path, ops] : doc["paths"].items()) {
    const bool task = path.find("{taskId}") != std::string::npos;
    const bool printer = path.find("{id}") != std::string::npos;
    // A path with its own server (health and metrics, "/") is not under /api/v1.
    const std::string base = ops.contains("servers") ? "" : "/api/v1";
    std::string p = base + std::regex_replace(path, std::regex("\\{id\\}"), "nobody");
    p = std::regex_replace(p, std::regex("\\{taskId\\}"), "t-0000000000000000");
    for (auto& [method, op] : ops.items()) {
      if (method != "get" && method != "post") continue;
      auto [st, body] = method == "get" ? nevd_->Get(p) : nevd_->Post(p, "{}");
      if (task || printer) {
        EXPECT_EQ(st, 404) << method << " " << p;
        EXPECT_EQ(body["error"]["code"], task ? "unknown-task" : "unknown-printer")
            << method << " " << p;
      } else {
        EXPECT_LT(st, 400) << method << " " << p;
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 10);
}

TEST_F(NevdApi, ARetryWithTheSameKeyOrIdReturnsTheFirstResultAndPrintsOnce) {
  const std::string body = Sale("RETRY-ONE", 2.35).dump();
  const httplib::Headers key{{"Idempotency-Key", "till1-0001"}};
  const json first = Expect(200, nevd_->Post("/api/v1/printers/a/receipts", body, key));
  EXPECT_EQ(first["state"], "printed");
  EXPECT_EQ(first["id"], "till1-0001");
  EXPECT_DOUBLE_EQ(first["total"].get<double>(), 2.35);
  for (const char* f : {"receiptNumber", "change", "steps", "error", "evidence"}) {
    EXPECT_TRUE(first.contains(f)) << f;
  }
  auto c = nevd_->Client();
  auto again = c.Post("/api/v1/printers/a/receipts", key, body, "application/json");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true");
  EXPECT_EQ(json::parse(again->body), first);
  EXPECT_EQ(Count(nevd_->Paper("a"), "RETRY-ONE"), 1u) << nevd_->Paper("a");

  // The same by the document's own id, sent twice at once: printed once.
  json doc = Sale("RETRY-TWO", 1.10);
  doc["id"] = "till1-0002";
  auto f1 = std::async(std::launch::async,
                       [&] { return nevd_->Post("/api/v1/printers/a/receipts", doc.dump()); });
  auto f2 = std::async(std::launch::async,
                       [&] { return nevd_->Post("/api/v1/printers/a/receipts", doc.dump()); });
  auto r1 = f1.get(), r2 = f2.get();
  EXPECT_EQ(r1.first, 200);
  EXPECT_EQ(r2.first, 200);
  EXPECT_EQ(r1.second["receiptNumber"], r2.second["receiptNumber"]);
  EXPECT_EQ(Count(nevd_->Paper("a"), "RETRY-TWO"), 1u);

  // Other content under a used id, or a key that contradicts the id: 409, nothing printed.
  EXPECT_EQ(Expect(409, Sell(*nevd_, "a", "RETRY-ONE", key))["error"]["code"], "id-conflict");
  const httplib::Headers other{{"Idempotency-Key", "till1-other"}};
  EXPECT_EQ(
      Expect(409, nevd_->Post("/api/v1/printers/a/receipts", doc.dump(), other))["error"]["field"],
      "id");
  EXPECT_EQ(Count(nevd_->Paper("a"), "RETRY-ONE"), 1u);
}

TEST_F(NevdApi, HostileRequestsAreAnsweredWithTheirErrorAndNeverReachAPrinter) {
  const std::string paper = nevd_->Paper("a");
  const long jobs = nevd_->Get("/api/v1/printers/a").second["jobsDone"].get<long>();
  struct Case {
    std::string body, path, code, field;
    int status;
  };
  // A refusal by the receipt document names its field (each field: tests/unit/receipt).
  json bad_price = Sale("HOSTILE", 1);
  bad_price["items"][0]["price"] = -5;
  const std::string r = "/api/v1/printers/a/receipts", fm = "/api/v1/printers/a/reports/fm";
  const std::vector<Case> cases = {
      {"{\"items\": [", r, "bad-json", "", 400},
      {"[1, 2]", r, "bad-json", "", 400},
      {bad_price.dump(), r, "bad-document", "items[0].price", 400},
      {R"({"operator": {"number": 1, "password": "0"}, "items": [{"text": "x", "taxGroup": "B",
          "quantity": 1, "price": 1e999}], "payments": [{"type": 1}]})",
       r, "", "", 400},
      {Sale("HOSTILE", 1).dump(), r + "?wait=soon", "bad-parameter", "wait", 400},
      {Sale("HOSTILE", 1).dump(), r + "?wait=-1", "bad-parameter", "wait", 400},
      {std::string(70 * 1024, ' '), r, "body-too-large", "", 413},
      {R"({"kind": "z"})", r, "bad-document", "kind", 400},
      {R"({"amount": "lots"})", "/api/v1/printers/a/cash", "bad-document", "", 400},
      {R"({"seconds": 1e9})", "/api/v1/printers/a/release", "bad-parameter", "seconds", 400},
      {R"({"from": 9, "to": 2})", fm, "", "from", 400},
      {R"({"from": -1})", fm, "", "from", 400},
      {R"({"to": 1000000})", fm, "", "to", 400},
      {R"({"from": "1"})", fm, "", "from", 400},
  };
  for (const Case& c : cases) {
    auto [status, body] = nevd_->Post(c.path, c.body);
    EXPECT_EQ(status, c.status) << c.body.substr(0, 80);
    ASSERT_TRUE(body.is_object()) << c.body.substr(0, 80);
    ASSERT_TRUE(body["error"].is_object()) << body;
    EXPECT_FALSE(body["error"]["message"].get<std::string>().empty());
    if (!c.code.empty()) {
      EXPECT_EQ(body["error"]["code"], c.code) << body;
    }
    if (!c.field.empty()) {
      EXPECT_EQ(body["error"].value("field", ""), c.field) << body;
    }
  }

  // A page whose name was rebound to this machine: its Host and Origin agree, but the name is
  // not ours. Loopback names with our port (the one bound, not the one asked for) are our own
  // page; the other names are in tests/unit/nevd_policy.
  const std::string port = std::to_string(nevd_->port());
  struct Host {
    std::string host, origin;
    int status;
  };
  for (const Host& h :
       std::vector<Host>{{"evil.example:" + port, "http://evil.example:" + port, 403},
                         {"localhost:1", "http://localhost:1", 403},
                         {"localhost:" + port, "http://localhost:" + port, 200}}) {
    httplib::Headers headers{{"Host", h.host}};
    if (!h.origin.empty()) headers.emplace("Origin", h.origin);
    auto res = nevd_->Client(headers).Get("/api/v1/printers");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, h.status) << h.host;
    if (h.status == 403) {
      EXPECT_EQ(json::parse(res->body)["error"]["code"], "host-not-allowed") << res->body;
      EXPECT_EQ(json::parse(res->body)["error"]["field"], "Host");
    }
  }
  EXPECT_EQ(nevd_->Paper("a"), paper);
  EXPECT_EQ(nevd_->Get("/api/v1/printers/a").second["jobsDone"].get<long>(), jobs);
}

TEST_F(NevdApi, TasksEndWithTheirResultAndAPrinterBusyWithALongReportHoldsUpNoOther) {
  // The simulator's Z report takes seconds; a receipt on the other printer ends meanwhile.
  auto z = nevd_->Post("/api/v1/printers/a/reports/z?wait=0", "{}");
  ASSERT_EQ(z.first, 202) << z.second;
  auto c = nevd_->Client();
  auto r =
      c.Post("/api/v1/printers/b/receipts?wait=0", Sale("TASKED", 3.00).dump(), "application/json");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 202) << r->body;
  const json accepted = json::parse(r->body);
  EXPECT_EQ(r->get_header_value("Location"), "/api/v1/tasks/" + accepted["id"].get<std::string>());
  EXPECT_NE(accepted["state"], "done");
  const json task = WaitTask(*nevd_, accepted, 20s);
  EXPECT_EQ(task["kind"], "receipt");
  EXPECT_EQ(task["status"], 200);
  EXPECT_EQ(task["result"]["state"], "printed");
  EXPECT_EQ(Count(nevd_->Paper("b"), "TASKED"), 1u);
  EXPECT_NE(nevd_->Get("/api/v1/tasks/" + z.second["id"].get<std::string>()).second["state"],
            "done");

  // Work for the busy printer waits its turn in order; the same receipt sent again meanwhile
  // waits for that one's result, marked replayed, and prints nothing more.
  const std::string after = Sale("AFTER-Z", 1).dump();
  const httplib::Headers key{{"Idempotency-Key", "till1-join"}};
  auto queued = nevd_->Post("/api/v1/printers/a/receipts?wait=0", after, key);
  ASSERT_EQ(queued.first, 202);
  EXPECT_EQ(queued.second["state"], "queued");
  auto again =
      nevd_->Client(key).Post("/api/v1/printers/a/receipts?wait=55", after, "application/json");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200) << again->body;
  EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true");
  EXPECT_EQ(WaitTask(*nevd_, z.second, 30s)["result"]["state"], "printed");
  const json done = WaitTask(*nevd_, queued.second, 20s);
  EXPECT_EQ(done["state"], "done");
  EXPECT_EQ(done["result"], json::parse(again->body, nullptr, false));
  EXPECT_EQ(Count(nevd_->Paper("a"), "AFTER-Z"), 1u);
}

TEST_F(NevdApi, CashDuplicateFmReportAndRelease) {
  // Nothing printed yet: the device refuses a duplicate, and the answer is an error object.
  const json refused_dup = Expect(409, nevd_->Post("/api/v1/printers/a/duplicate", ""));
  EXPECT_EQ(refused_dup["error"]["code"], "device-refused") << refused_dup;
  EXPECT_EQ(refused_dup["error"]["outcome"], "nak") << refused_dup;
  const std::string cash =
      R"({"operator": {"number": 1, "password": "0000"}, "type": 1, "amount": 25.5})";
  EXPECT_EQ(Expect(200, nevd_->Post("/api/v1/printers/a/cash", cash))["state"], "printed");
  ASSERT_EQ(Sell(*nevd_, "a", "FOR-DUP").first, 200);
  EXPECT_EQ(Expect(200, nevd_->Post("/api/v1/printers/a/duplicate", ""))["outcome"], "answered");
  EXPECT_GE(Count(nevd_->Paper("a"), "FOR-DUP"), 2u);

  // The FM report is a task whose stream gives one JSON object per line: pieces numbered, then
  // the end.
  const json fm =
      Expect(202, nevd_->Post("/api/v1/printers/a/reports/fm", R"({"from": 1, "to": 3})"));
  const std::string id = fm["id"];
  EXPECT_EQ(fm["printer"], "a");
  EXPECT_EQ(fm["kind"], "fm-report");
  EXPECT_EQ(fm["href"], "/api/v1/tasks/" + id);
  EXPECT_EQ(fm["stream"], "/api/v1/tasks/" + id + "/stream");
  auto streamed = nevd_->Client().Get(("/api/v1/tasks/" + id + "/stream").c_str());
  ASSERT_TRUE(streamed);
  EXPECT_EQ(streamed->status, 200);
  EXPECT_EQ(streamed->get_header_value("Content-Type"), "application/x-ndjson");
  std::istringstream lines(streamed->body);
  std::vector<json> pieces;
  for (std::string line; std::getline(lines, line);) pieces.push_back(json::parse(line));
  ASSERT_GE(pieces.size(), 3u) << streamed->body;
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    EXPECT_EQ(pieces[i]["piece"], i + 1);
    EXPECT_FALSE(pieces[i]["text"].get<std::string>().empty());
  }
  EXPECT_EQ(pieces.back()["done"], true);
  EXPECT_EQ(pieces.back()["pieces"], pieces.size() - 1);
  EXPECT_EQ(pieces[0]["text"].get<std::string>().substr(0, 5), "Z0001");

  // Released: the port is let go, work is refused with 503, then the printer comes back.
  EXPECT_EQ(nevd_->Post("/api/v1/printers/b/release", R"({"seconds": 1})").first, 202);
  ASSERT_TRUE(Eventually([&] { return nevd_->State("b") == "released"; }, 5s));
  EXPECT_EQ(Expect(503, Sell(*nevd_, "b", "RELEASED"))["error"]["code"], "printer-unavailable");
  ASSERT_TRUE(Eventually([&] { return nevd_->Online("b"); }, 15s));
  EXPECT_EQ(Count(nevd_->Paper("b"), "RELEASED"), 0u);
}

TEST(NevdDefaults, ZWithoutABodyAndTheJournalInTheStateFolder) {
  nevtest::TempDir dir;
  Nevd nevd(dir, nullptr);  // the built-in configuration: one simulated printer, "sim"
  ASSERT_TRUE(Eventually([&] { return nevd.Online("sim"); }, 15s)) << nevd.Log();
  auto z = nevd.Client().Post("/api/v1/printers/sim/reports/z");
  ASSERT_TRUE(z);
  ASSERT_EQ(z->status, 200) << z->body;
  const json result = json::parse(z->body);
  EXPECT_EQ(result["state"], "printed");
  EXPECT_TRUE(result["zNumber"].is_number_integer()) << result;
  EXPECT_FALSE(result.contains("receiptNumber"));
  EXPECT_TRUE(std::filesystem::exists(dir.str() + "/state/nevd/nevd-sim.db"));
  EXPECT_FALSE(std::filesystem::exists(dir.str() + "/nevd-sim.db"));
}

TEST(NevdSafety, OnlyTheTokenAndConfiguredOriginsAreServed) {
  nevtest::TempDir dir;
  const std::string token = "0123456789abcdef-token", till = "http://till.example:8080";
  const std::string receipts = "/api/v1/printers/a/receipts";
  json config = kTwoSims;
  config["printers"] = {{{"id", "a"}, {"port", "sim"}}};
  config["token"] = token;
  config["cors"] = {till};
  Nevd nevd(dir, config);
  struct Case {
    httplib::Headers headers;
    bool post;
    int status;
    std::string code, allowed_origin;
  };
  const std::vector<Case> cases = {
      {{}, false, 401, "unauthorized", ""},
      {{{"Authorization", "Bearer nope"}}, true, 401, "unauthorized", ""},
      {{{"Authorization", "Bearer " + token}, {"Origin", till}}, false, 200, "", till},
      {{{"Authorization", "Bearer " + token}, {"Origin", "http://evil.example"}},
       true,
       403,
       "",
       ""},
  };
  for (const Case& c : cases) {
    auto r = c.post ? nevd.Client(c.headers).Post(receipts, Sale("REFUSED", 1).dump(),
                                                  "application/json")
                    : nevd.Client(c.headers).Get("/api/v1/printers");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), c.allowed_origin);
    if (!c.code.empty()) {
      EXPECT_EQ(json::parse(r->body)["error"]["code"], c.code);
    }
  }
  EXPECT_EQ(nevd.Paper("a"), "");  // the till roll needs the token too
  auto paper = nevd.Client({{"Authorization", "Bearer " + token}}).Get("/api/v1/printers/a/paper");
  ASSERT_TRUE(paper);
  EXPECT_EQ(Count(paper->body, "REFUSED"), 0u);

  // A preflight (no token, as browsers send it) names a configured origin exactly once, else
  // not at all.
  for (const auto& [origin, allowed] : {std::pair{till, true}, {"http://evil.example", false}}) {
    auto r = nevd.Client({{"Access-Control-Request-Method", "POST"},
                          {"Access-Control-Request-Headers", "authorization"},
                          {"Origin", origin}})
                 .Options(receipts);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->headers.count("Access-Control-Allow-Origin"), allowed ? 1u : 0u) << origin;
    EXPECT_EQ(r->headers.count("Access-Control-Allow-Methods"), allowed ? 1u : 0u) << origin;
    if (allowed) {
      EXPECT_EQ(r->status, 204);
      EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), till);
      EXPECT_EQ(r->headers.count("Vary"), 1u);
      EXPECT_NE(r->get_header_value("Access-Control-Allow-Headers").find("Authorization"),
                std::string::npos);
    }
  }
}

TEST(NevdSupervision, APrinterThatGoesAwayIsOfflineAndComesBackByItself) {
  nevtest::TempDir dir;
  const std::string link = dir.str() + "/ttyNEV0", state = dir.str() + "/device.state";
  pid_t sim = StartSim(dir, {"--state", state});
  json config = {
      {"probeSeconds", 0.3},
      {"maxBackoffSeconds", 0.5},
      {"printers",
       {{{"id", "real"}, {"port", link}, {"baud", 9600}}, {{"id", "s"}, {"port", "sim"}}}}};
  Nevd nevd(dir, config);
  ASSERT_TRUE(Eventually([&] { return nevd.Online("real"); }, 15s)) << nevd.Log();
  const json first = Expect(200, Sell(nevd, "real", "BEFORE"));
  EXPECT_EQ(first["state"], "printed");

  Stop(sim, SIGKILL);
  ASSERT_TRUE(Eventually([&] { return nevd.State("real") == "offline"; }, 15s)) << nevd.Log();
  EXPECT_EQ(Expect(503, Sell(nevd, "real", "DURING"))["error"]["code"], "printer-unavailable");
  EXPECT_TRUE(nevd.Online("s"));  // the other printer is untouched
  EXPECT_EQ(Sell(nevd, "s", "OTHER").first, 200);

  sim = StartSim(dir, {"--state", state});
  ASSERT_TRUE(Eventually([&] { return nevd.Online("real"); }, 20s)) << nevd.Log();
  const json after = Expect(200, Sell(nevd, "real", "AFTER"));
  EXPECT_EQ(after["state"], "printed");
  EXPECT_GT(after["receiptNumber"].get<int>(), first["receiptNumber"].get<int>());
  Stop(sim);
  const std::string log = nevd.Log();
  EXPECT_NE(log.find("printer real offline"), std::string::npos) << log;
}

// A printer that does not come online says why, with the driver's record: a port that does not
// open is told from one that opened with nothing answering; its diagnostics check it in order.
TEST(NevdSupervision, AnAbsentOrSilentPrinterSaysWhyAndItsDiagnosticsPointToTheRemedy) {
  nevtest::TempDir dir;
  const pid_t sim = StartSim(dir, {"--silent"});
  const std::string gone = dir.str() + "/ttyGONE";
  json config = {{"printers",
                  {{{"id", "gone"}, {"port", gone}},
                   {{"id", "mute"}, {"port", dir.str() + "/ttyNEV0"}},
                   {{"id", "s"}, {"port", "sim"}}}}};
  Nevd nevd(dir, config);
  auto error_of = [&](const std::string& id) { return nevd.Get("/api/v1/printers/" + id).second; };
  ASSERT_TRUE(Eventually([&] { return error_of("mute")["error"].is_object(); }, 15s)) << nevd.Log();
  ASSERT_TRUE(Eventually([&] { return error_of("gone")["error"].is_object(); }, 15s));
  const struct {
    const char* id;
    std::string last_error;
    std::string port;
  } cases[] = {
      {"gone", "the port could not be opened: Cannot open " + gone + ": no such device", gone},
      {"mute", "the port opened but nothing answered the probe: no answer to the probe",
       dir.str() + "/ttyNEV0"}};
  for (const auto& c : cases) {
    const json p = error_of(c.id);
    EXPECT_EQ(p["lastError"].get<std::string>().rfind(c.last_error, 0), 0u) << p;
    EXPECT_EQ(p["error"]["number"], 8002) << p;
    EXPECT_EQ(p["error"]["port"], c.port);
    EXPECT_EQ(p["error"]["speed"], 9600);
    EXPECT_TRUE(p["error"]["remedy"].is_string()) << p;
    EXPECT_EQ(p["flags"], json::array());
  }
  EXPECT_NE(nevd.Log().find("nevd: printer gone: the port could not be opened"), std::string::npos);
  EXPECT_NE(nevd.Log().find("(error 8002, port " + gone + ", speed 9600)"), std::string::npos)
      << nevd.Log();
  // Not ready while a printer was never reached, and it says which; alive all the same.
  EXPECT_EQ(Expect(503, nevd.Get("/readyz"))["reasons"][0],
            "printer gone has not been reached yet");
  EXPECT_EQ(nevd.Get("/livez").first, 200);

  const json diag = Expect(200, nevd.Get("/api/v1/printers/gone/diagnostics"));
  std::vector<std::string> checks;
  for (const json& c : diag["checks"])
    checks.push_back(c["check"].get<std::string>() + " " + c["verdict"].get<std::string>());
  EXPECT_EQ(checks, (std::vector<std::string>{"device FAIL", "speed ok", "probe FAIL",
                                              "status skip", "log ok", "journal ok"}));
  EXPECT_EQ(diag["checks"][0]["see"], "README.md, Troubleshooting: the port does not exist");
  EXPECT_EQ(diag["ok"], false);
  const json healthy = nevd.Get("/api/v1/printers/s/diagnostics").second;
  EXPECT_EQ(healthy["ok"], true) << healthy;
  EXPECT_EQ(healthy["simulated"], true);
  EXPECT_EQ(nevd.Get("/api/v1/printers/nope/diagnostics").first, 404);
  // The support bundle: a tar file with the checks and the printer's driver log.
  auto client = nevd.Client();
  const auto bundle = client.Get("/api/v1/printers/s/diagnostics?bundle=1");
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->status, 200);
  EXPECT_EQ(bundle->get_header_value("Content-Type"), "application/x-tar");
  for (const char* piece : {"nev-support/versions.txt", "nev-support/nevd.json",
                            "nev-support/checks.json", "\tNEV\tInitConnection\tEntering"}) {
    EXPECT_NE(bundle->body.find(piece), std::string::npos) << piece;
  }
  Stop(sim);
}

TEST(NevdSupervision, RequestsWaitingForASlowPrinterHoldUpNoOther) {
  nevtest::TempDir dir;
  // Every answer late (within the driver's time-outs) on a slow line: one receipt takes
  // seconds, and the POSTs waiting for it pile up.
  const nevdtest::Child sim(StartSim(dir, {"--delay", "800", "--baud", "2400"}));
  json config = {
      {"probeSeconds", 60},
      {"printers",
       {{{"id", "slow"}, {"port", dir.str() + "/ttyNEV0"}}, {{"id", "fast"}, {"port", "sim"}}}}};
  // Declared before nevd: when nevd goes (on failure too), the POSTs still waiting end.
  std::vector<std::future<void>> posts;
  auto nevd = std::make_unique<Nevd>(dir, config);
  ASSERT_TRUE(Eventually([&] { return nevd->Online("slow") && nevd->Online("fast"); }, 30s))
      << nevd->Log();

  // More POSTs than a thread per request could serve, each willing to wait for minutes.
  for (int i = 0; i < 70; ++i) {
    posts.push_back(std::async(std::launch::async, [port = nevd->port()] {
      httplib::Client c("127.0.0.1", port);
      c.set_read_timeout(300, 0);
      c.Post("/api/v1/printers/slow/receipts?wait=300", Sale("SLOW", 1).dump(), "application/json");
    }));
  }
  ASSERT_TRUE(Eventually([&] { return nevd->Describe("slow").value("queue", 0) >= 20; }, 60s))
      << nevd->Describe("slow");
  // Meanwhile the other printer answers and prints.
  EXPECT_TRUE(nevd->Online("fast"));
  EXPECT_EQ(Expect(200, Sell(*nevd, "fast", "FAST"))["state"], "printed");
  // Stopping ends the waits: nevd exits by itself once the receipt under way is done (seconds on
  // this line), although POSTs were waiting for minutes.
  EXPECT_EQ(nevd->Terminate(30s), std::optional<int>(0)) << nevd->Log();
}

TEST(NevdSupervision, AReceiptLeftOpenByAKilledRunIsSettledWhenNevdStartsAgain) {
  nevtest::TempDir dir;
  const std::string link = dir.str() + "/ttyNEV0", trace = dir.str() + "/sim.err";
  // The device runs the discount (0x89) of a receipt but its answer is lost: the driver waits.
  const nevdtest::Child sim(StartSim(dir, {"--trace", "--lose-answer", "0x89"}));
  json config = {{"probeSeconds", 0.3}, {"printers", {{{"id", "real"}, {"port", link}}}}};
  auto nevd = std::make_unique<Nevd>(dir, config);
  ASSERT_TRUE(Eventually([&] { return nevd->Online("real"); }, 15s)) << nevd->Log();
  ASSERT_EQ(Sell(*nevd, "real", "BEFORE").first, 200);

  // nevd dies while it waits: the receipt stays open on the device and unfinished in the
  // journal.
  const httplib::Headers key{{"Idempotency-Key", "till1-cut"}};
  json discounted = Sale("CUT", 1);
  discounted["adjustment"] = {{"percent", -10}};
  auto cut = std::async(std::launch::async, [&, port = nevd->port()] {
    httplib::Client c("127.0.0.1", port);
    return c.Post("/api/v1/printers/real/receipts", key, discounted.dump(), "application/json");
  });
  ASSERT_TRUE(
      Eventually([&] { return Count(nevtest::ReadFile(trace), "Addition (0x89)") == 1; }, 15s));
  nevd->Kill();
  EXPECT_FALSE(cut.get());  // no answer: the connection died with nevd

  // Started again, nevd settles it before any other work: the receipt is voided on the device,
  // and a duplicate (which an open receipt would refuse) prints.
  nevd = std::make_unique<Nevd>(dir, config);
  ASSERT_TRUE(Eventually(
      [&] {
        auto [status, p] = nevd->Get("/api/v1/printers/real");
        return status == 200 && p["state"] == "online" && p["status"]["fiscalReceiptOpen"] == false;
      },
      15s))
      << nevd->Get("/api/v1/printers/real").second << nevd->Log();
  EXPECT_NE(nevd->Log().find("unfinished till1-cut settled as voided"), std::string::npos)
      << nevd->Log();
  Expect(200, nevd->Post("/api/v1/printers/real/duplicate", ""));
  const json again =
      Expect(200, nevd->Post("/api/v1/printers/real/receipts", discounted.dump(), key));
  EXPECT_EQ(again["state"], "voided") << again;
}

TEST(NevdSupervision, AReceiptSomeoneElseLeftOpenIsNamedAndVoidedOnRequest) {
  nevtest::TempDir dir;
  const std::string link = dir.str() + "/ttyNEV0";
  const nevdtest::Child sim(StartSim(dir));
  json config = {{"probeSeconds", 0.3}, {"printers", {{{"id", "real"}, {"port", link}}}}};
  Nevd nevd(dir, config);
  ASSERT_TRUE(Eventually([&] { return nevd.Online("real"); }, 15s)) << nevd.Log();
  ASSERT_EQ(Sell(nevd, "real", "FIRST").first, 200);

  // While nevd lets the port go, another program opens a receipt and leaves it open.
  ASSERT_EQ(nevd.Post("/api/v1/printers/real/release", R"({"seconds": 2})").first, 202);
  ASSERT_TRUE(Eventually(
      [&] {
        return nevtest::WaitExit(
                   Spawn({NEVCTL_EXE, "--port", link, "call", "OpenFiscNote", "1", "0000"},
                         dir.str() + "/nevctl.err"),
                   10000) == 0;
      },
      10s));
  ASSERT_TRUE(Eventually([&] { return nevd.Online("real"); }, 15s));
  const httplib::Headers key{{"Idempotency-Key", "till1-after"}};
  const json blocked = Expect(200, Sell(nevd, "real", "AFTER", key));
  EXPECT_EQ(blocked["state"], "refused") << blocked;
  EXPECT_EQ(blocked["error"]["outcome"], "receipt-open");
  EXPECT_NE(blocked["error"]["message"].get<std::string>().find("void-open"), std::string::npos);

  EXPECT_EQ(Expect(200, nevd.Post("/api/v1/printers/real/void-open", ""))["state"], "voided");
  Expect(409, nevd.Post("/api/v1/printers/real/void-open", ""));
  EXPECT_EQ(Expect(200, Sell(nevd, "real", "AFTER", key))["state"], "printed");
  const json accepted = Expect(200, nevd.Post("/api/v1/printers/real/journal/accept", ""));
  EXPECT_NE(accepted["accepted"].get<std::string>().find("2 fiscal and 1 voided"),
            std::string::npos)
      << accepted;
}

}  // namespace
