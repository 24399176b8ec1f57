// Receipts as the device keeps them: sales, adjustments, subtotal, payment, close, void, service
// receipts, sums for an operator, and the refusals of commands in the wrong state or with bad data.
#include <algorithm>
#include <sstream>

#include "sim_fixture.h"

namespace simtest {
namespace {

using SimReceipt = SimTest;

// By Cyrillic group letter with decimal commas, by article at its own price (price 0: 1.20 in
// B), by department (2 sells in A); part paid by card, which gives no change, the rest in cash.
TEST_F(SimReceipt, SalesByGroupArticleAndDepartmentAddUpAndArePaidWithChange) {
  Run({Ok(Command::kOpenFiscNote, "01\t", "1"), Ack(Command::kFiscText, "comment\t"),
       Ack(Command::kSellTaxGroup, Cp("Мляко\tБ\t2,000\t1,10\t")),
       Ack(Command::kSellArt, "1\t1.00\t0.00\t"), Ack(Command::kSellDep, "2\t3\t1.5\t"),
       Ok(Command::kSubTotal, "", "7.90\t4.50\t3.40\t0.00"),
       Ok(Command::kPay, "025.00\t", "2.90\t0.00"), Refused(Command::kPay, "0210.00\t"),
       Ok(Command::kPay, "0120.00\t", "0.00\t17.10"), Ok(Command::kCloseFiscNote, "", "1\t7.90")});
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().cash, 2.90);  // 20.00 in, 17.10 change out
  for (const char* line : {"ФИСКАЛЕН БОН", "comment", "Мляко", "2.000 x 1.10",
                           "ОБЩА СУМА                   7.90", "РЕСТО                      17.10"})
    EXPECT_TRUE(Printed(line)) << line << "\n" << sim->Paper();
}

TEST_F(SimReceipt, AdjustmentsSpreadOverTheGroupsAndLinesAreRounded) {
  Run({Ok(Command::kOpenFiscNote, "01\t"), Ack(Command::kSellTaxGroup, "a\tA\t1\t10.00\t"),
       Ack(Command::kSellTaxGroup, "b\tB\t1\t30.00\t")});
  for (const char* bad : {"P\t", "P-100.01\t", "P0\t", "X5\t", "S-40.01\t"})
    Do(Nak(Command::kAddition, bad));
  // 10 % off every group; a sum spread 1:3; "%" makes a percent of an S value too; all off, and
  // then nothing is left to take off.
  Run({Ack(Command::kAddition, "P-10\t"), Ok(Command::kSubTotal, "", "36.00\t9.00\t27.00\t0.00"),
       Ack(Command::kAddition, "S-3.60\t"), Ok(Command::kSubTotal, "", "32.40\t8.10\t24.30\t0.00"),
       Ack(Command::kAddition, "S10%\t"), Ok(Command::kSubTotal, "", "35.64\t8.91\t26.73\t0.00"),
       Ack(Command::kAddition, "P-100\t"), Ok(Command::kSubTotal, "", "0.00\t0.00\t0.00\t0.00"),
       Nak(Command::kAddition, "S-1.00\t"), Ack(Command::kVoidAll)});
  // 0.333 x 1.00 = 0.33; 0.125 rounds half away from zero to 0.13; a negative line takes off
  // its group, but no group may go negative.
  Run({Ok(Command::kOpenFiscNote, "01\t"), Ack(Command::kSellTaxGroup, "x\tC\t0.333\t1.00\t"),
       Ack(Command::kSellTaxGroup, "y\tC\t1\t0.125\t"),
       Ack(Command::kSellTaxGroup, "z\tC\t-1\t0.10\t"),
       Ok(Command::kSubTotal, "", "0.36\t0.00\t0.00\t0.36"),
       Nak(Command::kSellTaxGroup, "z\tA\t-1\t0.10\t"), Ack(Command::kAddition, "S0.01\t"),
       Ok(Command::kSubTotal, "", "0.37\t0.00\t0.00\t0.37")});
}

TEST_F(SimReceipt, CommandsInTheWrongStateAreRefusedWithoutEffect) {
  // No receipt open: ACK-answered commands get NAK (a duplicate too: nothing to copy yet),
  // framed ones the general-error bit.
  Run({Nak(Command::kSellTaxGroup, "a\tA\t1\t1.00\t"), Nak(Command::kSellArt, "1\t1\t1\t"),
       Nak(Command::kSellDep, "1\t1\t1\t"), Nak(Command::kFiscText, "text\t"),
       Nak(Command::kAddition, "P-5\t"), Nak(Command::kVoidAll), Nak(Command::kServText, "text\t"),
       Nak(Command::kDuplicate), Refused(Command::kCloseFiscNote), Refused(Command::kSubTotal),
       Refused(Command::kPay, "01"), Refused(Command::kCloseServNote)});
  // Open: no second receipt, payment before a sale, close before payment, sums, reports.
  Run({Ok(Command::kOpenFiscNote, "01\t"), Refused(Command::kOpenFiscNote, "01\t"),
       Refused(Command::kOpenServNote), Refused(Command::kPay, "01"),
       Ack(Command::kSellTaxGroup, "a\tA\t1\t5.00\t"), Refused(Command::kCloseFiscNote),
       Refused(Command::kAddSum, "01\t01100.00\t"), Nak(Command::kZArticles),
       Refused(Command::kZDay), Refused(Command::kEJournal)});
  // Payment begun: no more sales or adjustments; fully paid: no more payment.
  Run({Ok(Command::kPay, "012.00\t"), Nak(Command::kSellTaxGroup, "b\tA\t1\t1.00\t"),
       Nak(Command::kAddition, "S-1.00\t"), Ok(Command::kPay, "01", "0.00\t0.00"),
       Refused(Command::kPay, "01"), Ok(Command::kCloseFiscNote, "", "1\t5.00")});
}

TEST_F(SimReceipt, BadDataIsRefusedWithoutEffect) {
  Do(Ok(Command::kOpenFiscNote, "01\t"));
  // Bad group, name, numbers, zero quantity, prices out of range, no end TAB, a field too many.
  for (const char* d :
       {"a\tD\t1\t1.00\t", "a\tAB\t1\t1.00\t", "\tA\t1\t1.00\t", "a\tA\t1.2.3\t1.00\t",
        "a\tA\t1e3\t1.00\t", "a\tA\tnan\t1.00\t", "a\tA\t0\t1.00\t", "a\tA\t1\t10000000.00\t",
        "a\tA\t1\t9999999999999\t", "a\tA\t1\t1.00", "a\tA\t1\t1.00\textra\t"})
    Do(Nak(Command::kSellTaxGroup, d));
  // No such article or department, no end TAB; a long name is cut to the roll; bad payments.
  Run({Nak(Command::kSellArt, "999\t1.00\t1.00\t"), Nak(Command::kSellArt, "1.5\t1.00\t1.00\t"),
       Nak(Command::kSellDep, "9\t1\t1\t"), Nak(Command::kSellDep, "1.5\t1\t1\t"),
       Nak(Command::kFiscText, "no tab"), Ok(Command::kSubTotal, "", "0.00\t0.00\t0.00\t0.00"),
       Ack(Command::kSellTaxGroup, std::string(200, 'n') + "\tA\t1\t1.00\t"),
       Refused(Command::kPay, "05"), Refused(Command::kPay, "01-5.00\t"),
       Refused(Command::kPay, "011.00"), Ok(Command::kPay, "01"), Ok(Command::kCloseFiscNote),
       Nak(Command::kPaperFeed, "100"), Nak(Command::kPaperFeed, "-1"),
       Nak(Command::kPaperFeed, "xx"), Nak(Command::kZSwitch, "2"), Nak(Command::kZSwitch, "")});
  // The till roll is 32 characters wide.
  std::istringstream paper(sim->Paper());
  for (std::string line; std::getline(paper, line);)
    EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }),
              32)
        << line;
}

