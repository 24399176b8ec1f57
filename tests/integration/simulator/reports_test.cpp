// Reports, the fiscal-memory report in pieces, articles, departments and information queries.
#include "sim_fixture.h"

namespace simtest {
namespace {

using SimReports = SimTest;

// With the device's own timing: a Z report takes 2.5 s and sends a SYN every 500 ms meanwhile.
TEST_F(SimReports, ZDaySendsSynsWhileItRunsThenResetsTheDay) {
  const nevsim::Options real;
  Begin(real.long_op_ms, real.syn_interval_ms);
  Run({Ok(0x83, "01\t"), Ack(0x86, "a\tA\t2\t10.00\t"), Ok(0x8B, "01"), Ok(0x84), Ok(0x83, "01\t"),
       Ack(0x86, "b\tC\t1\t0.50\t"), Ok(0x8B, "01"), Ok(0x84)});
  const Answer z = port->Command(0x99);
  ExpectWellFormed(z);
  EXPECT_FALSE(z.error());
  EXPECT_EQ(z.syns, 4);
  EXPECT_EQ(z.data, "4\t20.50\t20.00\t0.00\t0.50");
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().day_total, 0.0);
  EXPECT_EQ(Do(Ok(0x92)).substr(1), "\t0\t0\t0");
  EXPECT_TRUE(Printed("ДНЕВЕН ОТЧЕТ"));
  EXPECT_EQ(Do(Ok(0x54, "4")).substr(0, 6), "Z0004\t");  // the day is in the fiscal memory
}

TEST_F(SimReports, ZDenyRefusesZReportsAndTheOthersAnswerAckAfterSyns) {
  Run({Ack(0x29, "1"), Nak(0x9A), Nak(0x9B), Nak(0x9C)});
  const Answer denied = port->Command(0x99);
  EXPECT_TRUE(denied.error());
  EXPECT_EQ(denied.syns, 0);
  EXPECT_TRUE(denied.status[1] & 0x01);
  Run({Ack(0x29, "0"), Ok(0x83, "01\t"), Ack(0x87, "3\t2\t0\t"), Ok(0x8B, "01"), Ok(0x84)});
  for (uint8_t cmd : {0x9A, 0x9B, 0x9C}) {
    const Answer a = port->Command(cmd);
    EXPECT_EQ(a.kind, Answer::kAck);
    EXPECT_EQ(a.syns, 2);  // 300 ms at 100 ms
  }
  EXPECT_TRUE(Printed("ОТЧЕТ ПО АРТИКУЛИ"));
  EXPECT_TRUE(Printed("3 Кафе"));
  // ZArticles cleared the article's sales; ZDay is allowed again.
  Run({Ok(0x77, "R 3\t", Cp("3\tКафе\t1.80\tA\t2\t3800000000035\t198.000\t0.000\t0.00")),
       Ok(0x99)});
}

TEST_F(SimReports, FmReportComesInPiecesUpToAnEmptyFrame) {
  EXPECT_EQ(Do(Ok(0x54)), "Z0001\t01.03.2024\t165.70\t120.50\t45.20\t0.00");
  for (const char* piece :
       {"Z0002\t02.03.2024\t136.50\t88.40\t33.10\t15.00",
        "Z0003\t03.03.2024\t163.00\t156.00\t0.00\t7.00", "SUM\t465.20\t364.90\t78.30\t22.00", ""}) {
    const Answer a = port->Send("N");
    ExpectWellFormed(a);
    EXPECT_EQ(a.raw[3], 'N');
    EXPECT_FALSE(a.error());
    EXPECT_EQ(a.data, piece);
  }
  EXPECT_TRUE(port->Send("N").error());  // the report is over
  // The frame and the bare "N"s were recorded, not the ACKs after each answer.
  const auto frames = sim->Frames();
  ASSERT_EQ(frames.size(), 6u);
  for (size_t i = 1; i < 6; ++i) EXPECT_TRUE(frames[i].raw == "N" && !frames[i].framed) << i;
  // A range of Z numbers.
  EXPECT_EQ(Do(Ok(0x54, "2-3")).substr(0, 5), "Z0002");
  EXPECT_EQ(port->Send("N").data.substr(0, 5), "Z0003");
  EXPECT_EQ(port->Send("N").data, "SUM\t299.50\t244.40\t33.10\t22.00");
  Run({Refused(0x54, "7\t9"), Refused(0x54, "abc"), Refused(0x54, "1-2-3")});
}

// Programmed, reprogrammed (short barcode), sold at its own price; not while a receipt is open.
TEST_F(SimReports, ArticlesAreProgrammedReadAndSold) {
  Run({Ok(0x77, "R 1\t", Cp("1\tХляб\t1.20\tB\t1\t3800000000011\t100.000\t0.000\t0.00")),
       Ack(0x27, "12\tBread\t1.20\t2100000000000000\t10\t"),
       Ok(0x77, "R 12\t", "12\tBread\t1.20\tB\t1\t000000000000\t10.000\t0.000\t0.00"),
       Ack(0x27, Cp("12\tХляб бял\t1.35\t3000123\t5.5\t")), Ok(0x83, "01\t"),
       Nak(0x27, "13\tX\t1.00\t1000\t1\t"), Ack(0x87, "12\t2.00\t0.00\t"),
       Ok(0x8A, "", "2.70\t0.00\t0.00\t2.70"), Ok(0x8B, "01"), Ok(0x84),
       Ok(0x77, "R 12\t", Cp("12\tХляб бял\t1.35\tC\t0\t123\t3.500\t2.000\t2.70")),
       Refused(0x77, "R 999\t"), Refused(0x77, "R-3\t"), Refused(0x77, "R5\t"),
       Refused(0x77, "R 5")});
  // Numbers 0 and 10000, no name, tax groups 4 and 10, no department 9, bad price and codes.
  for (const char* d :
       {"0\tX\t1.00\t1000\t1\t", "10000\tX\t1.00\t1000\t1\t", "13\t\t1.00\t1000\t1\t",
        "13\tX\t1.00\t4000\t1\t", "13\tX\t1.00\t:000\t1\t", "13\tX\t1.00\t1900\t1\t",
        "13\tX\tabc\t1000\t1\t", "13\tX\t1.00\t100\t1\t", "13\tX\t1.00\t1000\t1"})
    Do(Nak(0x27, d));
}

// Department 26 ("1:") does not exist, "0/" is the form of -1.
TEST_F(SimReports, DepartmentsAreReadByTheirNibbleNumber) {
  Run({Ok(0x76, "01", Cp("1\tХрани\tB\t0.000\t0.00")),
       Ok(0x76, "04", Cp("4\tБез ДДС\tC\t0.000\t0.00")), Ok(0x83, "01\t"),
       Ack(0x88, "4\t2\t1.25\t"), Ok(0x8B, "01"), Ok(0x84),
       Ok(0x76, "04", Cp("4\tБез ДДС\tC\t2.000\t2.50")), Refused(0x76, "1:"), Refused(0x76, "0/"),
       Refused(0x76, "1")});
}

// One duplicate per receipt.
TEST_F(SimReports, InformationSerialNumberDuplicateAndJournal) {
  Run({Ok(0xA0, "", "NEV-SIM\t00000001\t1.00\t3"), Ack(0xA2, "01;2?"),
       Ok(0xA0, "", "NEV-SIM\t01B2F\t1.00\t3"), Nak(0xA2, "0a"), Nak(0xA2, ""),
       Nak(0xA2, std::string(17, '1')), Ok(0xA1, "", ""), Ok(0x83, "01\t"),
       Ack(0x86, "a\tA\t1\t3.00\t"), Ok(0x8B, "01"), Ok(0x84), Ok(0x93, "", "1\t1\t3.00\t3.00"),
       Ack(0x90), Nak(0x90), Ok(0x91, "", "1")});
  const std::string paper = sim->Paper();
  const size_t copy = paper.find("ДУБЛИКАТ");
  ASSERT_NE(copy, std::string::npos);
  // The duplicate repeats the receipt's own lines.
  EXPECT_NE(paper.find("a" + std::string(25, ' ') + "3.00 A", copy), std::string::npos) << paper;
  EXPECT_TRUE(Printed("КОНТРОЛНА ЛЕНТА"));
}

}  // namespace
}  // namespace simtest
