// nevctl as a script trusts it: what each JSON call says of the device's answer, the exit codes,
// a run that stops at the first call the device did not accept, the hints for misspelled names
// (each error told once), help MEMBER, the log options, hostile arguments, and scripts/demo's
// JSON output.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fixture.h"
#include "nev/version.h"

namespace {

using namespace nevctltest;
using nevtest::Count;
using nlohmann::json;

std::vector<json> Calls(const std::string& out) {
  std::vector<json> calls;
  for (const std::string& line : Lines(out)) calls.push_back(json::parse(line));
  return calls;
}

const std::string kReceipt = "OpenFiscNote 1 0000\nSellTaxGroup \"Хляб\" B 1 1.20\n";

TEST_F(Nevctl, RefusedCallStopsTheRunAndTellsWhy) {
  // CloseFiscNote of an unpaid receipt: the device refuses; the payment after it is not made.
  const Finished f = Ctl({"--json", "--port", port, "run", "-"},
                         kReceipt + "CloseFiscNote\nPay 1 10\nCloseFiscNote\n");
  EXPECT_EQ(f.exit_code, 3) << f.err;
  const std::vector<json> calls = Calls(f.out);
  ASSERT_EQ(calls.size(), 5u) << f.out;  // InitConnection, 3 lines, StopConnection
  // The receipt number and the status of an accepted call; the refusal's status, its line.
  EXPECT_EQ(calls[1], json::parse(R"({"member": "OpenFiscNote", "result": true, "out": {},
      "messages": [], "ok": true, "outcome": "answered", "reply": "1", "status": {"bytes": [136,
      128, 128], "flags": {"generalError": false, "noPaper": false, "fiscalReceiptOpen": true,
      "nonfiscalReceiptOpen": false}}, "error": null, "line": 1,
      "flags": ["fiscal receipt open"]})"));
  EXPECT_EQ(calls[3], json::parse(R"({"member": "CloseFiscNote", "result": false, "out": {},
      "messages": [], "ok": false, "outcome": "refused", "reply": "", "status": {"bytes": [137,
      128, 128], "flags": {"generalError": true, "noPaper": false, "fiscalReceiptOpen": true,
      "nonfiscalReceiptOpen": false}}, "error": null, "line": 3, "flags": ["general error",
      "fiscal receipt open"]})"));
  EXPECT_EQ(calls[4]["member"], "StopConnection");
  EXPECT_EQ(calls[0]["line"], nullptr);

  EXPECT_EQ(Count(f.err, "line 3: CloseFiscNote was not accepted"), 1u) << f.err;
  EXPECT_NE(f.err.find("device is left as it is"), std::string::npos) << f.err;
  // Nothing after the refusal reached the device: no payment (Pay), the receipt is still open.
  const Seen seen = SimSaw();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), (std::pair<Command, std::string>{Command::kCloseFiscNote, ""}));
  EXPECT_TRUE(sim.CurrentTotals().fiscal_open);
}

TEST_F(Nevctl, KeepGoingShowsTheRepliesOfPayAndCloseFiscNote) {
  const Finished f =
      Ctl({"--json", "--keep-going", "--port", port, "run", "-"},
          kReceipt + "CloseFiscNote\nSubTotal\nPay 1 10\nCloseFiscNote\nGetStatus\n");
  EXPECT_EQ(f.exit_code, 3) << f.err;  // one refusal, although the rest went through
  const std::vector<json> calls = Calls(f.out);
  ASSERT_EQ(calls.size(), 9u) << f.out;
  EXPECT_EQ(calls[3]["outcome"], "refused");
  // Money as the shortest text that reads back: 1.2, not 1.2000000000000002.
  EXPECT_NE(Lines(f.out)[4].find(R"("Total": 1.2,)"), std::string::npos) << Lines(f.out)[4];
  EXPECT_EQ(calls[5]["member"], "Pay");
  EXPECT_EQ(calls[5]["ok"], true);
  EXPECT_EQ(calls[5]["reply"], "0.00\t8.80");  // the change
  EXPECT_EQ(calls[6]["member"], "CloseFiscNote");
  EXPECT_EQ(calls[6]["ok"], true);
  EXPECT_EQ(calls[6]["reply"], "1\t1.20");  // receipt number and total
  EXPECT_EQ(calls[6]["status"]["flags"]["fiscalReceiptOpen"], false);
  EXPECT_EQ(calls[7]["line"], 7);
  EXPECT_NE(f.err.find("going on (--keep-going)"), std::string::npos) << f.err;
  EXPECT_FALSE(sim.CurrentTotals().fiscal_open);
}

TEST_F(Nevctl, TheBuiltInSimulatorIsAnnouncedOnce) {
  Finished f = Ctl({"--json", "call", "GetStatus"});
  EXPECT_EQ(f.exit_code, 0) << f.err;
  EXPECT_EQ(Count(f.err, "\n"), 1u) << f.err;
  EXPECT_NE(f.err.find("built-in simulator"), std::string::npos) << f.err;
  for (const json& call : Calls(f.out)) EXPECT_TRUE(call.is_object());
  f = Ctl({"--port", port, "call", "GetStatus"});
  EXPECT_EQ(f.err, "");
}

