// Network lines through ser2net in front of the simulator's pty: raw TCP and telnet(rfc2217)
// carry whole receipts and reports; the RFC 2217 speed reaches the pty; a killed converter is a
// dead line that the next call reopens, and the receipt library settles what it cut.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "integration/network/ser2net.h"
#include "nev/nev.h"
#include "nev/receipt.h"
#include "nevsim/simulator.h"
#include "platform/regional.h"
#include "support/commands.h"
#include "support/helpers.h"

namespace {

namespace rc = nev::receipt;
using nevtest::Command;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class NetworkLine : public ::testing::Test {
 protected:
  void SetUp() override { sim.Start(); }

  bool Logged(nev::NEV& nev, const std::string& text) {
    const auto lines = nevtest::LogEntries(nev.Log().LogFile());
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

  nevtest::TempDir dir;
  nevtest::MessageRecorder messages;
  nevsim::Simulator sim;
};

TEST_F(NetworkLine, ReceiptZReportAndFmReportOverEachKind) {
  for (const bool rfc2217 : {false, true}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    nevtest::Ser2net server(dir, sim.SlavePath(), rfc2217);
    ASSERT_TRUE(server.Start());
    nev::NEV nev(dir.str());
    // ser2net's configuration says 9600: only the Telnet line can change it. The raw line is
    // opened as port number 7, mapped by NEVCOM_COM7.
    nevtest::ScopedEnv com7("NEVCOM_COM7", server.Url().c_str());
    ASSERT_TRUE(rfc2217 ? nev.InitConnection(server.Url(), 57600)
                        : nev.InitConnection(7, 9600, 1, 0, 8));
    if (rfc2217) {
      const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_GE(fd, 0);
      termios t{};
      ASSERT_EQ(::tcgetattr(fd, &t), 0);
      ::close(fd);
      EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B57600));
      EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    }
    const std::string item = rfc2217 ? "Telnet" : "Raw";
    ASSERT_TRUE(nev.OpenFiscNote("1", "0000"));
    ASSERT_TRUE(nev.SellTaxGroup(item, "B", 1, 1.25));
    ASSERT_TRUE(nev.Pay(1, 5));
    ASSERT_TRUE(nev.CloseFiscNote());
    EXPECT_EQ(nev.ZDay(), "True");
    std::string fm = nev.GetFirstFMReport("");
    ASSERT_FALSE(fm.empty());
    for (int i = 0; i < 100; ++i) {
      const std::string piece = nev.GetNextFMReport();
      if (piece.empty()) break;
      fm += piece;
    }
    EXPECT_NE(fm.find("SUM"), std::string::npos) << fm;
    EXPECT_EQ(Count(sim.Paper(), item), 1u) << sim.Paper();
    EXPECT_TRUE(messages.Take().empty());
  }
}

// A converter killed in the middle of a receipt: the next call ends at once with one "COM Port
// Error!"; once it is back, the call after reconnects by itself and the receipt goes on.
TEST_F(NetworkLine, KilledConverterIsADeadLineThatTheNextCallReopens) {
  for (const bool rfc2217 : {false, true}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    nevtest::Ser2net server(dir, sim.SlavePath(), rfc2217);
    ASSERT_TRUE(server.Start());
    nev::NEV nev(dir.str());
    ASSERT_TRUE(nev.InitConnection(server.Url(), 9600));
    ASSERT_TRUE(nev.OpenFiscNote("1", "0000"));
    const std::string kind = rfc2217 ? "Telnet" : "Raw";
    ASSERT_TRUE(nev.SellTaxGroup(kind + " first", "B", 1, 1));
    server.Kill();
    EXPECT_FALSE(nev.SellTaxGroup(kind + " lost", "B", 1, 1));
    EXPECT_EQ(nev.LastCall().outcome, nev::Outcome::kPortError);
    EXPECT_EQ(messages.Take(), std::vector<std::string>{"COM Port Error!"});
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(nev.SellTaxGroup(kind + " second", "B", 1, 1));
    EXPECT_TRUE(nev.Pay(1, 5));
    EXPECT_TRUE(nev.CloseFiscNote());
    EXPECT_TRUE(messages.Take().empty());
    EXPECT_TRUE(Logged(nev, "COM port lost"));
    EXPECT_TRUE(Logged(nev, "COM port reopened"));
    const std::string paper = sim.Paper();
    EXPECT_EQ(Count(paper, kind + " first"), 1u);
    EXPECT_EQ(Count(paper, kind + " lost"), 0u);
    EXPECT_EQ(Count(paper, kind + " second"), 1u);
  }
}

