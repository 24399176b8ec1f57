// Receipts, printed text, sales, adjustments and payment against the simulator: the exact data
// on the wire, the results and the log entries.
#include <cmath>
#include <limits>

#include "fixture.h"

namespace nevtest {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST_F(OperationsTest, PaperFeedSendsTheTwoDigitRowsAlone) {
  ExpectSends([&] { EXPECT_TRUE(nev->PaperFeed(5)); }, Command::kPaperFeed, "05");
  ExpectSends([&] { EXPECT_TRUE(nev->PaperFeed(0)); }, Command::kPaperFeed, "00");
  ExpectSends([&] { nev->PaperFeed(150); }, Command::kPaperFeed, "150");
  ExpectSends([&] { nev->PaperFeed(-2); }, Command::kPaperFeed, "-02");
  Messages();

  // Outside the 16-bit range of the row count: refused before anything is sent.
  EXPECT_FALSE(nev->PaperFeed(40000));
  EXPECT_EQ(Messages(), std::vector<std::string>{
                            kInvalidArgument +
                            std::string(": Rows = 40000 is out of range (-32768 to 32767)")});
  ExpectNothingSent();
}

TEST_F(OperationsTest, OpenFiscNoteSendsTheOperatorFieldAndTheOptionalBS) {
  struct Case {
    const char* casher;
    const char* pass;
    const char* bs;
    const char* data;
    bool accepted;  // the simulator has no operator 00: it refuses that receipt
  } cases[] = {
      {"1", "", "", "01\t", true},          {"1", "", "123", "01\tI123\t", true},
      {" 2", "0000", "", "020000\t", true}, {"abc", "pw", "", "00pw\t", false},
      {"7.6", "1", "", "081\t", true},      {"1", "", "  ", "01\tI  \t", true},
      {"-0.2", "", "", "00\t", false},      {"99.4", " x ", "", "99 x \t", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(nev->OpenFiscNote(c.casher, c.pass, c.bs), c.accepted);
    EXPECT_EQ(nev->LastCall().outcome,
              c.accepted ? nev::Outcome::kAnswered : nev::Outcome::kRefused);
    nev->VoidAll();
    EXPECT_EQ(TakeSent(), (Sent{{Command::kOpenFiscNote, c.data}, {Command::kVoidAll, ""}}));
  }
}

TEST_F(OperationsTest, VoidAllWarnsAndTellsWhenTheDeviceRefuses) {
  sim.NakCommand(Code(Command::kVoidAll));
  ExpectSends([&] { EXPECT_FALSE(nev->VoidAll()); }, Command::kVoidAll, "");
  EXPECT_EQ(Messages(), std::vector<std::string>{kRefused});
  EXPECT_NE(LogText().find("\t(w)\tNEV\tVoidAll\tVoiding fiscal receipt\r\n"), std::string::npos);
}

TEST_F(OperationsTest, FreeTextTravelsUnchangedInTheDeviceCodePage) {
  EXPECT_TRUE(nev->OpenServNote());
  EXPECT_TRUE(nev->ServText("  Service  "));
  EXPECT_TRUE(nev->CloseServNote());
  EXPECT_EQ(TakeSent(), (Sent{{Command::kOpenServNote, ""},
                              {Command::kServText, "  Service  \t"},
                              {Command::kCloseServNote, ""}}));

  EXPECT_TRUE(nev->OpenFiscNote("1", "0000"));
  EXPECT_TRUE(nev->FiscText(""));
  EXPECT_TRUE(nev->FiscText("Хляб №1"));
  EXPECT_TRUE(nev->VoidAll());
  EXPECT_EQ(TakeSent(), (Sent{{Command::kOpenFiscNote, "010000\t"},
                              {Command::kFiscText, "\t"},
                              {Command::kFiscText, "\xD5\xEB\xFF\xE1 \xB9\x31\t"},  // Windows-1251
                              {Command::kVoidAll, ""}}));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(OperationsTest, OversizeTextIsReportedOnceAndNothingIsSent) {
  // 224 bytes of data do not fit a frame.
  EXPECT_FALSE(nev->FiscText(std::string(223, 'x')));
  EXPECT_EQ(Messages(), std::vector<std::string>{kInvalidArgument});
  ExpectNothingSent();
  // The limit counts bytes on the wire, not UTF-8 bytes: 222 Cyrillic letters and TAB fit.
  std::string cyrillic;
  for (int i = 0; i < 222; ++i) cyrillic += "я";
  ExpectSends([&] { nev->ServText(cyrillic); }, Command::kServText,
              std::string(222, '\xFF') + "\t");
  Messages();

  // Silent mode: a critical log entry naming the method instead of the message box.
  nev->SilentMode(true);
  EXPECT_FALSE(nev->OpenFiscNote("1", std::string(300, '0')));
  EXPECT_TRUE(Messages().empty());
  const std::string log = LogText();
  EXPECT_NE(log.find("\t(c)\t\tNEV\tOpenFiscNote\r\n\tErr_No: 5\r\n\tErr_Description: " +
                     std::string(kInvalidArgument) + "\r\n"),
            std::string::npos)
      << log;
  ExpectNothingSent();
}

TEST_F(OperationsTest, SalesSendTheirNumberTexts) {
  ASSERT_TRUE(nev->OpenFiscNote("1", "0000"));
  sim.ClearRecord();
  ExpectSends([&] { nev->SellArt(12, 1, 2.5); }, Command::kSellArt, "12\t1.00\t2.50\t");
  ExpectSends([&] { nev->SellArt(12, -1, 0.125); }, Command::kSellArt, "12\t-1.00\t0.13\t");
  ExpectSends([&] { nev->SellDep(3, 1, 2.5); }, Command::kSellDep, "3\t1\t2.5\t");
  ExpectSends([&] { nev->SellDep(3, 0.1 + 0.2, 1.005); }, Command::kSellDep, "3\t0.3\t1.005\t");
  ExpectSends([&] { nev->SellTaxGroup("  Milk  ", " B ", 2, 1.1); }, Command::kSellTaxGroup,
              "Milk\tB\t2.00\t1.10\t");

  nev::platform::SetDecimalSymbolOverride(",");
  ExpectSends([&] { nev->SellArt(12, 1, 2.5); }, Command::kSellArt, "12\t1,00\t2,50\t");
  ExpectSends([&] { nev->SellDep(3, 1, 2.5); }, Command::kSellDep, "3\t1\t2,5\t");
  Messages();

  // Amounts that are not numbers, or too large for one, are refused before anything is sent,
  // naming the parameter and its value.
  EXPECT_FALSE(nev->SellArt(1, kNaN, 1));
  EXPECT_FALSE(nev->SellDep(1, 1, kInf));
  EXPECT_FALSE(nev->SellTaxGroup("Milk", "B", 1, -kInf));
  EXPECT_FALSE(nev->SellDep(1, 1e300, 1));
  EXPECT_FALSE(nev->SellArt(1, 1, -1e13));
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                kInvalidArgument + std::string(": Q = nan is not a number"),
                kInvalidArgument + std::string(": P = inf is infinite"),
                kInvalidArgument + std::string(": P = -inf is infinite"),
                kInvalidArgument + std::string(": Q = 1e+300 is too large for an amount"),
                kInvalidArgument + std::string(": P = -1e+13 is too large for an amount"),
            }));
  EXPECT_EQ(nev->LastCall().outcome, nev::Outcome::kBadArgument);
  ExpectNothingSent();
  // Just below the limit still goes out, to the cent.
  ExpectSends([&] { nev->SellArt(1, 1, 9999999999999.99); }, Command::kSellArt,
              "1\t1,00\t9999999999999,99\t");
  nev->VoidAll();
}

