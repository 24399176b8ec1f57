// Caller texts and numbers that would shift, add or garble device fields are refused before
// anything is sent: run-time error 5 naming the parameter, and nothing on the wire.
#include <climits>
#include <cmath>
#include <functional>
#include <string>

#include "fixture.h"

namespace nevtest {
namespace {

class RefusalTest : public OperationsTest {};

TEST_F(RefusalTest, InjectionCodePageAndRangeRefusalsSendNothing) {
  const struct {
    const char* call;
    std::function<bool()> run;  // true when the call's result says it succeeded
    const char* param;
  } cases[] = {
      // Field injection through free texts.
      {"SellTaxGroup Name with TABs",
       [&] { return nev->SellTaxGroup("Хляб\tA\t1\t0.01", "B", 1, 2); }, "Name"},
      {"SellTaxGroup TaxGroup with TAB", [&] { return nev->SellTaxGroup("x", "A\tB", 1, 2); },
       "TaxGroup"},
      {"OpenFiscNote Pass with a buyer", [&] { return nev->OpenFiscNote("1", "0000\tI123456789"); },
       "Pass"},
      {"OpenFiscNote BS with LF", [&] { return nev->OpenFiscNote("1", "0000", "12\n3"); }, "BS"},
      {"FiscText with ETX",
       [&] {
         return nev->FiscText(
             "a\x03"
             "b");
       },
       "text"},
      {"ServText with STX", [&] { return nev->ServText("\x02"); }, "text"},
      {"ServText with NUL", [&] { return nev->ServText(std::string("a\0b", 3)); }, "text"},
      {"ServText with ACK, NAK, SYN, CR", [&] { return nev->ServText("\x06\x15\x16\r"); }, "text"},
      {"AddSum Pass with TAB", [&] { return nev->AddSum("1", "0\t", 1, 1); }, "Pass"},
      {"Addition V with TAB",
       [&] {
         nev->Addition(true, "10\t1");
         return false;
       },
       "V"},
      {"SetArticle Name with TAB",
       [&] {
         nev->SetArticle("1", "a\tb", "1.00", 1, 1, 1, 0, "", "1");
         return false;
       },
       "Name"},
      {"SetArticle Q with CR",
       [&] {
         nev->SetArticle("1", "a", "1.00", 1, 1, 1, 0, "", "1\r");
         return false;
       },
       "Q"},
      // Characters the device's code page cannot carry, and invalid UTF-8.
      {"FiscText with an emoji", [&] { return nev->FiscText("Кафе \xF0\x9F\x98\x80"); }, "text"},
      {"ServText with CJK", [&] { return nev->ServText("\xE4\xB8\xAD\xE6\x96\x87"); }, "text"},
      {"SellTaxGroup invalid UTF-8", [&] { return nev->SellTaxGroup("\xFF\xFE", "A", 1, 1); },
       "Name"},
      {"GetFirstFMReport s in CJK", [&] { return !nev->GetFirstFMReport("\xE4\xB8\xAD").empty(); },
       "s"},
      // Numbers whose text would run into the next field.
      {"AddSum Pay 256", [&] { return nev->AddSum("1", "", 1, 256); }, "Pay"},
      {"AddSum Pay -1", [&] { return nev->AddSum("1", "", 1, -1); }, "Pay"},
      {"Pay INT32_MIN", [&] { return nev->Pay(INT32_MIN, 1); }, "PayType"},
      {"Pay 100", [&] { return nev->Pay(100, 1); }, "PayType"},
      {"OpenFiscNote casher 123", [&] { return nev->OpenFiscNote("123", ""); }, "casher"},
      {"OpenFiscNote casher 99.5", [&] { return nev->OpenFiscNote("99.5", ""); }, "casher"},
      {"AddSum casher -3", [&] { return nev->AddSum("-3", "", 1, 1); }, "casher"},
  };
  nev->SilentMode(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    const uint8_t before = nev::NEVAccess::State(*nev).link.sequence;
    EXPECT_FALSE(c.run());
    EXPECT_EQ(nev::NEVAccess::State(*nev).link.sequence, before);  // not even a frame was built
    const std::string log = LogText();
    const std::string expected =
        std::string("Err_Description: ") + kInvalidArgument + ": " + c.param + " ";
    EXPECT_NE(log.find("Err_No: 5\r\n\t" + expected), std::string::npos)
        << log.substr(log.size() > 400 ? log.size() - 400 : 0);
    ExpectNothingSent();
    EXPECT_TRUE(Messages().empty());
  }
}

// The edges that stay allowed: the documented digits of PaperFeed, the FM report's s as the
// caller gives it, 0 and 99 for the joined numbers, and Cyrillic text.
TEST_F(RefusalTest, AllowedEdgesStillTravel) {
  // The device may refuse some of these; what matters is that they travel as given.
  nev->OpenFiscNote("99", "x");
  ExpectOneFrame(Command::kOpenFiscNote, "99x\t");
  nev->VoidAll();
  sim.ClearRecord();
  EXPECT_TRUE(nev->OpenFiscNote("1", ""));
  sim.ClearRecord();
  EXPECT_TRUE(nev->SellTaxGroup("Хляб", "B", 1, 1));
  ExpectOneFrame(Command::kSellTaxGroup, "\xD5\xEB\xFF\xE1\tB\t1.00\t1.00\t");
  nev->Pay(0, 1);
  ExpectOneFrame(Command::kPay, "001.00\t");
  nev->AddSum("0", "", 1, 99);
  ExpectOneFrame(Command::kAddSum, "00\t991.00\t");
  nev->VoidAll();
  sim.ClearRecord();
  nev->PaperFeed(-5);
  ExpectOneFrame(Command::kPaperFeed, "-05");
  nev->GetFirstFMReport("0\t1\x01");
  ExpectOneFrame(Command::kFirstFMReport, "0\t1\x01");
  Messages();
}

// The COM server's callers keep the platform's conversion: "?" for what the code page lacks.
TEST_F(RefusalTest, LossyTextBecomesQuestionMarks) {
  nev->StopConnection();
  nev = std::make_unique<nev::NEV>(nev::NEVOptions{folder.str(), true});
  ASSERT_TRUE(nev->InitConnection(sim.SlavePath(), 115200));
  sim.ClearRecord();
  EXPECT_TRUE(nev->OpenServNote());
  EXPECT_TRUE(nev->ServText("a\xE4\xB8\xAD"));
  EXPECT_EQ(TakeSent(), (Sent{{Command::kOpenServNote, ""}, {Command::kServText, "a?\t"}}));
}

}  // namespace
}  // namespace nevtest
