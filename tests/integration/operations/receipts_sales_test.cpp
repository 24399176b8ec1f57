// The data each call puts on the wire against the simulator, the arguments refused before anything
// is sent, and the results, messages and log entries of receipts.
#include <climits>
#include <cmath>
#include <functional>
#include <limits>

#include "fixture.h"

namespace nevtest {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Each call sends exactly one well-formed frame carrying its command and these data, whatever the
// device then answers; numbers in the regional decimal symbol of the row.
TEST_F(OperationsTest, CallsSendTheirDataInTheirOwnForms) {
  std::string num;
  std::string cyrillic;  // 222 letters and TAB fill a frame: the limit counts bytes on the wire
  for (int i = 0; i < 222; ++i) cyrillic += "я";
  const struct {
    std::function<void()> call;
    Command cmd;
    std::string data;
    const char* symbol = ".";
  } rows[] = {
      {[&] { nev->PaperFeed(5); }, Command::kPaperFeed, "05"},
      {[&] { nev->PaperFeed(0); }, Command::kPaperFeed, "00"},
      {[&] { nev->PaperFeed(150); }, Command::kPaperFeed, "150"},
      {[&] { nev->PaperFeed(-2); }, Command::kPaperFeed, "-02"},
      {[&] { nev->ZDeny(); }, Command::kZSwitch, "1"},
      {[&] { nev->ZAllow(); }, Command::kZSwitch, "0"},
      {[&] { nev->Dublicate(); }, Command::kDuplicate, ""},
      {[&] { nev->FiscText(""); }, Command::kFiscText, "\t"},
      {[&] { nev->FiscText("Хляб №1"); }, Command::kFiscText, "\xD5\xEB\xFF\xE1 \xB9\x31\t"},
      {[&] { nev->ServText("  Service  "); }, Command::kServText, "  Service  \t"},
      {[&] { nev->ServText(cyrillic); }, Command::kServText, std::string(222, '\xFF') + "\t"},
      {[&] { nev->SellArt(12, 1, 2.5); }, Command::kSellArt, "12\t1.00\t2.50\t"},
      {[&] { nev->SellArt(12, -1, 0.125); }, Command::kSellArt, "12\t-1.00\t0.13\t"},
      {[&] { nev->SellDep(3, 1, 2.5); }, Command::kSellDep, "3\t1\t2.5\t"},
      {[&] { nev->SellDep(3, 0.1 + 0.2, 1.005); }, Command::kSellDep, "3\t0.3\t1.005\t"},
      {[&] { nev->SellTaxGroup("  Milk  ", " B ", 2, 1.1); }, Command::kSellTaxGroup,
       "Milk\tB\t2.00\t1.10\t"},
      {[&] { nev->SellTaxGroup("Хляб", "B", 1, 1); }, Command::kSellTaxGroup,
       "\xD5\xEB\xFF\xE1\tB\t1.00\t1.00\t"},
      {[&] { nev->SellArt(12, 1, 2.5); }, Command::kSellArt, "12\t1,00\t2,50\t", ","},
      {[&] { nev->SellDep(3, 1, 2.5); }, Command::kSellDep, "3\t1\t2,5\t", ","},
      // Just below the limit of an amount still goes out, to the cent.
      {[&] { nev->SellArt(1, 1, 9999999999999.99); }, Command::kSellArt,
       "1\t1,00\t9999999999999,99\t", ","},
      {[&] { nev->Addition(); }, Command::kAddition, "P\t"},
      {[&] { nev->Addition(false, " 10.00 "); }, Command::kAddition, "S10.00\t"},
      {[&] { nev->Pay(1, 12.5); }, Command::kPay, "0112.50\t"},
      {[&] { nev->Pay(1, 0); }, Command::kPay, "01"},
      {[&] { nev->Pay(2, -5); }, Command::kPay, "02"},
      {[&] { nev->Pay(3, kNaN); }, Command::kPay, "03"},
      {[&] { nev->Pay(0, 1); }, Command::kPay, "001.00\t"},
      {[&] { nev->AddSum("3", "", 100, 1); }, Command::kAddSum, "03\t01100.00\t"},
      {[&] { nev->AddSum("12", "77", -5, 2); }, Command::kAddSum, "1277\t02-5.00\t"},
      {[&] { nev->AddSum("0", "", 1, 99); }, Command::kAddSum, "00\t991.00\t"},
      {[&] { nev->GetFirstFMReport(""); }, Command::kFirstFMReport, ""},
      {[&] { nev->GetFirstFMReport("0\t1\x01"); }, Command::kFirstFMReport, "0\t1\x01"},
      {[&] { nev->GetArticle(5); }, Command::kGetArticle, "R 5\t"},
      {[&] { nev->GetArticle(-3); }, Command::kGetArticle, "R-3\t"},
      {[&] { nev->GetArticle(0); }, Command::kGetArticle, "R 0\t"},
      {[&] { nev->GetDepartment(1); }, Command::kGetDepartment, "01"},
      {[&] { nev->GetDepartment(10); }, Command::kGetDepartment, "0:"},
      {[&] { nev->GetDepartment(26); }, Command::kGetDepartment, "1:"},
      {[&] { nev->GetDepartment(255); }, Command::kGetDepartment, "??"},
      {[&] { nev->GetDepartment(-1); }, Command::kGetDepartment, "0/"},
      {[&] { nev->GetDepartment(3327); }, Command::kGetDepartment, "\xFF?"},
      {[&] { nev->GetDepartment(-783); }, Command::kGetDepartment, std::string("\0!", 2)},
      {[&] { nev->SetArticle("12", "Bread", "1.20", 2, 1, 0, 0, "", "10"); }, Command::kSetArticle,
       "12\tBread\t1.20\t2100000000000000\t10\t"},
      {[&] { nev->SetArticle("12", "Хляб", " 1.20 ", 10, 1, 0, 0, "123", "10"); },
       Command::kSetArticle, "12\t\xD5\xEB\xFF\xE1\t 1.20 \t:100123\t10\t"},
      {[&] { nev->SetArticle("1", "", "", 0, 0, 0, 207, "  ", ""); }, Command::kSetArticle,
       "1\t\t\t000\xFF  \t\t"},
      // The serial number goes in nibble form, trimmed in the caller's own variable too.
      {[&] {
         nev->SendSerNum(num = "  0a1B-2F ");
         EXPECT_EQ(num, "0a1B-2F");
       },
       Command::kSendSerNum, "01;2?"},
      {[&] { nev->SendSerNum(num = "1A"); }, Command::kSendSerNum, "1:"},
      {[&] {
         nev->SendSerNum(num = "   ");
         EXPECT_EQ(num, "");
       },
       Command::kSendSerNum, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Hex(row.data));
    nev::platform::SetDecimalSymbolOverride(row.symbol);
    row.call();
    ExpectOneFrame(row.cmd, row.data);
  }
  const std::string log = LogText();
  for (const char* entry :
       {"\t(i)\tNEV\tPay\tPayment is 0112.50\t\r\n", "\t(i)\tNEV\tPay\tPayment is 01\r\n",
        "\t(i)\tNEV\tPay\tPayment is 02\r\n"})
    EXPECT_NE(log.find(entry), std::string::npos) << entry;
}

// Run-time error 5 naming the parameter and its value, and nothing on the wire: numbers out of
// range or not numbers, texts that would shift or add device fields or that the device's code
// page cannot carry. A row ending in a space gives the start of the message only. The refusals
// that name a parameter come before a frame is built; data too long for a frame is found while
// building it.
TEST_F(OperationsTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  const std::string bad = std::string(kInvalidArgument) + ": ";
  std::string num = " " + std::string(224, 'F') + " ";
  const struct {
    std::function<bool()> call;  // true when the call's result says it succeeded
    std::string message;
  } rows[] = {
      {[&] { return nev->PaperFeed(40000); },
       bad + "Rows = 40000 is out of range (-32768 to 32767)"},
      {[&] { return nev->SellArt(1, kNaN, 1); }, bad + "Q = nan is not a number"},
      {[&] { return nev->SellDep(1, 1, kInf); }, bad + "P = inf is infinite"},
      {[&] { return nev->SellTaxGroup("Milk", "B", 1, -kInf); }, bad + "P = -inf is infinite"},
      {[&] { return nev->SellDep(1, 1e300, 1); }, bad + "Q = 1e+300 is too large for an amount"},
      {[&] { return nev->SellArt(1, 1, -1e13); }, bad + "P = -1e+13 is too large for an amount"},
      {[&] { return nev->Pay(1, kInf); }, bad + "Sum = inf is infinite"},
      {[&] { return nev->AddSum("1", "", 1e20, 1); },
       bad + "Sum = 1e+20 is too large for an amount"},
      {[&] { return !nev->GetDepartment(3328).empty(); },
       bad + "x = 3328 is out of range (-783 to 3327)"},
      {[&] { return !nev->GetDepartment(-784).empty(); },
       bad + "x = -784 is out of range (-783 to 3327)"},
      {[&] { return !nev->GetArticle(32768).empty(); },
       bad + "x = 32768 is out of range (-32768 to 32767)"},
      {[&] { return nev->SetArticle("12", "Bread", "1.20", 208, 1, 0, 0, "", "10"), false; },
       bad + "TaxG = 208 is out of range (0 to 207)"},
      {[&] { return nev->SetArticle("12", "Bread", "1.20", 2, -1, 0, 0, "", "10"), false; },
       bad + "Dep = -1 is out of range (0 to 255)"},
      // Too long for a frame: 224 bytes of data.
      {[&] { return nev->FiscText(std::string(223, 'x')); }, kInvalidArgument},
      {[&] { return !nev->GetFirstFMReport(std::string(224, '1')).empty(); }, kInvalidArgument},
      {[&] { return nev->SendSerNum(num), num != std::string(224, 'F'); }, kInvalidArgument},
      // Field injection through free texts.
      {[&] { return nev->SellTaxGroup("Хляб\tA\t1\t0.01", "B", 1, 2); }, bad + "Name "},
      {[&] { return nev->SellTaxGroup("x", "A\tB", 1, 2); }, bad + "TaxGroup "},
      {[&] { return nev->OpenFiscNote("1", "0000\tI123456789"); }, bad + "Pass "},
      {[&] { return nev->OpenFiscNote("1", "0000", "12\n3"); }, bad + "BS "},
      {[&] { return nev->FiscText("a\x03z"); }, bad + "text "},
      {[&] { return nev->ServText("\x02"); }, bad + "text "},
      {[&] { return nev->ServText(std::string("a\0b", 3)); }, bad + "text "},
      {[&] { return nev->ServText("\x06\x15\x16\r"); }, bad + "text "},
      {[&] { return nev->AddSum("1", "0\t", 1, 1); }, bad + "Pass "},
      {[&] { return nev->Addition(true, "10\t1"), false; }, bad + "V "},
      {[&] { return nev->SetArticle("1", "a\tb", "1.00", 1, 1, 1, 0, "", "1"), false; },
       bad + "Name "},
      {[&] { return nev->SetArticle("1", "a", "1.00", 1, 1, 1, 0, "", "1\r"), false; }, bad + "Q "},
      // Characters the device's code page cannot carry, and invalid UTF-8.
      {[&] { return nev->FiscText("Кафе \xF0\x9F\x98\x80"); }, bad + "text "},
      {[&] { return nev->ServText("\xE4\xB8\xAD\xE6\x96\x87"); }, bad + "text "},
      {[&] { return nev->SellTaxGroup("\xFF\xFE", "A", 1, 1); }, bad + "Name "},
      {[&] { return !nev->GetFirstFMReport("\xE4\xB8\xAD").empty(); }, bad + "s "},
      // Numbers whose text would run into the next field.
      {[&] { return nev->AddSum("1", "", 1, 256); }, bad + "Pay "},
      {[&] { return nev->AddSum("1", "", 1, -1); }, bad + "Pay "},
      {[&] { return nev->Pay(INT32_MIN, 1); }, bad + "PayType "},
      {[&] { return nev->Pay(100, 1); }, bad + "PayType "},
      {[&] { return nev->OpenFiscNote("123", ""); }, bad + "casher "},
      {[&] { return nev->OpenFiscNote("99.5", ""); }, bad + "casher "},
      {[&] { return nev->AddSum("-3", "", 1, 1); }, bad + "casher "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const uint8_t before = nev::NEVAccess::State(*nev).link.sequence;
    EXPECT_FALSE(row.call());
    EXPECT_EQ(nev->LastCall().outcome, nev::Outcome::kBadArgument);
    if (row.message != kInvalidArgument) {
      EXPECT_EQ(nev::NEVAccess::State(*nev).link.sequence, before);
    }
    const std::vector<std::string> shown = Messages();
    ASSERT_EQ(shown.size(), 1u);
    if (row.message.back() == ' ') {
      EXPECT_EQ(shown[0].rfind(row.message, 0), 0u) << shown[0];
    } else {
      EXPECT_EQ(shown[0], row.message);
    }
  }
  ExpectNothingSent();  // by any of them (a frame sent would show its bytes)
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
    EXPECT_EQ(nev->VoidAll(), c.accepted);  // a refused receipt leaves nothing to void
    EXPECT_EQ(TakeSent(), (Sent{{Command::kOpenFiscNote, c.data}, {Command::kVoidAll, ""}}));
  }
}

TEST_F(OperationsTest, VoidAllWarnsAndTellsWhenTheDeviceRefuses) {
  sim.NakCommand(Code(Command::kVoidAll));
  EXPECT_FALSE(nev->VoidAll());
  ExpectOneFrame(Command::kVoidAll, "");
  EXPECT_EQ(Messages(), std::vector<std::string>{kRefused});
  EXPECT_NE(LogText().find("\t(w)\tNEV\tVoidAll\tVoiding fiscal receipt\r\n"), std::string::npos);
}

// The COM server's callers keep the platform's conversion: "?" for what the code page lacks.
TEST_F(OperationsTest, LossyTextBecomesQuestionMarks) {
  nev->StopConnection();
  nev = std::make_unique<nev::NEV>(nev::NEVOptions{folder.str(), true});
  ASSERT_TRUE(nev->InitConnection(sim.SlavePath(), 115200));
  sim.ClearRecord();
  EXPECT_TRUE(nev->OpenServNote());
  EXPECT_TRUE(nev->ServText("a\xE4\xB8\xAD"));
  EXPECT_EQ(TakeSent(), (Sent{{Command::kOpenServNote, ""}, {Command::kServText, "a?\t"}}));
}

TEST_F(OperationsTest, SubTotalReadsFourTotalsWhateverTheDecimalSymbolAndZerosWithoutAReply) {
  double total = 0, a = 0, b = 0, c = 0;
  auto totals = [&] { return std::vector<double>({total, a, b, c}); };
  sim.OverrideReply(Code(Command::kSubTotal), "10.50\t5.00\t3.00\t2.50");
  EXPECT_TRUE(nev->SubTotal(total, a, b, c));
  ExpectOneFrame(Command::kSubTotal, "");
  EXPECT_EQ(totals(), std::vector<double>({10.5, 5, 3, 2.5}));

  nev::platform::SetDecimalSymbolOverride(",");
  total = a = b = c = 0;
  EXPECT_TRUE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(totals(), std::vector<double>({10.5, 5, 3, 2.5}));
  nev::platform::SetDecimalSymbolOverride(".");

  // Two fields: the last one stands for the missing ones.
  sim.OverrideReply(Code(Command::kSubTotal), "10.50\t5.00");
  EXPECT_TRUE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(totals(), std::vector<double>({10.5, 5, 5, 5}));
  EXPECT_TRUE(Messages().empty());

  // Three fields each ended by TAB: the empty fourth does not convert.
  sim.OverrideReply(Code(Command::kSubTotal), "10.50\t5.00\t3.00\t");
  EXPECT_FALSE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(totals(), std::vector<double>({10.5, 5, 3, 0}));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Type mismatch"});

  // No reply at all: false, and the totals are zero.
  sim.NakCommand(Code(Command::kSubTotal));
  total = a = b = c = 7;
  EXPECT_FALSE(nev->SubTotal(total, a, b, c));
  EXPECT_EQ(totals(), std::vector<double>({0, 0, 0, 0}));
  EXPECT_EQ(Messages(), std::vector<std::string>{kRefused});

  const std::string log = LogText();
  EXPECT_NE(log.find("\t(i)\tNEV\tSubTotal\tDecimal Symbol Is: .\r\n"), std::string::npos);
  EXPECT_NE(log.find("\t(i)\tNEV\tSubTotal\tDecimal Symbol Is: ,\r\n"), std::string::npos);
}

}  // namespace
}  // namespace nevtest