// A voided receipt has no duplicate; service text needs a service receipt.
TEST_F(SimReceipt, VoidedAndServiceReceiptsArePrintedAndCounted) {
  Run({Ok(Command::kOpenFiscNote, "01\t"), Ack(Command::kSellTaxGroup, "a\tA\t1\t5.00\t"),
       Ack(Command::kVoidAll), Nak(Command::kDuplicate), Ok(Command::kOpenServNote, "", "2"),
       Nak(Command::kFiscText, "fiscal text\t"), Ack(Command::kServText, Cp("Служебен текст\t")),
       Ack(Command::kServText, "\t"), Ok(Command::kCloseServNote, "", "2"),
       Ok(Command::kNumberOfNotes, "", "2\t0\t1\t1")});
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().day_total, 0.0);
  for (const char* text : {"АНУЛИРАН БОН", "\nСлужебен текст\n\n", "НЕФИСКАЛЕН БОН"})
    EXPECT_TRUE(Printed(text)) << text << "\n" << sim->Paper();
}

// Refused: more than the drawer holds, no operator 17, no end TAB, zero.
TEST_F(SimReceipt, SumsInAndOutForAnOperatorMoveTheDrawer) {
  Run({Ok(Command::kAddSum, "03\t01100.00\t", "100.00"),
       Ok(Command::kAddSum, "03secret\t01-40,50\t", "59.50"),
       Refused(Command::kAddSum, "03\t01-60.00\t"), Refused(Command::kAddSum, "17\t0110.00\t"),
       Refused(Command::kAddSum, "03\t0110.00"), Refused(Command::kAddSum, "03\t010.00\t")});
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().cash, 59.50);
  EXPECT_TRUE(Printed("СЛУЖЕБНО ИЗВЕДЕНИ"));
}

// The buyer's field must start with "I".
TEST_F(SimReceipt, OperatorPasswordAndInvoice) {
  sim->SetOperatorPassword(2, "4321");
  Run({Refused(Command::kOpenFiscNote, "02\t"), Refused(Command::kOpenFiscNote, "021234\t"),
       Refused(Command::kOpenFiscNote, "00\t"), Refused(Command::kOpenFiscNote, "x1\t"),
       Ok(Command::kOpenFiscNote, "024321\tI123456789\t", "1"), Ack(Command::kVoidAll),
       Refused(Command::kOpenFiscNote, "01\tX1\t")});
  EXPECT_TRUE(Printed("ФАКТУРА"));
  EXPECT_TRUE(Printed("123456789"));
}

}  // namespace
}  // namespace simtest
