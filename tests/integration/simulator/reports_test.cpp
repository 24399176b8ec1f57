// Reports, the fiscal-memory report in pieces, the article and department tables, and the
// device's information queries.
#include "sim_fixture.h"

namespace simtest {
namespace {

using SimReports = SimTest;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void SellAndClose(SimTest& t, DevicePort& port, const std::string& sale) {
  (void)t;
  EXPECT_EQ(port.Command(0x83, "01\t").kind, Answer::kFrame);
  EXPECT_EQ(port.Command(0x86, sale).kind, Answer::kAck);
  EXPECT_EQ(port.Command(0x8B, "01").kind, Answer::kFrame);
  EXPECT_EQ(port.Command(0x84).kind, Answer::kFrame);
}

// With the real timing: a Z report takes 2.5 s and sends a SYN every 500 ms meanwhile.
TEST_F(SimReports, ZDaySendsSynsThenResetsTheDay) {
  Begin(nevsim::Options{});
  SellAndClose(*this, *port, "a\tA\t2\t10.00\t");
  SellAndClose(*this, *port, "b\tC\t1\t0.50\t");
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().day_total, 20.50);
  Answer z = port->Command(0x99);
  ExpectWellFormed(z);
  EXPECT_FALSE(z.error());
  EXPECT_EQ(z.syns, 4);
  EXPECT_EQ(z.data, "4\t20.50\t20.00\t0.00\t0.50");
  auto t = sim->CurrentTotals();
  EXPECT_DOUBLE_EQ(t.day_total, 0.0);
  EXPECT_EQ(t.receipts, 0);
  EXPECT_EQ(t.z_number, 4);
  EXPECT_EQ(Ok(0x92).substr(1), "\t0\t0\t0");
  EXPECT_TRUE(Has(sim->Paper(), "ДНЕВЕН ОТЧЕТ"));
  // The day's record is now in the fiscal memory.
  EXPECT_EQ(Ok(0x54, "4").substr(0, 6), "Z0004\t");
}

TEST_F(SimReports, OtherZReportsAnswerAckAfterSyns) {
  SellAndClose(*this, *port, "a\tA\t1\t1.00\t");
  Ok(0x83, "01\t");
  Acked(0x87, "3\t2\t0\t");
  Ok(0x8B, "01");
  Ok(0x84);
  for (uint8_t cmd : {0x9A, 0x9B, 0x9C}) {
    Answer a = port->Command(cmd);
    EXPECT_EQ(a.kind, Answer::kAck);
    EXPECT_EQ(a.syns, 2);  // 300 ms at 100 ms
  }
  EXPECT_TRUE(Has(sim->Paper(), "ОТЧЕТ ПО АРТИКУЛИ"));
  EXPECT_TRUE(Has(sim->Paper(), "3 Кафе"));
  // ZArticles cleared the article's sales.
  EXPECT_EQ(Ok(0x77, "R 3\t"), Cp("3\tКафе\t1.80\tA\t2\t3800000000035\t198.000\t0.000\t0.00"));
}

TEST_F(SimReports, ZDenyRefusesEveryZReportUntilZAllow) {
  Acked(0x29, "1");
  EXPECT_TRUE(sim->CurrentTotals().z_denied);
  Answer z = port->Command(0x99);
  EXPECT_TRUE(z.error());
  EXPECT_EQ(z.syns, 0);
  EXPECT_TRUE(z.status[1] & 0x01);
  Naked(0x9A);
  Naked(0x9B);
  Naked(0x9C);
  Acked(0x29, "0");
  EXPECT_FALSE(port->Command(0x99).error());
}

TEST_F(SimReports, FmReportComesInPiecesThenAnEmptyFrame) {
  EXPECT_EQ(Ok(0x54, ""), "Z0001\t01.03.2024\t165.70\t120.50\t45.20\t0.00");
  std::vector<std::string> pieces;
  for (int i = 0; i < 3; ++i) {
    Answer a = port->Next();
    ExpectWellFormed(a);
    EXPECT_EQ(a.raw[3], 'N');
    pieces.push_back(a.data);
  }
  EXPECT_EQ(pieces[0], "Z0002\t02.03.2024\t136.50\t88.40\t33.10\t15.00");
  EXPECT_EQ(pieces[2], "SUM\t465.20\t364.90\t78.30\t22.00");
  Answer end = port->Next();
  ExpectWellFormed(end);
  EXPECT_EQ(end.raw[4], '\x20');
  EXPECT_FALSE(end.error());
  EXPECT_TRUE(port->Next().error());  // the report is over
  // Only the frame and the bare "N" bytes were recorded, not the ACKs after each answer.
  auto frames = sim->Frames();
  ASSERT_EQ(frames.size(), 6u);
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].raw, "N");
    EXPECT_FALSE(frames[i].framed);
  }
  // A range of Z numbers.
  EXPECT_EQ(Ok(0x54, "2-3").substr(0, 5), "Z0002");
  EXPECT_EQ(port->Next().data.substr(0, 5), "Z0003");
  EXPECT_EQ(port->Next().data, "SUM\t299.50\t244.40\t33.10\t22.00");
  Refused(0x54, "7\t9");  // nothing in that range
  Refused(0x54, "abc");
  Refused(0x54, "1-2-3");
}