TEST_F(Nevctl, MisspelledNamesGetTheNearestAndEachErrorIsToldOnce) {
  Finished f = Ctl({"--port", port, "call", "CloseFiscNot"});
  EXPECT_EQ(f.exit_code, 2);
  EXPECT_EQ(Count(f.out + f.err, "did you mean CloseFiscNote?"), 1u) << f.out << f.err;
  f = Ctl({"--port", port, "call", "opnefiscnote", "1", "0000"});  // case and a swap
  EXPECT_NE(f.err.find("did you mean OpenFiscNote?"), std::string::npos) << f.err;
  f = Ctl({"--port", port, "call", "Xq"});
  EXPECT_EQ(f.err.find("did you mean"), std::string::npos) << f.err;  // nothing near

  f = Ctl({"--port", port, "call", "SellArt", "Qty=2", "n=1", "P=1"});
  EXPECT_EQ(f.exit_code, 2);
  EXPECT_EQ(Count(f.out + f.err,
                  "SellArt has no parameter \"Qty\"; its parameters are n, Q, P; did you mean Q?"),
            1u)
      << f.out << f.err;
  f = Ctl({"--port", port, "call", "SellTaxGroup", "Nmae=Хляб", "B", "1", "1"});
  EXPECT_NE(f.err.find("did you mean Name?"), std::string::npos) << f.err;
  f = Ctl({"--port", port, "call", "ZDay", "x=1"});
  EXPECT_NE(f.err.find("ZDay has no parameter \"x\"; it takes no arguments"), std::string::npos);

  // A text that holds '=' passes by name.
  f = Ctl({"--json", "--port", port, "run", "-"}, "OpenFiscNote 1 0000\nFiscText text=a=b\n");
  EXPECT_EQ(f.exit_code, 0) << f.err;

  // In JSON form the error is in the call's object, and standard error only says where.
  f = Ctl({"--json", "--port", port, "run", "-"}, "GetStatus\nSellArt Qty=2 n=1 P=1\n");
  EXPECT_EQ(f.exit_code, 2);
  ASSERT_EQ(Calls(f.out).size(), 1u) << f.out;
  const json call = Calls(f.out)[0];
  EXPECT_EQ(call["outcome"], "bad-argument");
  EXPECT_EQ(call["ok"], false);
  EXPECT_EQ(call["line"], 2);
  EXPECT_EQ(call["error"]["number"], 448);
  EXPECT_EQ(Count(f.out + f.err, "did you mean Q?"), 1u) << f.err;
  EXPECT_NE(f.err.find("line 2: SellArt"), std::string::npos) << f.err;

  // An error the driver finds (a control character in a text) is shown by its message box
  // only; in silent mode, where no box is shown, nevctl tells it once.
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent);
    std::vector<std::string> args{"--port", port, "run", "-"};
    if (silent) args.insert(args.begin(), "--silent");
    f = Ctl(args, "FiscText \"a\x01z\"\n");
    EXPECT_EQ(f.exit_code, 2) << f.out << f.err;
    EXPECT_EQ(Count(f.out + f.err, "control character"), 1u) << f.out << f.err;
    EXPECT_NE(f.out.find("not accepted: a bad argument; nothing was sent"), std::string::npos);
  }
  EXPECT_EQ(SimSaw().size(), 5u);  // three probes, OpenFiscNote and FiscText a=b
}

TEST_F(Nevctl, HelpShowsTheSignatureAndTheDocumentedText) {
  Finished f = Ctl({"help", "pay"});
  EXPECT_EQ(f.exit_code, 0) << f.err;
  const std::vector<std::string> lines = Lines(f.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "function Pay(PayType As Long, Sum As Double) As Boolean  DISPID 0x60030047");
  EXPECT_NE(f.out.find("Pays the receipt, or part of it."), std::string::npos) << f.out;
  EXPECT_NE(f.out.find("printer.Pay(1, 10.00);"), std::string::npos) << f.out;
  // Only this member's section.
  EXPECT_EQ(f.out.find("GetNumberofNotes"), std::string::npos) << f.out;
  EXPECT_EQ(f.out.find("###"), std::string::npos) << f.out;
  EXPECT_EQ(Count(f.out, "function Pay("), 1u) << f.out;

  f = Ctl({"help", "SilentMode"});
  EXPECT_EQ(Lines(f.out).at(1),
            "property put SilentMode(SilentMode As Boolean)  DISPID 0x4003002C");
  f = Ctl({"help", "SetArticle"});  // the last section runs to the end of the document
  EXPECT_NE(f.out.find("procedure SetArticle("), std::string::npos);
  EXPECT_GT(Lines(f.out).size(), 5u);

  f = Ctl({"help", "Pya"});
  EXPECT_EQ(f.exit_code, 2);
  EXPECT_NE(f.err.find("did you mean Pay?"), std::string::npos) << f.err;

  f = Ctl({"--version"});
  EXPECT_EQ(f.exit_code, 0);
  EXPECT_EQ(f.out, std::string("nevctl ") + nev::kVersion + "\n");
  int major = -1, minor = -1, patch = -1;
  EXPECT_EQ(std::sscanf(nev::kVersion, "%d.%d.%d", &major, &minor, &patch), 3) << nev::kVersion;
}

