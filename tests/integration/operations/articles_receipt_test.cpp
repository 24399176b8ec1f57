// Articles and departments, and one whole receipt, against the simulator.
#include "fixture.h"

namespace nevtest {
namespace {

TEST_F(OperationsTest, ArticleAndDepartmentNumbersTravelInTheirOwnForms) {
  SetNextSequence(0);
  nev->GetArticle(5);
  EXPECT_EQ(Hex(TakeOnlyFrame().raw), "02 20 21 77 24 52 20 35 09 38 3C 03");
  ExpectSends([&] { nev->GetArticle(-3); }, Command::kGetArticle, "R-3\t");
  ExpectSends([&] { nev->GetArticle(0); }, Command::kGetArticle, "R 0\t");
  sim.OverrideReply(Code(Command::kGetArticle), "5\t\xD5\xEB\xFF\xE1\t1.20");  // Windows-1251
  EXPECT_EQ(nev->GetArticle(5), "5\tХляб\t1.20");
  sim.ClearRecord();

  SetNextSequence(0);
  nev->GetDepartment(26);
  EXPECT_EQ(Hex(TakeOnlyFrame().raw), "02 20 21 76 22 31 3A 34 34 03");
  const std::pair<int32_t, std::string> departments[] = {
      {1, "01"},  {10, "0:"},      {255, "??"},
      {-1, "0/"}, {3327, "\xFF?"}, {-783, std::string("\0!", 2)},
  };
  for (const auto& [x, data] : departments) {
    nev->GetDepartment(x);
    ExpectOneFrame(Command::kGetDepartment, data);
  }
  Messages();

  // Numbers whose characters leave 0..255, or outside the 16-bit range: nothing is sent.
  EXPECT_EQ(nev->GetDepartment(3328), "");
  EXPECT_EQ(nev->GetDepartment(-784), "");
  EXPECT_EQ(nev->GetArticle(32768), "");
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                kInvalidArgument + std::string(": x = 3328 is out of range (-783 to 3327)"),
                kInvalidArgument + std::string(": x = -784 is out of range (-783 to 3327)"),
                kInvalidArgument + std::string(": x = 32768 is out of range (-32768 to 32767)")}));
  ExpectNothingSent();
}

TEST_F(OperationsTest, SetArticleSendsTheRecordUnchanged) {
  ExpectSends([&] { nev->SetArticle("12", "Bread", "1.20", 2, 1, 0, 0, "", "10"); },
              Command::kSetArticle, "12\tBread\t1.20\t2100000000000000\t10\t");
  ExpectSends([&] { nev->SetArticle("12", "Хляб", " 1.20 ", 10, 1, 0, 0, "123", "10"); },
              Command::kSetArticle, "12\t\xD5\xEB\xFF\xE1\t 1.20 \t:100123\t10\t");
  ExpectSends([&] { nev->SetArticle("1", "", "", 0, 0, 0, 207, "  ", ""); }, Command::kSetArticle,
              "1\t\t\t000\xFF  \t\t");
  Messages();

  nev->SetArticle("12", "Bread", "1.20", 208, 1, 0, 0, "", "10");
  nev->SetArticle("12", "Bread", "1.20", 2, -1, 0, 0, "", "10");
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                kInvalidArgument + std::string(": TaxG = 208 is out of range (0 to 207)"),
                kInvalidArgument + std::string(": Dep = -1 is out of range (0 to 255)")}));
  ExpectNothingSent();
}

TEST_F(OperationsTest, AWholeReceiptAddsUpOnTheDevice) {
  ASSERT_TRUE(nev->OpenFiscNote("1", "0000"));
  EXPECT_TRUE(nev->SellArt(1, 1, 1.2));                        // bread, group B
  EXPECT_TRUE(nev->SellDep(2, 1.5, 2));                        // drinks, group A
  EXPECT_TRUE(nev->SellTaxGroup("  Мляко  ", " B ", 1, 0.8));  // group B
  nev->Addition(false, " -0.50 ");  // spread over the groups: A -0.30, B -0.20
  double total = 0, a = 0, b = 0, c = 0;
  EXPECT_TRUE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(std::vector<double>({total, a, b, c}), std::vector<double>({4.5, 2.7, 1.8, 0}));
  EXPECT_TRUE(nev->Pay(1, 10));
  EXPECT_TRUE(nev->CloseFiscNote());
  EXPECT_TRUE(Messages().empty());

  const nevsim::Simulator::Totals totals = sim.CurrentTotals();
  EXPECT_FALSE(totals.fiscal_open);
  EXPECT_EQ(totals.receipts, 1);
  EXPECT_DOUBLE_EQ(totals.total, 4.5);
  EXPECT_DOUBLE_EQ(totals.paid, 10);
  EXPECT_DOUBLE_EQ(totals.change, 5.5);
  const std::string paper = sim.Paper();
  for (const char* line : {"Хляб", "Напитки", "Мляко", "4.50", "РЕСТО", "5.50", "ФИСКАЛЕН БОН"}) {
    EXPECT_NE(paper.find(line), std::string::npos) << line << "\n" << paper;
  }
  EXPECT_EQ(TakeReceived().size(), 8u);
}

}  // namespace
}  // namespace nevtest
