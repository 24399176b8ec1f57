// nevctl as a person or a script uses it: against the simulator on a pseudo-terminal (what it
// saw on the line, results, by-reference outputs, message boxes), the fiscal-memory
// report, port numbers, and the demo on the built-in simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using namespace nevctltest;
using nevtest::Code;
using nevtest::HexCode;

// A JSON call line without the fields that tell the outcome (from "ok" on): the form the calls
// had before them, which must not change.
std::string CallPart(const std::string& line) {
  const std::size_t at = line.find(", \"ok\": ");
  return at == std::string::npos ? line : line.substr(0, at) + "}";
}

std::vector<std::string> CallParts(const std::string& out) {
  std::vector<std::string> parts;
  for (const std::string& line : Lines(out)) parts.push_back(CallPart(line));
  return parts;
}

TEST_F(Nevctl, JsonRunOfAReceiptWithARefusal) {
  sim.NakCommand(Code(Command::kPaperFeed));
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
  // --keep-going: every line runs although PaperFeed was refused; the exit code still says so.
  const Finished f = Ctl({"--json", "--port", port, "run", "--keep-going", "-"}, script);
  EXPECT_EQ(f.exit_code, 3) << f.err;
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
  EXPECT_EQ(CallParts(f.out), expected);
  std::vector<std::string> outcomes;
  for (const std::string& line : Lines(f.out)) {
    outcomes.push_back(nlohmann::json::parse(line).at("outcome").get<std::string>());
  }
  std::vector<std::string> answered(13, "answered");
  answered[2] = "nak";
  EXPECT_EQ(outcomes, answered);
  EXPECT_NE(f.err.find("line 3: PaperFeed was not accepted (rejected by the device with NAK); "
                       "going on"),
            std::string::npos)
      << f.err;

  const Seen expected_seen{
      {Command::kProbe, ""},
      {Command::kGetStatus, ""},
      {Command::kPaperFeed, "05"},
      {Command::kOpenFiscNote, "010000\t"},
      {Command::kSellTaxGroup, "\xD5\xEB\xFF\xE1\tB\t1.00\t1.20\t"},  // Windows-1251 on the wire
      {Command::kSellArt, "3\t2.00\t1.80\t"},
      {Command::kAddition, "P-10\t"},
      {Command::kSubTotal, ""},
      {Command::kPay, "0110.00\t"},
      {Command::kCloseFiscNote, ""},
      {Command::kSendSerNum, "01;2?"},
      {Command::kTaxRates, ""},
  };
  EXPECT_EQ(SimSaw(), expected_seen);
}

TEST_F(Nevctl, NoDeviceGivesExitCodeOne) {
  sim.SetSilent(true);
  const Finished f = Ctl({"--json", "--port", port, "call", "GetStatus"});
  EXPECT_EQ(f.exit_code, 1);
  ASSERT_EQ(Lines(f.out).size(), 1u) << f.out;  // nothing after the failed InitConnection
  EXPECT_EQ(CallPart(Lines(f.out)[0]),
            R"({"member": "InitConnection", "result": false, "out": {}, "messages": [{"title": ")" +
                kTitle + R"(", "style": 16, "text": "Error opening COM Port!"}]})");
  EXPECT_EQ(SimSaw(), (Seen{{Command::kProbe, ""}}));
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

