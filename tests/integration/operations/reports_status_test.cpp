// Reports, the FM report pieces, status decoding and the device queries against the simulator.
#include "fixture.h"
#include "protocol/helper.h"

namespace nevtest {
namespace {

TEST_F(OperationsTest, ReportCommandsTellWhetherTheyWereAnsweredRefusedOrUnanswered) {
  EXPECT_TRUE(nev->EJournal());
  EXPECT_EQ(nev->ZDay(), "True");
  EXPECT_EQ(nev->ZArticles(), std::optional<bool>(true));
  EXPECT_TRUE(nev->ZDep());
  EXPECT_TRUE(nev->ZCasher());
  EXPECT_EQ(TakeSent(), (Sent{{Command::kEJournal, ""},
                              {Command::kZDay, ""},
                              {Command::kZArticles, ""},
                              {Command::kZDep, ""},
                              {Command::kZCasher, ""}}));
  EXPECT_TRUE(Messages().empty());

  // Refused or unanswered: the results tell.
  for (Command cmd : {Command::kDuplicate, Command::kEJournal, Command::kZDay, Command::kZArticles,
                      Command::kZDep, Command::kZCasher})
    sim.NakCommand(Code(cmd));
  EXPECT_FALSE(nev->Dublicate());
  EXPECT_FALSE(nev->EJournal());
  EXPECT_EQ(nev->ZDay(), "False");
  EXPECT_EQ(nev->ZArticles(), std::optional<bool>(false));
  EXPECT_FALSE(nev->ZDep());
  EXPECT_FALSE(nev->ZCasher());
  EXPECT_EQ(Messages(), std::vector<std::string>(6, kRefused));
  sim.SetSilent(true);
  nev::protocol::TimeoutInterval() = 300;  // the 3 s default is waited out in the link tests
  EXPECT_EQ(nev->ZDay(), "False");
  EXPECT_EQ(Messages(), std::vector<std::string>{kTimeOut});
}

TEST_F(OperationsTest, FMReportPiecesPassThroughAndNextIsOneBareByte) {
  sim.OverrideReply(Code(Command::kFirstFMReport), "piece\t1");
  EXPECT_EQ(nev->GetFirstFMReport("0101202431122024"), "piece\t1");
  ExpectOneFrame(Command::kFirstFMReport, "0101202431122024");

  // "N" goes alone: no frame, no sequence value spent.
  SetNextSequence(0x40);
  nev->GetNextFMReport();
  std::string raw = sim.RawInput();
  std::erase(raw, '\x06');  // the ACKs written back may be recorded late
  EXPECT_EQ(raw, "N");
  const nevsim::Received bare = TakeOnlyFrame();
  EXPECT_FALSE(bare.framed);
  EXPECT_EQ(bare.raw, "N");
  nev->ZAllow();
  EXPECT_EQ(TakeOnlyFrame().seq, 0x40);
}

TEST_F(OperationsTest, GetStatusDecodesTheStatusBytesOfItsReplyAndOnlyOfAReply) {
  struct Case {
    uint8_t b0, b1;
    int32_t status;
    std::vector<std::string> warnings;
  } cases[] = {
      {0x00, 0x00, 0, {}},
      {0x62, 0x00, 0, {}},  // bits 1, 5, 6 (and 7) carry no meaning
      {0x00, 0xFF, 0, {}},  // nor does any bit of byte 1
      {0x04, 0x00, -22, {"NoPaper"}},
      {0x05, 0x00, -22, {"GeneralError", "NoPaper"}},
      {0x1D, 0x00, -88, {"GeneralError", "NoPaper", "Open Fiscal", "Open Non Fiscal"}},
      {0x09, 0x00, -11, {"GeneralError", "Open Fiscal"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int{c.b0} << " " << int{c.b1});
    sim.ForceStatus(c.b0, c.b1, 0);
    const std::size_t mark = LogEntries(nev->Log().LogFile()).size();
    EXPECT_EQ(nev->GetStatus(), c.status);
    ExpectOneFrame(Command::kGetStatus, "");
    std::vector<std::string> expected, entries = LogEntries(nev->Log().LogFile());
    for (const std::string& w : c.warnings) {
      expected.push_back("(w)\tNEV\tSetStatus\tPrinter Status: " + w);
    }
    if (c.warnings.empty()) expected = {"(i)\tNEV\tSetStatus\tPrinter Status: OK"};
    entries.erase(entries.begin(), entries.begin() + mark);
    EXPECT_EQ(entries, expected);
  }
  EXPECT_TRUE(Messages().empty());

  // Without a reply frame the stored bytes are the last case's: they are not decoded again.
  sim.ClearFaults();
  sim.NakCommand(Code(Command::kGetStatus));
  const std::size_t mark = LogText().size();
  EXPECT_EQ(nev->GetStatus(), -33);
  EXPECT_EQ(nev::NEVAccess::State(*nev).printer_status, -33);
  EXPECT_EQ(LogText().substr(mark).find("Printer Status"), std::string::npos);
  EXPECT_EQ(Messages(), std::vector<std::string>{kRefused});

  // SetStatus called directly: no bit of meaning, no entry, PrinterStatus left alone.
  sim.ClearFaults();
  sim.ForceStatus(0, 0, 0);
  EXPECT_EQ(nev->GetStatus(), 0);
  nev::NEVAccess::State(*nev).printer_status = -11;
  const std::size_t mark2 = LogText().size();
  nev->SetStatus();
  EXPECT_EQ(nev::NEVAccess::State(*nev).printer_status, -11);
  EXPECT_EQ(LogText().size(), mark2);
}

TEST_F(OperationsTest, QueriesReturnTheReplyDataAsItCame) {
  sim.OverrideReply(Code(Command::kTaxRates), "20.00\t9.00\t\t0.00");
  EXPECT_EQ(nev->GetTaxRates(), "20.00\t9.00\t\t0.00");
  sim.OverrideReply(Code(Command::kNumberOfNotes), "\xD5\xEB\xFF\xE1");  // Windows-1251
  EXPECT_EQ(nev->GetNumberofNotes(), "Хляб");
  sim.OverrideReply(Code(Command::kNoteInfo), "");
  EXPECT_EQ(nev->NoteInfo(), "");
  sim.OverrideReply(Code(Command::kECRInfo), "ECR\t1");
  EXPECT_EQ(nev->ECRInfo(), "ECR\t1");
  EXPECT_EQ(TakeSent(), (Sent{{Command::kTaxRates, ""},
                              {Command::kNumberOfNotes, ""},
                              {Command::kNoteInfo, ""},
                              {Command::kECRInfo, ""}}));

  sim.NakCommand(Code(Command::kTaxRates));
  EXPECT_EQ(nev->GetTaxRates(), "");
  EXPECT_EQ(Messages(), std::vector<std::string>{kRefused});
}

}  // namespace
}  // namespace nevtest