TEST_F(Nevctl, LogLevelAndFolderReachTheObjectsLog) {
  nevtest::TempDir other;
  Finished f =
      Ctl({"--log-dir", other.str(), "--log-level", "4", "--port", port, "call", "GetStatus"});
  EXPECT_EQ(f.exit_code, 0) << f.err;
  // The fixture's own --log-dir comes first; the last one given is the one used.
  const std::filesystem::path log = other.path() / "Logs" / "nevctl.log";
  ASSERT_TRUE(std::filesystem::exists(log));
  const std::string text = nevtest::ReadFile(log);
  EXPECT_NE(text.find("GetStatus\toutcome answered"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(logs.path() / "Logs" / "nevctl.log"));

  f = Ctl({"--log-dir", other.str(), "--port", port, "call", "GetStatus"});  // the default, 3
  const std::string more = nevtest::ReadFile(log).substr(text.size());
  EXPECT_NE(more.find("InitConnection\tEntering"), std::string::npos) << more;
  EXPECT_EQ(more.find("outcome"), std::string::npos) << more;

  f = Ctl({"--log-dir", other.str(), "--log-level", "0", "--port", port, "call", "GetStatus"});
  EXPECT_EQ(nevtest::ReadFile(log).size(), text.size() + more.size());
}

TEST_F(Nevctl, HostileArgumentsNameTheParameterAndSendNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::string huge(100000, '9');
  const std::vector<Case> cases{
      {{"SellArt", "1", "nan", "1"}, "\"nan\" is not a number for 'Q'"},
      {{"SellArt", "1", "1", "inf"}, "\"inf\" is not a number for 'P'"},
      {{"Pay", "1", "1e400"}, "is too large for 'Sum'"},
      {{"Pay", "1", huge}, "is too large for 'Sum'"},
      {{"PaperFeed", "1e300"}, "for 'Rows'"},
      {{"GetArticle", "-99999999999"}, "for 'x'"},
      {{"SellArt", "n=1", "n=2", "P=1", "Q=1"}, "'n' is given twice"},
      {{std::string(5000, 'A') + "\x01"}, "doesn't support this property or method"},
      {{"FiscText", "a", "b"}, "FiscText takes 1, 2 given"},
      {{"\x01"
        "Foo\x1b[2J"},
       "\\x01Foo\\x1b[2J: Object doesn't support"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args{"--port", port, "call"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Finished f = Ctl(args);
    EXPECT_EQ(f.exit_code, 2) << f.err;
    EXPECT_NE(f.err.find(c.says), std::string::npos) << f.err.substr(0, 400);
    EXPECT_LT(f.err.size(), 1000u);  // the hostile word is not echoed whole
    EXPECT_EQ(f.err.find_first_of("\x01\x1b"), std::string::npos);  // nor its control bytes
  }
  EXPECT_TRUE(SimSaw().empty());  // not even the probe

  // A text the driver refuses (over the frame's size): the line was open, the call sent nothing.
  const Finished f = Ctl({"--json", "--port", port, "call", "FiscText", std::string(3000, 'x')});
  EXPECT_EQ(f.exit_code, 2) << f.err;
  const std::vector<json> calls = Calls(f.out);
  ASSERT_EQ(calls.size(), 3u) << f.out;
  EXPECT_EQ(calls[1]["outcome"], "bad-argument");
  EXPECT_EQ(calls[1]["reply"], nullptr);
  EXPECT_EQ(calls[1]["status"], nullptr);
  EXPECT_TRUE(calls[1]["error"].is_object());
  EXPECT_EQ(SimSaw(), (Seen{{Command::kProbe, ""}}));
}

TEST(NevctlDemo, JsonDemoWritesOnlyJson) {
  nevtest::TempDir dir;
  const std::string out = dir.str() + "/out", err = dir.str() + "/err";
  const int status = std::system(("env NEVCTL=" NEVCTL_PATH " bash " NEV_SOURCE_DIR
                                  "/scripts/demo --json --log-dir " +
                                  dir.str() + " >" + out + " 2>" + err)
                                     .c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << nevtest::ReadFile(err);
  const std::vector<std::string> lines = Lines(nevtest::ReadFile(out));
  ASSERT_GT(lines.size(), 10u);
  int calls = 0;
  for (const std::string& line : lines) {
    json j;
    ASSERT_NO_THROW(j = json::parse(line)) << line;
    if (j.contains("member")) {
      ++calls;
      EXPECT_EQ(j["ok"], true) << line;
    }
  }
  EXPECT_GE(calls, 12);
  EXPECT_EQ(json::parse(lines.back())["state"], "printed");  // the receipt document's result
  EXPECT_NE(nevtest::ReadFile(err).find("ФИСКАЛЕН БОН"), std::string::npos);  // the till roll
}

}  // namespace
