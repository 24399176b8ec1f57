// nevctl as a person or a script uses it: against the simulator on a pseudo-terminal (what it
// saw on the line, results, by-reference outputs, message boxes), the fiscal-memory
// report, port numbers, and the demo on the built-in simulator.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "nevsim/simulator.h"
#include "support/helpers.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What the simulator received: the command (0x4E for the bare "N") and the data bytes.
using Seen = std::vector<std::pair<int, std::string>>;

class Nevctl : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    port = sim.SlavePath();
  }

  Seen SimSaw() {
    Seen seen;
    for (const nevsim::Received& r : sim.Frames()) seen.emplace_back(r.cmd, r.data);
    return seen;
  }
  struct Finished {
    int exit_code = -1;  // -1 when it did not exit normally
    std::string out, err;
  };
  // Runs nevctl with the arguments and the extra environment (LC_ALL=C among it), standard input
  // fed from input, and waits for its end.
  Finished Ctl(const std::vector<std::string>& args, const std::string& input = {},
               const std::string& env = {}) {
    auto quoted = [](std::string text) {
      for (std::size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 4) {
        text.replace(at, 1, "'\\''");
      }
      return "'" + text + "'";
    };
    std::string command =
        "env LC_ALL=C " + env + " " NEVCTL_PATH " --log-dir " + quoted(logs.str());
    for (const std::string& arg : args) command += " " + quoted(arg);
    const std::string io = logs.str() + "/io";  // a mkdtemp name: nothing to quote
    nevtest::WriteFile(io, input);
    const int status =
        std::system((command + " <" + io + " >" + io + ".out 2>" + io + ".err").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, nevtest::ReadFile(io + ".out"),
            nevtest::ReadFile(io + ".err")};
  }

  nevtest::TempDir logs;
  nevsim::Simulator sim;
  std::string port;
};

const std::string kTitle = "НЕВ COM Сървър";

TEST_F(Nevctl, JsonRunOfAReceiptWithARefusal) {
  sim.NakCommand(0x8F);
  const std::string script = R"(# a receipt, as a person would write it
GetStatus
PaperFeed 5                         # refused by the device
OpenFiscNote 1 0000
SellTaxGroup "Хляб" B 1 1.20        # a Cyrillic name
sellart Q=2 n=3 p=1.80              # named, in any order and case
Addition V=-10                      # Proportional takes its default
SubTotal
Pay 1 10
CloseFiscNote
SendSerNum "  0a1B-2F "
GetTaxRates
)";
  const Finished f = Ctl({"--json", "--port", port, "run", "-"}, script);
  EXPECT_EQ(f.exit_code, 0) << f.err;
  const std::vector<std::string> expected{
      R"({"member": "InitConnection", "result": true, "out": {}, "messages": []})",
      R"({"member": "GetStatus", "result": 0, "out": {}, "messages": []})",
      R"({"member": "PaperFeed", "result": false, "out": {}, "messages": [{"title": ")" + kTitle +
          R"(", "style": 16, "text": "Грешна команда!"}]})",
      R"({"member": "OpenFiscNote", "result": true, "out": {}, "messages": []})",
      R"({"member": "SellTaxGroup", "result": true, "out": {}, "messages": []})",
      R"({"member": "SellArt", "result": true, "out": {}, "messages": []})",
      R"({"member": "Addition", "result": null, "out": {}, "messages": []})",
      R"({"member": "SubTotal", "result": true, "out": {"Total": 4.32, "TotalA": 3.24, "TotalB": 1.08, "TotalC": 0}, "messages": []})",
      R"({"member": "Pay", "result": true, "out": {}, "messages": []})",
      R"({"member": "CloseFiscNote", "result": true, "out": {}, "messages": []})",
      R"({"member": "SendSerNum", "result": null, "out": {"Num": "0a1B-2F"}, "messages": []})",
      R"({"member": "GetTaxRates", "result": "20.00\t9.00\t0.00", "out": {}, "messages": []})",
      R"({"member": "StopConnection", "result": true, "out": {}, "messages": []})",
  };
  EXPECT_EQ(Lines(f.out), expected);

  const Seen expected_seen{
      {0xFF, ""},
      {0xA1, ""},
      {0x8F, "05"},
      {0x83, "010000\t"},
      {0x86, "\xD5\xEB\xFF\xE1\tB\t1.00\t1.20\t"},  // Windows-1251 on the wire
      {0x87, "3\t2.00\t1.80\t"},
      {0x89, "P-10\t"},
      {0x8A, ""},
      {0x8B, "0110.00\t"},
      {0x84, ""},
      {0xA2, "01;2?"},
      {0x72, ""},
  };
  EXPECT_EQ(SimSaw(), expected_seen);
}