// The receipt library: the converter dies while a transaction runs and is started again; the
// transaction reconnects by itself and settles, and nothing is printed twice.
TEST_F(NetworkLine, ReceiptLibraryTransactionCutByTheConverterSettles) {
  nev::platform::SetDecimalSymbolOverride(".");
  nevtest::Ser2net server(dir, sim.SlavePath(), true);
  ASSERT_TRUE(server.Start());
  sim.DelayReplies(300);  // the converter dies while the device still owes the sale's answer
  rc::Journal journal((dir.path() / "journal.db").string());
  const rc::Line line{server.Url(), 9600};
  nev::NEV nev(dir.str());
  bool restarted = false;
  std::thread killer([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (nevtest::FramesOf(sim, Command::kSellTaxGroup) == 0 &&
           std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server.Kill();
    restarted = server.Start();
  });
  const rc::Result result = rc::Submit(nev, line, journal, rc::ParseDocument(R"({"id": "net-1",
      "operator": {"number": 1, "password": "0000"},
      "items": [{"text": "Cable", "taxGroup": "B", "quantity": 1, "price": 2.5},
                {"text": "Plug", "taxGroup": "B", "quantity": 1, "price": 1.5}],
      "payments": [{"type": 1}]})"));
  killer.join();
  ASSERT_TRUE(restarted);
  EXPECT_TRUE(result.state == rc::State::kPrinted || result.state == rc::State::kVoided)
      << rc::ResultJson(result);
  EXPECT_NE(rc::ResultJson(result).find("port-error"), std::string::npos);  // it was cut
  const auto row = journal.Find("net-1");
  ASSERT_TRUE(row && row->state);
  EXPECT_EQ(*row->state, rc::StateName(result.state));
  // Printed or voided, once, as the journal says.
  const std::string paper = sim.Paper();
  EXPECT_EQ(Count(paper, "Cable"), 1u) << paper;
  EXPECT_EQ(Count(paper, "АНУЛИРАН БОН"), result.state == rc::State::kVoided ? 1u : 0u) << paper;
  nev::platform::SetDecimalSymbolOverride(std::nullopt);
}

// The tools over both kinds: nevctl rings a receipt up through raw TCP, nevd through RFC 2217.
TEST_F(NetworkLine, NevctlAndNevdPrintThroughTheConverter) {
  nevtest::Ser2net raw(dir, sim.SlavePath(), false);
  ASSERT_TRUE(raw.Start());
  const std::string doc = (dir.path() / "sale.json").string();
  nevtest::WriteFile(doc, R"({"id": "cli-1", "operator": {"number": 1, "password": "0000"},
      "items": [{"text": "From nevctl", "taxGroup": "B", "quantity": 1, "price": 1}],
      "payments": [{"type": 1}]})");
  const pid_t cli = nevtest::Spawn({NEVCTL_EXE, "--port", raw.Url(), "--log-dir", dir.str(),
                                    "receipt", doc, "--journal", dir.str() + "/cli.db"},
                                   dir.str() + "/cli.out", dir.str() + "/cli.err");
  EXPECT_EQ(nevtest::WaitExit(cli, 60000), 0) << nevtest::ReadFile(dir.path() / "cli.err");
  raw.Kill();

  nevtest::Ser2net telnet(dir, sim.SlavePath(), true);
  ASSERT_TRUE(telnet.Start());
  const int http = nevtest::FreePort();
  nevtest::WriteFile(dir.path() / "nevd.json", R"({"listen": "127.0.0.1:)" + std::to_string(http) +
                                                   R"(", "printers": [{"id": "lan", "port": ")" +
                                                   telnet.Url() +
                                                   R"(", "baud": 19200, "journal": ")" + dir.str() +
                                                   R"(/lan.db", "log": ")" + dir.str() + R"("}]})");
  const pid_t nevd = nevtest::Spawn({NEVD_EXE, "--config", dir.str() + "/nevd.json"},
                                    dir.str() + "/nevd.out", dir.str() + "/nevd.err");
  ASSERT_TRUE(nevtest::WaitForText(dir.path() / "nevd.err", "printer lan online", 30000))
      << nevtest::ReadFile(dir.path() / "nevd.err");
  httplib::Client client("127.0.0.1", http);
  client.set_read_timeout(60);
  const auto reply = client.Post("/api/v1/printers/lan/receipts?wait=60",
                                 R"({"operator": {"number": 1, "password": "0000"},
      "items": [{"text": "From nevd", "taxGroup": "B", "quantity": 1, "price": 1}],
      "payments": [{"type": 1}]})",
                                 "application/json");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200) << reply->body;
  EXPECT_NE(reply->body.find(R"("state":"printed")"), std::string::npos) << reply->body;
  ::kill(nevd, SIGTERM);
  nevtest::WaitExit(nevd, 10000);
  const std::string paper = sim.Paper();
  EXPECT_EQ(Count(paper, "From nevctl"), 1u) << paper;
  EXPECT_EQ(Count(paper, "From nevd"), 1u) << paper;
}

}  // namespace
