// The fleet with real parts: mosquitto brokers on free loopback ports (persistence in temporary
// folders), nevd shops on nev-sim printers, a back office on libmosquitto.
#include <gtest/gtest.h>

#include <cstdio>

#include "campaign.h"
#include "fleet_support.h"

namespace fleet {
namespace {

json Mqtt(const Broker& b, const std::string& shop, json extra = json::object()) {
  json m = {{"url", b.url()}, {"clientId", shop}, {"prefix", "nev/" + shop}};
  m.update(extra);
  return m;
}

// Runs a command; its exit status and what it wrote.
std::pair<int, std::string> Shell(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  while (p && std::fgets(buf, sizeof buf, p)) out += buf;
  const int status = p ? ::pclose(p) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// The value of one sample of the metrics page, or -1 when it is not there.
double Sample(const std::string& page, const std::string& series) {
  const std::size_t at = page.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stod(page.substr(at + series.size() + 2));
}

// What the connector's exactly-once rests on: a libmosquitto client marked threaded, running its
// own network loop, does not acknowledge a QoS 1 message before its callback returns. A client
// that dies inside the callback gets the message again from its persistent session.
TEST(Fleet, TheClientLibraryAcknowledgesOnlyAfterTheMessageCallbackReturned) {
  nevtest::TempDir dir;
  Broker broker(dir.str() + "/broker");
  // A session that ends with exit code: 5 once subscribed (mode 5), else 3 or 4 (the mode) as
  // soon as a message reaches its callback, 0 when none came within 10 s.
  auto session = [&](int mode) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    mosquitto_lib_init();
    mosquitto* m = mosquitto_new("ack-probe", false, &mode);
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_threaded_set(m, true);
    mosquitto_connect_v5_callback_set(
        m, [](mosquitto* c, void*, int, int, const mosquitto_property*) {
          mosquitto_subscribe_v5(c, nullptr, "probe/jobs", 1, 0, nullptr);
        });
    mosquitto_subscribe_v5_callback_set(
        m, [](mosquitto*, void* mode, int, int, const int*, const mosquitto_property*) {
          if (*static_cast<int*>(mode) == 5) ::_exit(5);
        });
    mosquitto_message_v5_callback_set(
        m, [](mosquitto*, void* mode, const mosquitto_message*, const mosquitto_property*) {
          ::_exit(*static_cast<int*>(mode));
        });
    mosquitto_property* props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 600);
    mosquitto_connect_bind_v5(m, "127.0.0.1", broker.port(), 30, nullptr, props);
    for (int i = 0; i < 100; ++i) mosquitto_loop(m, 100, 1);
    ::_exit(0);
  };
  ASSERT_EQ(nevtest::WaitExit(session(5), 15000), 5);
  Client sender("sender", broker.port(), {});
  ASSERT_EQ(sender.Connack(), 0);
  sender.Publish("probe/jobs", "job");
  EXPECT_EQ(nevtest::WaitExit(session(3), 15000), 3);
  EXPECT_EQ(nevtest::WaitExit(session(4), 15000), 4) << "the message was not sent again";
}

TEST(Fleet, JobsPrintOnceResultsStatusAndPresenceComeBackAcrossACrash) {
  nevtest::TempDir dir;
  Broker broker(dir.str() + "/broker");
  Shop shop("shop-1", 2, Mqtt(broker, "shop-1"));
  Client office("office", broker.port(),
                {"nev/+/printers/+/results", "nev/+/printers/+/status", "nev/+/state"});
  ASSERT_EQ(office.Connack(), 0);
  ASSERT_TRUE(office.WaitState(
      {"nev/shop-1/state", "nev/shop-1/printers/p1/status", "nev/shop-1/printers/p2/status"},
      "online", 30s))
      << shop.nevd().Log();

  const std::string jobs = "nev/shop-1/printers/";
  office.Publish(jobs + "p1/jobs", Job("j1", "JOB-ONE"));
  office.Publish(jobs + "p1/jobs", Job("j1", "JOB-ONE"));  // published twice
  office.Publish(jobs + "p2/jobs", Job("j2", "JOB-TWO"));
  office.Publish(jobs + "p1/jobs", Job("j1", "OTHER"));  // the same id, other content
  office.Publish(
      jobs + "p1/jobs",
      json{{"kind", "receipt"}, {"id", "j3"}, {"document", {{"items", json::array()}}}}.dump());
  office.Publish(jobs + "px/jobs", Job("j4", "NOWHERE"));
  office.Publish(jobs + "p2/jobs", json{{"kind", "void"}, {"id", "j5"}}.dump());
  office.Publish(jobs + "p2/jobs", "{not json");
  office.Publish(jobs + "p2/jobs", json{{"kind", "z"}, {"id", "j 7\u0001"}}.dump());
  office.Publish(jobs + "p2/jobs", json{{"kind", "cash"}, {"id", "j8"}, {"document", "x"}}.dump());
  const std::map<std::string, int> want = {{"j1", 200}, {"j2", 200}, {"j3", 400},       {"j4", 404},
                                           {"j5", 400}, {"j8", 400}, {"j 7\u0001", 400}};
  ASSERT_TRUE(office.WaitFor(
      [&](const auto&) {
        auto results = office.Results();
        for (const auto& [id, status] : want) {
          bool seen = false;
          for (const json& r : results[id]) seen = seen || r["status"] == status;
          if (!seen) return false;
        }
        return results["j1"].size() >= 2;  // its result and the conflict's refusal
      },
      30s))
      << shop.nevd().Log();
  auto results = office.Results();
  for (const json& r : results["j1"]) {
    if (r["status"] == 200) {
      EXPECT_EQ(r["state"], "printed") << r;
    } else {
      EXPECT_EQ(r["error"]["code"], "id-conflict") << r;
    }
  }
  EXPECT_EQ(results["j2"][0]["state"], "printed");
  EXPECT_EQ(results["j3"][0]["error"]["code"], "bad-document");
  EXPECT_EQ(results["j4"][0]["error"]["code"], "unknown-printer");
  EXPECT_EQ(Count(shop.Paper("p1"), "JOB-ONE"), 1u);
  EXPECT_EQ(Count(shop.Paper("p1"), "OTHER"), 0u);
  EXPECT_EQ(Count(shop.Paper("p2"), "JOB-TWO"), 1u);

  // The metrics page passes promtool, and its numbers are what happened here.
  auto c = shop.nevd().Client();
  auto page = c.Get("/metrics");
  ASSERT_TRUE(page && page->status == 200);
  nevtest::WriteFile(dir.str() + "/metrics.txt", page->body);
  const auto [rc, lint] = Shell("promtool check metrics < " + dir.str() + "/metrics.txt");
  EXPECT_EQ(rc, 0) << lint << page->body;
  EXPECT_EQ(Sample(page->body, R"(nevd_jobs_total{source="mqtt",kind="receipt",result="printed"})"),
            2)
      << page->body;
  EXPECT_EQ(Sample(page->body, "nevd_mqtt_messages_received_total"), 10) << page->body;
  EXPECT_EQ(Sample(page->body, "nevd_mqtt_redeliveries_total"), 1) << page->body;
  EXPECT_EQ(Sample(page->body, "nevd_mqtt_connected"), 1);
  EXPECT_EQ(Sample(page->body, R"(nevd_printer_online{printer="p1"})"), 1);
  EXPECT_EQ(Sample(page->body, R"(nevd_receipt_latency_seconds_count{source="mqtt"})"), 2);
  EXPECT_EQ(shop.nevd().Get("/readyz").first, 200);
  EXPECT_EQ(shop.nevd().Get("/livez").first, 200);

  // A crash: the last will marks the shop offline; a job sent meanwhile waits in the broker's
  // session and prints once after the restart, and a redelivered old job prints nothing.
  shop.Kill();
  ASSERT_TRUE(office.WaitState({"nev/shop-1/state"}, "offline", 30s));
  office.Publish(jobs + "p1/jobs", Job("j6", "JOB-SIX"));
  office.Publish(jobs + "p2/jobs", Job("j2", "JOB-TWO"));
  shop.Restart();
  ASSERT_TRUE(office.WaitFor(
      [&](const auto&) {
        auto r = office.Results();
        return !r["j6"].empty() && r["j2"].size() >= 2 &&
               office.Last("nev/shop-1/state").value("state", "") == "online";
      },
      30s))
      << shop.nevd().Log();
  EXPECT_EQ(office.Results()["j6"][0]["state"], "printed");
  EXPECT_EQ(office.Results()["j2"][1]["state"], "printed");
  EXPECT_EQ(Count(shop.Paper("p1"), "JOB-SIX"), 1u);
  EXPECT_EQ(Count(shop.Paper("p2"), "JOB-TWO"), 1u);
}

// A test CA, the broker's certificate for 127.0.0.1, a client certificate from the CA and a
// rogue one from another CA, made with openssl in dir.
void MakeCertificates(const std::string& dir) {
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  nevtest::WriteFile(dir + "/san.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
  const std::string steps[] = {
      "openssl req -x509" + ec + "-keyout ca.key -out ca.pem -days 2 -subj /CN=fleet-test-ca",
      "openssl req" + ec + "-keyout server.key -out server.csr -subj /CN=127.0.0.1",
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
      "-out server.pem -days 2 -extfile san.ext",
      "openssl req" + ec + "-keyout shop.key -out shop.csr -subj /CN=shop-1",
      "openssl x509 -req -in shop.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
      "-out shop.pem -days 2",
      "openssl req -x509" + ec + "-keyout rogue.key -out rogue.pem -days 2 -subj /CN=shop-1",
      "mosquitto_passwd -b -c passwd office office-secret",
      "mosquitto_passwd -b passwd shop-1 shop-1-secret",
      "mosquitto_passwd -b passwd shop-2 shop-2-secret",
  };
  for (const std::string& step : steps) {
    const auto [rc, out] = Shell("cd " + dir + " && " + step);
    if (rc != 0) throw std::runtime_error(step + ": " + out);
  }
}

const char* kAcl =
    "user office\ntopic readwrite nev/#\n\n"
    "pattern read nev/%u/printers/+/jobs\npattern write nev/%u/printers/+/results\n"
    "pattern write nev/%u/printers/+/status\npattern write nev/%u/state\n";

TEST(Fleet, TlsWithATestCaRefusesAWrongCertificateAndTheAclKeepsShopsApart) {
  nevtest::TempDir dir;
  const std::string d = dir.str();
  MakeCertificates(d);
  nevtest::WriteFile(d + "/acl", kAcl);
  Broker broker(d + "/broker",
                "allow_anonymous false\npassword_file " + d + "/passwd\nacl_file " + d + "/acl\n",
                "cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
                    "/server.key\nrequire_certificate true\n");
  const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port());
  Shop shop("shop-1", 1,
            Mqtt(broker, "shop-1",
                 {{"url", url},
                  {"caFile", d + "/ca.pem"},
                  {"certFile", d + "/shop.pem"},
                  {"keyFile", d + "/shop.key"},
                  {"username", "shop-1"},
                  {"password", "shop-1-secret"}}));
  EXPECT_EQ(shop.nevd().Log().find("shop-1-secret"), std::string::npos);

  auto tls = [&](const std::string& user, const std::string& cert) {
    return Client::Options{user, user + "-secret", d + "/ca.pem", d + "/" + cert + ".pem",
                           d + "/" + cert + ".key"};
  };
  Client office("office", broker.port(), {"nev/+/printers/+/results", "nev/+/state"},
                tls("office", "shop"));
  ASSERT_EQ(office.Connack(), 0);
  // Another shop's credentials: it subscribes to shop-1's jobs and forges a result for it.
  Client other("shop-2", broker.port(), {"nev/shop-1/printers/+/jobs"}, tls("shop-2", "shop"));
  ASSERT_EQ(other.Connack(), 0);
  // A certificate from another CA is refused in the handshake: no connection.
  Client rogue("rogue", broker.port(), {}, tls("office", "rogue"));
  EXPECT_NE(rogue.Connack(5s), 0);

  ASSERT_TRUE(office.WaitState({"nev/shop-1/state"}, "online", 30s))
      << shop.nevd().Log() << broker.Log();
  other.Publish("nev/shop-1/printers/p1/results",
                json{{"id", "forged"}, {"status", 200}, {"state", "printed"}}.dump());
  office.Publish("nev/shop-1/printers/p1/jobs", Job("t1", "TLS-ONE"));
  ASSERT_TRUE(office.WaitFor([&] { return office.HasResult("t1"); }, 30s))
      << shop.nevd().Log() << broker.Log();
  EXPECT_EQ(office.Results()["t1"][0]["state"], "printed");
  EXPECT_EQ(Count(shop.Paper("p1"), "TLS-ONE"), 1u);
  EXPECT_TRUE(office.Results()["forged"].empty());
  for (const auto& m : other.Messages()) ADD_FAILURE() << "shop-2 read " << m.topic;
}

TEST(Fleet, ShopsOnARegionalBrokerBridgedToTheCentralOneServeTheBackOffice) {
  nevtest::TempDir dir;
  Broker central(dir.str() + "/central");
  Broker regional(dir.str() + "/regional",
                  "connection central\naddress 127.0.0.1:" + std::to_string(central.port()) +
                      "\ncleansession false\nclientid bridge-regional-1\n"
                      "topic nev/+/printers/+/jobs in 1\ntopic nev/+/printers/+/results out 1\n"
                      "topic nev/+/printers/+/status out 1\ntopic nev/+/state out 1\n");
  Shop shop("shop-9", 1, Mqtt(regional, "shop-9"));
  Client office("office", central.port(), {"nev/+/printers/+/results", "nev/+/state"});
  ASSERT_EQ(office.Connack(), 0);
  ASSERT_TRUE(office.WaitState({"nev/shop-9/state"}, "online", 30s))
      << regional.Log() << shop.nevd().Log();
  office.Publish("nev/shop-9/printers/p1/jobs", Job("r1", "REGIONAL"));
  ASSERT_TRUE(office.WaitFor([&] { return office.HasResult("r1"); }, 30s))
      << regional.Log() << shop.nevd().Log();
  EXPECT_EQ(office.Results()["r1"][0]["state"], "printed");
  // The printer's status is retained at the central broker: a later reader sees it at once.
  Client later("later", central.port(), {"nev/+/printers/+/status"});
  ASSERT_EQ(later.Connack(), 0);
  EXPECT_TRUE(later.WaitFor(
      [&](const auto& all) {
        return !all.empty() && all[0].retained && all[0].Json().value("state", "") == "online";
      },
      10s));
}

// The back-office example (Debian's Python and its paho package): a receipt to one printer of one
// shop, the Z report to every printer of every shop, the fleet's list from the retained status.
TEST(Fleet, TheBackOfficeExamplePrintsOnTheRightPrinterAndListsTheFleet) {
  if (Shell("/usr/bin/python3 -c 'import paho.mqtt.client'").first != 0) {
    GTEST_SKIP() << "python3-paho-mqtt is not installed";
  }
  nevtest::TempDir dir;
  Broker broker(dir.str() + "/broker");
  Shop one("shop-1", 2, Mqtt(broker, "shop-1"));
  Shop two("shop-2", 1, Mqtt(broker, "shop-2"));
  const std::string office = std::string("/usr/bin/python3 ") + FLEET_EXAMPLE +
                             " --broker 127.0.0.1:" + std::to_string(broker.port()) +
                             " --timeout 60 ";
  Client watcher("watcher", broker.port(), {"nev/+/printers/+/status"});
  ASSERT_EQ(watcher.Connack(), 0);
  ASSERT_TRUE(watcher.WaitState({"nev/shop-1/printers/p1/status", "nev/shop-1/printers/p2/status",
                                 "nev/shop-2/printers/p1/status"},
                                "online", 30s));

  auto [rc, out] = Shell(office + "receipt shop-1 p2 --id web-4711 --text WEB-4711 --price 12.5");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(json::parse(out, nullptr, false).value("state", ""), "printed") << out;
  EXPECT_EQ(Count(one.Paper("p2"), "WEB-4711"), 1u);
  EXPECT_EQ(Count(one.Paper("p1") + two.Paper("p1"), "WEB-4711"), 0u);
  std::tie(rc, out) =
      Shell(office + "receipt shop-1 p2 --id web-4711 --text WEB-4711 --price 12.5");
  EXPECT_EQ(rc, 0) << out;  // sent again: answered from the journal
  EXPECT_EQ(Count(one.Paper("p2"), "WEB-4711"), 1u);

  std::tie(rc, out) = Shell(office + "z-all");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(Count(out, "\"status\": 200"), 3u) << out;
  std::tie(rc, out) = Shell(office + "fleet");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(Count(out, "printer online"), 3u) << out;
}

TEST(FleetCampaign, AShortRunLosesNothingAndPrintsNothingTwice) {
  CampaignOptions o;
  o.shops = 3;
  o.jobs = 60;
  o.broker_kills = 1;
  o.shop_kills = 2;
  o.offline = 5s;
  o.pace = 50ms;
  o.resend_after = 8s;
  o.limit = 150s;
  std::ostringstream log;
  const Figures f = RunCampaign(o, log);
  std::cout << log.str() << "fleet campaign (short): " << f << std::endl;
  EXPECT_EQ(f.lost, 0);
  EXPECT_EQ(f.printed_twice, 0);
  EXPECT_EQ(f.printed_without_paper, 0);
  EXPECT_EQ(f.results, o.jobs);
}

}  // namespace
}  // namespace fleet