TEST_F(Nevctl, NoDeviceGivesExitCodeOne) {
  sim.SetSilent(true);
  const Finished f = Ctl({"--json", "--port", port, "call", "GetStatus"});
  EXPECT_EQ(f.exit_code, 1);
  ASSERT_EQ(Lines(f.out).size(), 1u) << f.out;  // nothing after the failed InitConnection
  EXPECT_EQ(Lines(f.out)[0],
            R"({"member": "InitConnection", "result": false, "out": {}, "messages": [{"title": ")" +
                kTitle + R"(", "style": 16, "text": "Error opening COM Port!"}]})");
  EXPECT_EQ(SimSaw(), (Seen{{0xFF, ""}}));
}

TEST_F(Nevctl, AMistakeAnywhereInAScriptSendsNothing) {
  for (const char* bad_line : {"SellArt 1 2 x", "PaperFeed 40000", "NoSuchMember", "OpenFiscNote 1",
                               "ZDay 1", "FiscText \"unclosed"}) {
    SCOPED_TRACE(bad_line);
    const Finished f =
        Ctl({"--json", "--port", port, "run", "-"}, std::string("GetStatus\n") + bad_line);
    EXPECT_EQ(f.exit_code, 2);
    EXPECT_NE(f.err.find("line 2"), std::string::npos) << f.err;
    for (const std::string& line : Lines(f.out)) {
      EXPECT_NE(line.find("\"error\": {\"number\": "), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(SimSaw().empty());  // not even the probe
}

TEST_F(Nevctl, CallByPortNumberAndReadableOutput) {
  const Finished f = Ctl({"--port", "7", "call", "SubTotal"}, "", "NEVCOM_COM7=" + port);
  EXPECT_EQ(f.exit_code, 0) << f.err;
  const std::vector<std::string> lines = Lines(f.out);
  ASSERT_EQ(lines.size(), 7u) << f.out;
  EXPECT_EQ(lines[0],
            "InitConnection(Port=7, BaudRate=9600, StopBits=1, Parity=0, ByteSize=8) -> True");
  // No receipt is open: the device refuses the subtotal.
  EXPECT_EQ(lines[1], "SubTotal(Total=0, TotalA=0, TotalB=0, TotalC=0) -> False");
  EXPECT_EQ(lines[2], "    Total = 0");
  EXPECT_EQ(lines[6], "StopConnection() -> True");
  EXPECT_EQ(SimSaw(), (Seen{{0xFF, ""}, {0x8A, ""}}));
}

TEST_F(Nevctl, FmReportCollectsEveryPiece) {
  Finished f = Ctl({"--port", port, "fm-report"});
  EXPECT_EQ(f.exit_code, 0) << f.err;
  const std::vector<std::string> report = Lines(f.out);
  ASSERT_EQ(report.size(), 4u) << f.out;  // Z reports 1 to 3, then the sum
  EXPECT_EQ(report[0].rfind("Z0001\t", 0), 0u) << report[0];
  EXPECT_EQ(report[2].rfind("Z0003\t", 0), 0u) << report[2];
  EXPECT_EQ(report[3].rfind("SUM\t", 0), 0u) << report[3];
  EXPECT_NE(f.err.find("piece 4"), std::string::npos) << f.err;
  EXPECT_EQ(f.err.find("piece 5"), std::string::npos) << f.err;

  // A range, with every call reported in JSON form.
  f = Ctl({"--json", "--port", port, "fm-report", "2-3"});
  EXPECT_EQ(f.exit_code, 0) << f.err;
  const std::vector<std::string> calls = Lines(f.out);
  ASSERT_EQ(calls.size(), 6u) << f.out;
  EXPECT_EQ(calls[1].rfind(R"({"member": "GetFirstFMReport", "result": "Z0002\t)", 0), 0u);
  EXPECT_EQ(calls[3].rfind(R"({"member": "GetNextFMReport", "result": "SUM\t)", 0), 0u);
  EXPECT_EQ(calls[4], R"({"member": "GetNextFMReport", "result": "", "out": {}, "messages": []})");

  const Seen expected{{0xFF, ""}, {0x54, ""},    {0x4E, ""}, {0x4E, ""}, {0x4E, ""}, {0x4E, ""},
                      {0xFF, ""}, {0x54, "2-3"}, {0x4E, ""}, {0x4E, ""}, {0x4E, ""}};
  EXPECT_EQ(SimSaw(), expected);
}

TEST_F(Nevctl, DemoRunsToItsEnd) {
  const Finished f = Ctl({"demo"});
  EXPECT_EQ(f.exit_code, 0) << f.out << f.err;
  for (const char* text :
       {"InitConnection(", "SellTaxGroup(Name=\"Хляб Добруджа\"", "Total = ", "ZDay() -> \"True\"",
        "StopConnection() -> True", "ОТСТЪПКА", "РЕСТО", "ФИСКАЛЕН БОН", "ДНЕВЕН ОТЧЕТ"}) {
    EXPECT_NE(f.out.find(text), std::string::npos) << text << "\n" << f.out;
  }
  EXPECT_TRUE(std::filesystem::is_directory(logs.path() / "Logs"));
}

// The nev-sim program as a separate process on its own pty link: a Z report that outlasts the
// driver's time-out (no SYN comes) gives the time-out message and the truthful result.
TEST_F(Nevctl, TimeOutAgainstANevSimProcess) {
  const std::string link = logs.str() + "/fiscal";
  const std::string pid_file = logs.str() + "/sim.pid";
  ASSERT_EQ(
      std::system(("( " NEVSIM_PATH " --link " + link + " --z-ms 3600 --syn-ms 10000 --trace 2>" +
                   logs.str() + "/trace >/dev/null & echo $! >" + pid_file + " )")
                      .c_str()),
      0);
  for (int i = 0; i < 100 && !std::filesystem::exists(link); ++i) {
    std::system("sleep 0.05");
  }
  const Finished f = Ctl({"--json", "--port", link, "run", "-"}, "GetTaxRates\nZDay\n");
  std::system(("kill $(cat " + pid_file + ")").c_str());
  EXPECT_EQ(f.exit_code, 0) << f.err;
  const std::vector<std::string> lines = Lines(f.out);
  ASSERT_EQ(lines.size(), 4u) << f.out;
  EXPECT_EQ(
      lines[1],
      R"({"member": "GetTaxRates", "result": "20.00\t9.00\t0.00", "out": {}, "messages": []})");
  EXPECT_EQ(lines[2],
            R"({"member": "ZDay", "result": "False", "out": {}, "messages": [{"title": ")" +
                kTitle + R"(", "style": 16, "text": "RS232 Time out!"}]})");
  const std::string trace = nevtest::ReadFile(logs.str() + "/trace");
  EXPECT_NE(trace.find("0x72"), std::string::npos) << trace;
  EXPECT_NE(trace.find("0x99"), std::string::npos) << trace;
}

}  // namespace
