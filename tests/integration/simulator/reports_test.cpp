// Reports, the fiscal-memory report in pieces, articles, departments and information queries.
#include "sim_fixture.h"

namespace simtest {
namespace {

using SimReports = SimTest;

// With the device's own timing: a Z report takes 2.5 s and sends a SYN every 500 ms meanwhile.
TEST_F(SimReports, ZDaySendsSynsWhileItRunsThenResetsTheDay) {
  const nevsim::Options real;
  Begin(real.long_op_ms, real.syn_interval_ms);
  Run({Ok(Command::kOpenFiscNote, "01\t"), Ack(Command::kSellTaxGroup, "a\tA\t2\t10.00\t"),
       Ok(Command::kPay, "01"), Ok(Command::kCloseFiscNote), Ok(Command::kOpenFiscNote, "01\t"),
       Ack(Command::kSellTaxGroup, "b\tC\t1\t0.50\t"), Ok(Command::kPay, "01"),
       Ok(Command::kCloseFiscNote)});
  const Reply z = port->Request(Command::kZDay);
  ExpectWellFormed(z);
  EXPECT_FALSE(z.error());
  EXPECT_EQ(z.syns, 4);
  EXPECT_EQ(z.data, "4\t20.50\t20.00\t0.00\t0.50");
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().day_total, 0.0);
  EXPECT_EQ(Do(Ok(Command::kNumberOfNotes)).substr(1), "\t0\t0\t0");
  EXPECT_TRUE(Printed("ДНЕВЕН ОТЧЕТ"));
  EXPECT_EQ(Do(Ok(Command::kFirstFMReport, "4")).substr(0, 6),
            "Z0004\t");  // the day is in the fiscal memory
}

TEST_F(SimReports, ZDenyRefusesZReportsAndTheOthersAnswerAckAfterSyns) {
  Run({Ack(Command::kZSwitch, "1"), Nak(Command::kZArticles), Nak(Command::kZDep),
       Nak(Command::kZCasher)});
  const Reply denied = port->Request(Command::kZDay);
  EXPECT_TRUE(denied.error());
  EXPECT_EQ(denied.syns, 0);
  EXPECT_TRUE(denied.status[1] & 0x01);
  Run({Ack(Command::kZSwitch, "0"), Ok(Command::kOpenFiscNote, "01\t"),
       Ack(Command::kSellArt, "3\t2\t0\t"), Ok(Command::kPay, "01"), Ok(Command::kCloseFiscNote)});
  for (Command cmd : {Command::kZArticles, Command::kZDep, Command::kZCasher}) {
    const Reply a = port->Request(cmd);
    EXPECT_EQ(a.kind, Answer::kAck);
    EXPECT_EQ(a.syns, 2);  // 300 ms at 100 ms
  }
  EXPECT_TRUE(Printed("ОТЧЕТ ПО АРТИКУЛИ"));
  EXPECT_TRUE(Printed("3 Кафе"));
  // ZArticles cleared the article's sales; ZDay is allowed again.
  Run({Ok(Command::kGetArticle, "R 3\t",
          Cp("3\tКафе\t1.80\tA\t2\t3800000000035\t198.000\t0.000\t0.00")),
       Ok(Command::kZDay)});
}

TEST_F(SimReports, FmReportComesInPiecesUpToAnEmptyFrame) {
  EXPECT_EQ(Do(Ok(Command::kFirstFMReport)), "Z0001\t01.03.2024\t165.70\t120.50\t45.20\t0.00");
  for (const char* piece :
       {"Z0002\t02.03.2024\t136.50\t88.40\t33.10\t15.00",
        "Z0003\t03.03.2024\t163.00\t156.00\t0.00\t7.00", "SUM\t465.20\t364.90\t78.30\t22.00", ""}) {
    const Reply a = port->Send("N");
    ExpectWellFormed(a);
    EXPECT_EQ(uint8_t(a.raw[3]), Code(Command::kNextFMPiece));
    EXPECT_FALSE(a.error());
    EXPECT_EQ(a.data, piece);
  }
  EXPECT_TRUE(port->Send("N").error());  // the report is over
  // The frame and the bare "N"s were recorded, not the ACKs after each answer.
  const auto frames = sim->Frames();
  ASSERT_EQ(frames.size(), 6u);
  for (size_t i = 1; i < 6; ++i) EXPECT_TRUE(frames[i].raw == "N" && !frames[i].framed) << i;
  // A range of Z numbers.
  EXPECT_EQ(Do(Ok(Command::kFirstFMReport, "2-3")).substr(0, 5), "Z0002");
  EXPECT_EQ(port->Send("N").data.substr(0, 5), "Z0003");
  EXPECT_EQ(port->Send("N").data, "SUM\t299.50\t244.40\t33.10\t22.00");
  Run({Refused(Command::kFirstFMReport, "7\t9"), Refused(Command::kFirstFMReport, "abc"),
       Refused(Command::kFirstFMReport, "1-2-3")});
}

// Programmed, reprogrammed (short barcode), sold at its own price; not while a receipt is open.
TEST_F(SimReports, ArticlesAreProgrammedReadAndSold) {
  Run({Ok(Command::kGetArticle, "R 1\t",
          Cp("1\tХляб\t1.20\tB\t1\t3800000000011\t100.000\t0.000\t0.00")),
       Ack(Command::kSetArticle, "12\tBread\t1.20\t2100000000000000\t10\t"),
       Ok(Command::kGetArticle, "R 12\t",
          "12\tBread\t1.20\tB\t1\t000000000000\t10.000\t0.000\t0.00"),
       Ack(Command::kSetArticle, Cp("12\tХляб бял\t1.35\t3000123\t5.5\t")),
       Ok(Command::kOpenFiscNote, "01\t"), Nak(Command::kSetArticle, "13\tX\t1.00\t1000\t1\t"),
       Ack(Command::kSellArt, "12\t2.00\t0.00\t"),
       Ok(Command::kSubTotal, "", "2.70\t0.00\t0.00\t2.70"), Ok(Command::kPay, "01"),
       Ok(Command::kCloseFiscNote),
       Ok(Command::kGetArticle, "R 12\t", Cp("12\tХляб бял\t1.35\tC\t0\t123\t3.500\t2.000\t2.70")),
       Refused(Command::kGetArticle, "R 999\t"), Refused(Command::kGetArticle, "R-3\t"),
       Refused(Command::kGetArticle, "R5\t"), Refused(Command::kGetArticle, "R 5")});
  // Numbers 0 and 10000, no name, tax groups 4 and 10, no department 9, bad price and codes.
  for (const char* d :
       {"0\tX\t1.00\t1000\t1\t", "10000\tX\t1.00\t1000\t1\t", "13\t\t1.00\t1000\t1\t",
        "13\tX\t1.00\t4000\t1\t", "13\tX\t1.00\t:000\t1\t", "13\tX\t1.00\t1900\t1\t",
        "13\tX\tabc\t1000\t1\t", "13\tX\t1.00\t100\t1\t", "13\tX\t1.00\t1000\t1"})
    Do(Nak(Command::kSetArticle, d));
}

// Department 26 ("1:") does not exist, "0/" is the form of -1.
TEST_F(SimReports, DepartmentsAreReadByTheirNibbleNumber) {
  Run({Ok(Command::kGetDepartment, "01", Cp("1\tХрани\tB\t0.000\t0.00")),
       Ok(Command::kGetDepartment, "04", Cp("4\tБез ДДС\tC\t0.000\t0.00")),
       Ok(Command::kOpenFiscNote, "01\t"), Ack(Command::kSellDep, "4\t2\t1.25\t"),
       Ok(Command::kPay, "01"), Ok(Command::kCloseFiscNote),
       Ok(Command::kGetDepartment, "04", Cp("4\tБез ДДС\tC\t2.000\t2.50")),
       Refused(Command::kGetDepartment, "1:"), Refused(Command::kGetDepartment, "0/"),
       Refused(Command::kGetDepartment, "1")});
}

// One duplicate per receipt.
TEST_F(SimReports, InformationSerialNumberDuplicateAndJournal) {
  Run({Ok(Command::kECRInfo, "", "NEV-SIM\t00000001\t1.00\t3"), Ack(Command::kSendSerNum, "01;2?"),
       Ok(Command::kECRInfo, "", "NEV-SIM\t01B2F\t1.00\t3"), Nak(Command::kSendSerNum, "0a"),
       Nak(Command::kSendSerNum, ""), Nak(Command::kSendSerNum, std::string(17, '1')),
       Ok(Command::kGetStatus, "", ""), Ok(Command::kOpenFiscNote, "01\t"),
       Ack(Command::kSellTaxGroup, "a\tA\t1\t3.00\t"), Ok(Command::kPay, "01"),
       Ok(Command::kCloseFiscNote), Ok(Command::kNoteInfo, "", "1\t1\t3.00\t3.00"),
       Ack(Command::kDuplicate), Nak(Command::kDuplicate), Ok(Command::kEJournal, "", "1")});
  const std::string paper = sim->Paper();
  const size_t copy = paper.find("ДУБЛИКАТ");
  ASSERT_NE(copy, std::string::npos);
  // The duplicate repeats the receipt's own lines.
  EXPECT_NE(paper.find("a" + std::string(25, ' ') + "3.00 A", copy), std::string::npos) << paper;
  EXPECT_TRUE(Printed("КОНТРОЛНА ЛЕНТА"));
}

}  // namespace
}  // namespace simtest
