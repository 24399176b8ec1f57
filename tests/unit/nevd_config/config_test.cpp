// nevd's configuration: every field that can be wrong is refused with its name, and a
// configuration that passes names ports and speeds the driver can open.
#include "config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using nevd::CheckConfig;
using nevd::ConfigError;
using nevd::ParseConfig;

// One printer with the given JSON members (after "id").
std::string OnePrinter(const std::string& members) {
  return R"({"printers": [{"id": "p1")" + members + "}]}";
}

// One simulated printer and an "mqtt" section with the given members (clientId and prefix unless
// given).
std::string Mqtt(const std::string& members) {
  std::string m = members;
  if (m.find("clientId") == std::string::npos) m += R"(, "clientId": "shop-1")";
  if (m.find("prefix") == std::string::npos) m += R"(, "prefix": "nev/shop-1")";
  return R"({"printers": [{"id": "p1", "port": "sim"}], "mqtt": {)" + m + "}}";
}

// The error ParseConfig then CheckConfig give, or "" when both accept the text.
std::string Refusal(const std::string& text) {
  try {
    CheckConfig(ParseConfig(text));
    return "";
  } catch (const ConfigError& e) {
    return e.what();
  }
}

TEST(NevdConfig, EachFaultIsRefusedNamingItsField) {
  const struct {
    std::string text;
    std::string error;  // the start of the message; "" to be accepted
  } rows[] = {
      {OnePrinter(R"(, "port": "/dev/ttyUSB0", "baud": 115200)"), ""},
      {OnePrinter(R"(, "port": "3")"), ""},
      {OnePrinter(R"(, "port": "sim", "baud": 19200)"), ""},
      {OnePrinter(R"(, "port": "/dev/ttyS0", "baud": 9601)"),
       "printers[0].baud: 9601 is not a line speed the driver can set (50, 75,"},
      {OnePrinter(R"(, "port": "sim", "baud": 1234)"), "printers[0].baud: 1234 is not a line"},
      {OnePrinter(R"(, "port": "/dev/ttyS0", "baud": 9600.5)"),
       "printers[0].baud: must be a whole number"},
      {OnePrinter(R"(, "port": "/dev/ttyS0", "baud": 1e300)"),
       "printers[0].baud: must lie between 1.0 and 4000000.0"},
      {OnePrinter(R"(, "port": "/dev/ttyS0", "baud": "9600")"), "printers[0].baud: must be a num"},
      {OnePrinter(R"(, "port": "")"), "printers[0].port: must not be empty"},
      // The port text's own refusals (tests/unit/platform), named by the field.
      {OnePrinter(R"(, "port": "0")"),
       R"(printers[0].port: "0": not a port number from 1 to 32767 (nor a device path))"},
      {OnePrinter(R"(, "port": "/dev/tty\u0001")"), "printers[0].port: holds a control character"},
      {OnePrinter(R"(, "port": ")" + std::string(2000, 'a') + "\""), "printers[0].port: too long"},
      {OnePrinter(R"(, "port": 3)"), "printers[0].port: must be a text"},
      {OnePrinter(R"(, "port": "sim", "speeed": 9600)"), "printers[0].speeed: unknown key"},
      {OnePrinter(R"(, "port": "serial:A1", "speed": 9601)"), "printers[0].speed: must be a line"},
      {OnePrinter(R"(, "port": "auto", "speed": 9600, "baud": 19200)"),
       "printers[0].speed: differs from baud"},
      {OnePrinter(R"(, "port": "3", "replyTimeoutMs": 0)"),
       "printers[0].replyTimeoutMs: must lie between 1.0 and 30000.0"},
      {OnePrinter(R"(, "port": "3", "maxWaitMs": 1.5)"),
       "printers[0].maxWaitMs: must be a whole number of ms"},
      {OnePrinter(R"(, "port": "3", "maxWaitMs": "9")"), "printers[0].maxWaitMs: must be a num"},
      {OnePrinter(R"(, "port": "sim", "shared": 1)"), "printers[0].shared: must be true or false"},
      {R"({"printers": [{"id": "a b", "port": "sim"}]})",
       "printers[0].id: may hold only letters, digits, - and _"},
      {R"({"printers": [{"id": "a", "port": "sim"}, {"id": "a", "port": "sim"}]})",
       "printers[1].id: is used twice"},
      {R"({"printers": [{"id": "a", "port": "sim", "journal": "j.db"},
                        {"id": "b", "port": "sim", "journal": "./j.db"}]})",
       "printers[1].journal: printers a and b share the journal ./j.db"},
      {R"({"printers": []})", "printers: must be a non-empty array"},
      {R"({"listen": "0.0.0.0:8631", "printers": [{"id": "a", "port": "sim"}]})",
       "token: is required when nevd listens beyond loopback (0.0.0.0)"},
      {R"({"listen": "127.evil.example:1", "printers": [{"id": "a", "port": "sim"}]})",
       "token: is required when nevd listens beyond loopback (127.evil.example)"},
      {R"({"listen": "localhost.evil.example:1", "printers": [{"id": "a", "port": "sim"}]})",
       "token: is required"},
      {R"({"listen": "127.0.0.2:1", "printers": [{"id": "a", "port": "sim"}]})", ""},
      {R"({"listen": "localhost:1", "printers": [{"id": "a", "port": "sim"}]})", ""},
      {R"({"printers": [{"id": "a", "port": "sim", "journal": "/j/a.db"},
                        {"id": "b", "port": "sim", "journal": "/j/./b.db"}]})",
       ""},
      {R"({"listen": "127.0.0.1:99999", "printers": [{"id": "a", "port": "sim"}]})",
       "listen: the port must be a number from 0 to 65535"},
      {R"({"token": "short", "printers": [{"id": "a", "port": "sim"}]})",
       "token: needs at least 16 characters"},
      {R"({"cors": ["*"], "printers": [{"id": "a", "port": "sim"}]})",
       "cors[0]: must name an origin, not *"},
      {R"({"probeSeconds": 0, "printers": [{"id": "a", "port": "sim"}]})",
       "probeSeconds: must lie between 0.1 and 3600"},
      {Mqtt(R"("url": "mqtts://[::1]:8883")"), ""},
      {Mqtt(R"("url": "tcp://b:1883")"), "mqtt.url: must be mqtt://HOST:PORT or mqtts://"},
      {Mqtt(R"("url": "mqtt://u:pw@b:1883")"), "mqtt.url: must not hold credentials"},
      {Mqtt(R"("url": "mqtt://b:0")"), "mqtt.url: the port must be a number from 1 to 65535"},
      {Mqtt(R"("url": "mqtt://:1883")"), "mqtt.url: must name a host"},
      {Mqtt(R"("url": "mqtt://b", "caFile": "ca.pem")"), "mqtt.url: caFile, certFile and keyFile"},
      {Mqtt(R"("url": "mqtts://b", "certFile": "c.pem")"), "mqtt.keyFile: a client certificate"},
      {Mqtt(R"("url": "mqtts://b", "caFile": "/nonexistent/ca.pem")"),
       "mqtt.caFile: cannot read /nonexistent/ca.pem"},
      {Mqtt(R"("url": "mqtt://b", "password": "pw")"), "mqtt.username: is required with a"},
      {Mqtt(R"("url": "mqtt://b", "prefix": "nev/+")"), "mqtt.prefix: must be a topic"},
      {Mqtt(R"("url": "mqtt://b", "clientId": "shop\u0007")"),
       "mqtt.clientId: holds a control character"},
      {Mqtt(R"("url": "mqtt://b", "keepaliveSeconds": 1e999)"), "not JSON"},
      {Mqtt(R"("url": "mqtt://b", "holdSeconds": -1)"), "mqtt.holdSeconds: must lie between"},
      {Mqtt(R"("url": "mqtt://b", "journal": "/nonexistent/m.db")"),
       "mqtt.journal: the folder /nonexistent does not exist"},
      {Mqtt(R"("url": "mqtt://b", "qos": 2)"), "mqtt.qos: unknown key"},
      {R"([1, 2])", "must be a JSON object"},
      {R"({"printers": [)", "not JSON: "},
  };
  for (const auto& row : rows) {
    const std::string error = Refusal(row.text);
    if (row.error.empty()) {
      EXPECT_EQ(error, "") << row.text;
    } else {
      EXPECT_EQ(error.substr(0, row.error.size()), row.error) << row.text;
    }
  }
}

TEST(NevdConfig, AcceptedValuesAreKept) {
  const nevd::Config c = ParseConfig(
      R"({"listen": "[::1]:9000", "printers": [{"id": "p1", "port": "4", "baud": 57600},
                                               {"id": "s", "port": "sim", "baud": 115200},
                                               {"id": "q", "port": "serial:77", "speed": 19200,
                                                "replyTimeoutMs": 500, "maxWaitMs": 60000}]})");
  EXPECT_EQ(c.host, "::1");
  EXPECT_EQ(c.port, 9000);
  ASSERT_EQ(c.printers.size(), 3u);
  EXPECT_EQ(c.printers[0].port, "4");
  EXPECT_EQ(c.printers[0].baud, 57600);
  EXPECT_EQ(c.printers[0].sim_pacing, 0);
  EXPECT_EQ(c.printers[1].sim_pacing, 115200);
  EXPECT_EQ(c.printers[2].baud, 19200);
  EXPECT_EQ(c.printers[2].reply_timeout_ms, 500);
  EXPECT_EQ(c.printers[2].max_wait_ms, 60000);
}

}  // namespace

TEST(NevdConfig, AJournalNotConfiguredGoesToTheStateFolder) {
  const struct {
    const char *systemd, *xdg, *home;
    std::string folder;
  } rows[] = {
      {"/var/lib/nevd:/var/lib/other", "/x", "/home/u", "/var/lib/nevd"},
      {nullptr, "/x/state", "/home/u", "/x/state/nevd"},
      {"relative", "relative", "/home/u", "/home/u/.local/state/nevd"},
      {nullptr, nullptr, nullptr, ""},
  };
  auto set = [](const char* name, const char* value) {
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  };
  nevd::PrinterConfig p;
  p.id = "front";
  for (const auto& row : rows) {
    set("STATE_DIRECTORY", row.systemd);
    set("XDG_STATE_HOME", row.xdg);
    set("HOME", row.home);
    EXPECT_EQ(nevd::StateFolder(), row.folder) << row.folder;
    EXPECT_EQ(nevd::JournalPath(p), (row.folder.empty() ? "" : row.folder + "/") + "nevd-front.db");
  }
  p.journal = "/srv/front.db";
  EXPECT_EQ(nevd::JournalPath(p), "/srv/front.db");
}
