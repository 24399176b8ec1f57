// What nevctl tells a technician: nevctl doctor against the faults a shop meets (a silent
// device, another speed, no paper, the port held, no permission), its support bundle, the
// status flags in words, and results of the built-in simulator marked as such.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fixture.h"
#include "nev/message.h"
#include "nev/nev.h"

namespace {

using namespace nevctltest;
using nlohmann::json;

bool Has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

TEST_F(Nevctl, DoctorNamesEachFaultAndWhatToDo) {
  nevtest::MessageRecorder boxes;  // the holder's own boxes, if any
  std::unique_ptr<nev::NEV> holder;
  std::string as_other_user;
  const struct {
    const char* fault;
    std::function<void()> make;
    std::vector<std::string> want;  // lines of the verdicts, each a piece that must be there
  } cases[] = {
      {"silent device",
       [&] { sim.SetSilent(true); },
       {"FAIL  probe    error 8002: no answer to the probe within 1000 ms", "switched on",
        "FAIL  speeds   no answer at the other speeds either (19200, 38400",
        "Troubleshooting: \"the printer does not answer\""}},
      {"another speed or protocol",
       [&] { sim.GarbageBeforeReplies("\x3F\x7E"); },
       {"FAIL  probe    error 8002: the probe was answered by 3F, not by NAK",
        "another speed or speaks another protocol", "FAIL  speeds"}},
      {"no paper",
       [&] { sim.SetPaperOut(true); },
       {"ok    probe    the device answered the probe at 9600",
        "FAIL  status   status -22: no paper: load paper", "Troubleshooting: \"no paper\""}},
      {"port held",
       [&] {
         holder = std::make_unique<nev::NEV>(logs.str());
         ASSERT_TRUE(holder->InitConnection(port, 9600));
       },
       {"FAIL  device", "held by nevctl_test (pid " + std::to_string(getpid()) + ")",
        "FAIL  probe    error 8005: Port already open", "close that program",
        "Troubleshooting: \"the port is held by another program\""}},
      {"no permission",
       [&] {
         // Root opens anything: the check runs as nobody then; otherwise the mode shuts out even
         // the owner.
         ASSERT_EQ(chmod(port.c_str(), geteuid() == 0 ? 0600 : 0), 0);
         if (geteuid() == 0) as_other_user = "setpriv --reuid=65534 --regid=65534 --clear-groups";
       },
       {"FAIL  device", "may NOT", "FAIL  probe    error 8002: Cannot open", "udev rule",
        "Troubleshooting: \"permission denied\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    if (std::string(c.fault) == "no permission" && geteuid() == 0 &&
        std::system("command -v setpriv >/dev/null") != 0) {
      GTEST_SKIP() << "running as root without setpriv: no user to shut out";
    }
    c.make();
    const Finished f = Ctl({"--port", port, "doctor", "--no-bundle"}, {}, as_other_user);
    EXPECT_EQ(f.exit_code, 1) << f.out << f.err;
    for (const std::string& piece : c.want)
      EXPECT_TRUE(Has(f.out, piece)) << piece << "\n" << f.out;
    sim.ClearFaults();  // the paper goes back in too
    holder.reset();
    boxes.Take(nev::kStyleExclamation);
  }
}

TEST_F(Nevctl, DoctorOnAHealthyLineWritesABundleWithoutSecrets) {
  const std::string config = logs.str() + "/nevd.json";
  nevtest::WriteFile(config, R"({"token": "s3cret-token", "printers": [{"id": "front"}]})");
  const std::string bundle = logs.str() + "/support.tar";
  const Finished f =
      Ctl({"--json", "--port", port, "doctor", "--bundle", bundle, "--config", config});
  EXPECT_EQ(f.exit_code, 0) << f.out << f.err;
  std::vector<std::string> checks;
  for (const std::string& line : Lines(f.out)) {
    const json j = json::parse(line);
    checks.push_back(j.at("check").get<std::string>() + " " + j.at("verdict").get<std::string>());
  }
  EXPECT_EQ(checks, (std::vector<std::string>{"device ok", "speed ok", "probe ok", "status ok",
                                              "log ok", "journal skip"}));
  const std::string tar = nevtest::ReadFile(bundle);
  for (const char* piece :
       {"nev-support/versions.txt", "nev-support/config.txt", "nev-support/checks.txt",
        "nev-support/log.txt", "(hidden)", "\t(t)\tNEV\tInitConnection\t-> "}) {
    EXPECT_TRUE(Has(tar, piece)) << piece;
  }
  EXPECT_FALSE(Has(tar, "s3cret-token"));

  // The journal: it accounts for the device, until a receipt is printed past it.
  const std::string journal = logs.str() + "/j.db", doc = logs.str() + "/doc.json";
  nevtest::WriteFile(doc, R"({"id": "d-1", "operator": {"number": 1, "password": "0"},
      "items": [{"text": "X", "taxGroup": "B", "quantity": 1, "price": 1}], "payments": [{"type": 1}]})");
  ASSERT_EQ(Ctl({"--port", port, "receipt", doc, "--journal", journal}).exit_code, 0);
  auto doctor = [&] {
    return Ctl({"--port", port, "doctor", "--no-bundle", "--journal", journal});
  };
  EXPECT_TRUE(Has(doctor().out, "ok    journal  " + journal + " accounts for device"));
  ASSERT_EQ(Ctl({"--port", port, "run", "-"},
                "OpenFiscNote 1 0\nSellTaxGroup X B 1 1\nPay 1 5\nCloseFiscNote\n")
                .exit_code,
            0);
  const Finished behind = doctor();
  EXPECT_EQ(behind.exit_code, 1);
  EXPECT_TRUE(Has(behind.out,
                  "FAIL  journal  " + journal + " is behind the device: the device has 2 fiscal"))
      << behind.out;
}

TEST_F(Nevctl, FlagsInWordsAndTheSimulatorMarked) {
  // Every status condition in words, though the status code names only the highest.
  sim.ForceStatus(0x0C, 0, 0);  // no paper and a fiscal receipt open
  Finished f = Ctl({"--json", "--port", port, "call", "GetStatus"});
  json call = json::parse(Lines(f.out).at(1));
  EXPECT_EQ(call["result"], -11);
  EXPECT_EQ(call["flags"], json({"no paper", "fiscal receipt open"}));
  EXPECT_FALSE(call.contains("simulated"));
  f = Ctl({"--port", port, "call", "GetStatus"});
  EXPECT_TRUE(Has(f.out, "GetStatus() -> -11\n    status: no paper, fiscal receipt open\n"))
      << f.out;

  // A NAK is explained where the last status says why.
  sim.ClearFaults();  // the forced status goes
  sim.SetPaperOut(true);
  f = Ctl({"--port", port, "--keep-going", "run", "-"}, "GetStatus\nPaperFeed 1\n");
  EXPECT_TRUE(Has(f.out, "    the device's last status said: no paper: load paper\n")) << f.out;
  sim.SetPaperOut(false);

  // Without --port on a machine with a serial port: loud, and every result marked.
  f = Ctl({"--json", "call", "GetStatus"}, {}, "NEVCOM_COM1=" + port);
  EXPECT_TRUE(Has(f.err, "WARNING: no --port given")) << f.err;
  EXPECT_TRUE(Has(f.err, "NOTHING IS PRINTED on this machine's serial ports (" + port)) << f.err;
  for (const std::string& line : Lines(f.out)) EXPECT_EQ(json::parse(line)["simulated"], true);
  // --port sim names the simulator: no warning, still marked.
  f = Ctl({"--port", "sim", "call", "GetStatus"}, {}, "NEVCOM_COM1=" + port);
  EXPECT_EQ(f.exit_code, 0) << f.err;
  EXPECT_FALSE(Has(f.err, "WARNING")) << f.err;
  EXPECT_EQ(Lines(f.out).at(1), "[simulator] GetStatus() -> 0");
  EXPECT_EQ(sim.Frames().size(), 7u) << "the simulator on the pty saw only the --port calls";
}

}  // namespace