// Every bad option or command is named as a usage error (exit code 2) before anything is sent:
// no value becomes an exception's text ("stoi"), a port or rate the device cannot use, or a switch
// set by "=no". (What each port text is refused for is told by the port text tests.)
TEST_F(Nevctl, EveryBadOptionValueIsNamed) {
  const std::string doc = logs.str() + "/z.json";
  nevtest::WriteFile(doc, R"({"id": "z-1", "kind": "z"})");
  const std::string journal = logs.str() + "/receipts.db";
  struct Case {
    std::vector<std::string> args;
    std::string message;  // the first line on standard error
  };
  const std::string no_rate =
      ": not a line speed (a whole number of bits per second, such as 9600)";
  const std::string call = "call", status = "GetStatus";
  const Case cases[] = {
      {{"--port", "99999999999", "receipt", doc, "--journal", journal},
       R"(--port "99999999999": not a port number from 1 to 32767 (nor a device path))"},
      {{"--port", "-5", call, status}, R"(--port "-5": not a port number or a device path)"},
      {{"--port", "/dev/tty\x01S0", call, status},
       R"(--port "/dev/tty\x01S0": not a port number or a device path)"},
      {{"--port", "--json", call, status},
       R"(--port "--json": not a port number or a device path)"},
      {{"--port=", call, status}, "--port needs a number or a device path"},
      {{"--baud", "99999999999", "--port", port, call, status},
       R"(--baud "99999999999")" + no_rate},
      {{"--baud", "-9600", "--port", port, call, status}, R"(--baud "-9600")" + no_rate},
      {{"--baud", "0", "--port", port, call, status}, R"(--baud "0")" + no_rate},
      {{"--baud=", "--port", port, call, status}, R"(--baud "")" + no_rate},
      {{"--baud", "9600x", "--port", port, call, status}, R"(--baud "9600x")" + no_rate},
      {{"--json=no", "--port", port, call, status}, R"(--json takes no value, not "no")"},
      {{"--silent=0", "--port", port, call, status}, R"(--silent takes no value, not "0")"},
      {{"--log-level", "1e0", "--port", port, call, status},
       R"(--log-level needs a level from 0 to 4, not "1e0")"},
      {{"--log-level", "5", call, status}, R"(--log-level needs a level from 0 to 4, not "5")"},
      {{"--log-level", "", call, status}, R"(--log-level needs a level from 0 to 4, not "")"},
      {{"--log-dir", "/no/such/folder", call, status},
       R"(--log-dir "/no/such/folder" is not an existing folder)"},
      {{"--log-dir", "/etc/hostname", call, status},
       R"(--log-dir "/etc/hostname" is not an existing folder)"},
      {{"--port", port, call}, "call needs a member name"},
      {{"--port", port, "frobnicate"}, R"(unknown command "frobnicate")"},
      {{"--port", port, "run", "--keep-going=no", "-"}, R"(run: unknown option "--keep-going=no")"},
      {{"--port", port, "fm-report", "--json"},
       R"(fm-report: unknown option "--json" (options go before the command))"},
      {{"--port", port, "receipt", doc, "--journal="}, "--journal needs a path"},
      {{"--port", port, "receipt", doc, "--journal", "--json"}, "--journal needs a path"},
      {{"--port", port, "receipt", doc, "--x\x1b[31m"}, R"(unknown option "--x\u001b[31m")"},
  };
  for (const Case& c : cases) {
    const Finished f = Ctl(c.args, "GetStatus\n");
    EXPECT_EQ(f.exit_code, 2) << c.message;
    EXPECT_EQ(f.err.substr(0, f.err.find('\n')), "nevctl: " + c.message);
  }
  EXPECT_TRUE(SimSaw().empty());
  EXPECT_FALSE(std::filesystem::exists(journal));
}

TEST_F(Nevctl, CallByPortNumberAndReadableOutput) {
  const Finished f = Ctl({"--port", "7", "call", "SubTotal"}, "", "NEVCOM_COM7=" + port);
  EXPECT_EQ(f.exit_code, 3) << f.err;
  const std::vector<std::string> lines = Lines(f.out);
  ASSERT_EQ(lines.size(), 8u) << f.out;
  EXPECT_EQ(lines[0],
            "InitConnection(Port=7, BaudRate=9600, StopBits=1, Parity=0, ByteSize=8) -> True");
  // No receipt is open: the device refuses the subtotal.
  EXPECT_EQ(lines[1], "SubTotal(Total=0, TotalA=0, TotalB=0, TotalC=0) -> False");
  EXPECT_EQ(lines[2], "    Total = 0");
  EXPECT_EQ(lines[6], "    not accepted: refused by the device (status 81 80 80: general error)");
  EXPECT_EQ(lines[7], "StopConnection() -> True");
  EXPECT_EQ(SimSaw(), (Seen{{Command::kProbe, ""}, {Command::kSubTotal, ""}}));
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
  EXPECT_EQ(CallPart(calls[4]),
            R"({"member": "GetNextFMReport", "result": "", "out": {}, "messages": []})");

  const Seen expected{
      {Command::kProbe, ""},       {Command::kFirstFMReport, ""},    {Command::kNextFMPiece, ""},
      {Command::kNextFMPiece, ""}, {Command::kNextFMPiece, ""},      {Command::kNextFMPiece, ""},
      {Command::kProbe, ""},       {Command::kFirstFMReport, "2-3"}, {Command::kNextFMPiece, ""},
      {Command::kNextFMPiece, ""}, {Command::kNextFMPiece, ""}};
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
  EXPECT_EQ(f.exit_code, 3) << f.err;  // ZDay got no answer
  const std::vector<std::string> lines = CallParts(f.out);
  ASSERT_EQ(lines.size(), 4u) << f.out;
  EXPECT_EQ(nlohmann::json::parse(Lines(f.out)[2]).at("outcome"), "timeout");
  EXPECT_EQ(
      lines[1],
      R"({"member": "GetTaxRates", "result": "20.00\t9.00\t0.00", "out": {}, "messages": []})");
  EXPECT_EQ(lines[2],
            R"({"member": "ZDay", "result": "False", "out": {}, "messages": [{"title": ")" +
                kTitle + R"(", "style": 16, "text": "RS232 Time out!"}]})");
  const std::string trace = nevtest::ReadFile(logs.str() + "/trace");
  EXPECT_NE(trace.find(HexCode(Command::kTaxRates)), std::string::npos) << trace;
  EXPECT_NE(trace.find(HexCode(Command::kZDay)), std::string::npos) << trace;
}

}  // namespace