TEST_F(SimReports, ArticlesAreProgrammedReadAndSold) {
  EXPECT_EQ(Ok(0x77, "R 1\t"), Cp("1\tХляб\t1.20\tB\t1\t3800000000011\t100.000\t0.000\t0.00"));
  Acked(0x27, "12\tBread\t1.20\t2100000000000000\t10\t");
  EXPECT_EQ(Ok(0x77, "R 12\t"), "12\tBread\t1.20\tB\t1\t000000000000\t10.000\t0.000\t0.00");
  Acked(0x27, Cp("12\tХляб бял\t1.35\t3000123\t5.5\t"));  // reprogrammed, short barcode
  Ok(0x83, "01\t");
  Naked(0x27, "13\tX\t1.00\t1000\t1\t");  // not while a receipt is open
  Acked(0x87, "12\t2.00\t0.00\t");
  EXPECT_EQ(Ok(0x8A), "2.70\t0.00\t0.00\t2.70");
  Ok(0x8B, "01");
  Ok(0x84);
  EXPECT_EQ(Ok(0x77, "R 12\t"), Cp("12\tХляб бял\t1.35\tC\t0\t123\t3.500\t2.000\t2.70"));
  Refused(0x77, "R 999\t");
  Refused(0x77, "R-3\t");
  Refused(0x77, "R5\t");  // the sign position is missing
  Refused(0x77, "R 5");
  const char* bad[] = {
      "0\tX\t1.00\t1000\t1\t",      // number 0
      "10000\tX\t1.00\t1000\t1\t",  // beyond 9999
      "13\t\t1.00\t1000\t1\t",      // no name
      "13\tX\t1.00\t4000\t1\t",     // tax group 4
      "13\tX\t1.00\t:000\t1\t",     // tax group 10
      "13\tX\t1.00\t1900\t1\t",     // no department 9
      "13\tX\tabc\t1000\t1\t",      // price
      "13\tX\t1.00\t100\t1\t",      // codes cut short
      "13\tX\t1.00\t1000\t1",       // not ended by TAB
  };
  for (const char* d : bad) Naked(0x27, d);
}

TEST_F(SimReports, DepartmentsAreReadByTheirNibbleNumber) {
  EXPECT_EQ(Ok(0x76, "01"), Cp("1\tХрани\tB\t0.000\t0.00"));
  EXPECT_EQ(Ok(0x76, "04"), Cp("4\tБез ДДС\tC\t0.000\t0.00"));
  Ok(0x83, "01\t");
  Acked(0x88, "4\t2\t1.25\t");
  Ok(0x8B, "01");
  Ok(0x84);
  EXPECT_EQ(Ok(0x76, "04"), Cp("4\tБез ДДС\tC\t2.000\t2.50"));
  Refused(0x76, "1:");  // department 26 does not exist
  Refused(0x76, "0/");  // the form of -1
  Refused(0x76, "1");
}

TEST_F(SimReports, InformationQueriesSerialNumberDuplicateAndJournal) {
  EXPECT_EQ(Ok(0x72), "20.00\t9.00\t0.00");
  EXPECT_EQ(Ok(0xA0), "NEV-SIM\t00000001\t1.00\t3");
  Acked(0xA2, "01;2?");
  EXPECT_EQ(Ok(0xA0), "NEV-SIM\t01B2F\t1.00\t3");
  Naked(0xA2, "0a");
  Naked(0xA2, "");
  Naked(0xA2, std::string(17, '1'));
  EXPECT_EQ(Ok(0xA1), "");
  SellAndClose(*this, *port, "a\tA\t1\t3.00\t");
  EXPECT_EQ(Ok(0x93), "1\t1\t3.00\t3.00");
  Acked(0x90);
  Naked(0x90);  // one duplicate per receipt
  const std::string paper = sim->Paper();
  const size_t copy = paper.find("ДУБЛИКАТ");
  ASSERT_NE(copy, std::string::npos);
  // The duplicate repeats the receipt's own lines.
  EXPECT_NE(paper.find("a" + std::string(25, ' ') + "3.00 A", copy), std::string::npos) << paper;
  EXPECT_EQ(Ok(0x91), "1");
  EXPECT_TRUE(Has(sim->Paper(), "КОНТРОЛНА ЛЕНТА"));
}

}  // namespace
}  // namespace simtest