TEST_F(OperationsTest, AdditionPayAndAddSumTexts) {
  ASSERT_TRUE(nev->OpenFiscNote("1", "0000"));
  ASSERT_TRUE(nev->SellDep(1, 1, 50));
  sim.ClearRecord();
  ExpectSends([&] { nev->Addition(); }, Command::kAddition, "P\t");
  ExpectSends([&] { nev->Addition(false, " 10.00 "); }, Command::kAddition, "S10.00\t");

  ExpectSends([&] { nev->Pay(1, 12.5); }, Command::kPay, "0112.50\t");
  ExpectSends([&] { nev->Pay(1, 0); }, Command::kPay, "01");
  ExpectSends([&] { nev->Pay(2, -5); }, Command::kPay, "02");
  ExpectSends([&] { nev->Pay(3, kNaN); }, Command::kPay, "03");
  const std::string log = LogText();
  for (const char* entry :
       {"\t(i)\tNEV\tPay\tPayment is 0112.50\t\r\n", "\t(i)\tNEV\tPay\tPayment is 01\r\n",
        "\t(i)\tNEV\tPay\tPayment is 02\r\n"}) {
    EXPECT_NE(log.find(entry), std::string::npos) << entry;
  }
  Messages();
  EXPECT_FALSE(nev->Pay(1, kInf));
  EXPECT_FALSE(nev->AddSum("1", "", 1e20, 1));
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                kInvalidArgument + std::string(": Sum = inf is infinite"),
                kInvalidArgument + std::string(": Sum = 1e+20 is too large for an amount"),
            }));
  ExpectNothingSent();
  nev->VoidAll();
  sim.ClearRecord();

  ExpectSends([&] { nev->AddSum("3", "", 100, 1); }, Command::kAddSum, "03\t01100.00\t");
  ExpectSends([&] { nev->AddSum("12", "77", -5, 2); }, Command::kAddSum, "1277\t02-5.00\t");
}

TEST_F(OperationsTest, SubTotalReadsFourTotalsWhateverTheDecimalSymbolAndZerosWithoutAReply) {
  double total = 0, a = 0, b = 0, c = 0;
  sim.OverrideReply(Code(Command::kSubTotal), "10.50\t5.00\t3.00\t2.50");
  ExpectSends([&] { EXPECT_TRUE(nev->SubTotal(total, a, b, c)); }, Command::kSubTotal, "");
  EXPECT_EQ(std::vector<double>({total, a, b, c}), std::vector<double>({10.5, 5, 3, 2.5}));

  nev::platform::SetDecimalSymbolOverride(",");
  total = a = b = c = 0;
  EXPECT_TRUE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(std::vector<double>({total, a, b, c}), std::vector<double>({10.5, 5, 3, 2.5}));
  nev::platform::SetDecimalSymbolOverride(".");

  // Two fields: the last one stands for the missing ones.
  sim.OverrideReply(Code(Command::kSubTotal), "10.50\t5.00");
  EXPECT_TRUE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(std::vector<double>({total, a, b, c}), std::vector<double>({10.5, 5, 5, 5}));
  EXPECT_TRUE(Messages().empty());

  // Three fields each ended by TAB: the empty fourth does not convert.
  sim.OverrideReply(Code(Command::kSubTotal), "10.50\t5.00\t3.00\t");
  EXPECT_FALSE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(std::vector<double>({total, a, b, c}), std::vector<double>({10.5, 5, 3, 0}));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Type mismatch"});

  // No reply at all: false, and the totals are zero.
  sim.NakCommand(Code(Command::kSubTotal));
  total = a = b = c = 7;
  EXPECT_FALSE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(std::vector<double>({total, a, b, c}), std::vector<double>({0, 0, 0, 0}));
  EXPECT_EQ(Messages(), std::vector<std::string>{kRefused});

  const std::string log = LogText();
  EXPECT_NE(log.find("\t(i)\tNEV\tSubTotal\tDecimal Symbol Is: .\r\n"), std::string::npos);
  EXPECT_NE(log.find("\t(i)\tNEV\tSubTotal\tDecimal Symbol Is: ,\r\n"), std::string::npos);
}

}  // namespace
}  // namespace nevtest
