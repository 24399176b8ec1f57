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
  Run({Ok(0x83, "01\t", "1"), Ack(0x86, Cp("Мляко\tБ\t2,000\t1,10\t")),
       Ack(0x87, "1\t1.00\t0.00\t"), Ack(0x88, "2\t3\t1.5\t"),
       Ok(0x8A, "", "7.90\t4.50\t3.40\t0.00"), Ok(0x8B, "025.00\t", "2.90\t0.00"),
       Refused(0x8B, "0210.00\t"), Ok(0x8B, "0120.00\t", "0.00\t17.10"), Ok(0x84, "", "1\t7.90")});
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().cash, 2.90);  // 20.00 in, 17.10 change out
  for (const char* line : {"ФИСКАЛЕН БОН", "Мляко", "2.000 x 1.10",
                           "ОБЩА СУМА                   7.90", "РЕСТО                      17.10"})
    EXPECT_TRUE(Printed(line)) << line << "\n" << sim->Paper();
}

TEST_F(SimReceipt, AdjustmentsSpreadOverTheGroupsAndLinesAreRounded) {
  Run({Ok(0x83, "01\t"), Ack(0x86, "a\tA\t1\t10.00\t"), Ack(0x86, "b\tB\t1\t30.00\t")});
  for (const char* bad : {"P\t", "P-100.01\t", "P0\t", "X5\t", "S-40.01\t"}) Do(Nak(0x89, bad));
  // 10 % off every group; a sum spread 1:3; "%" makes a percent of an S value too; all off, and
  // then nothing is left to take off.
  Run({Ack(0x89, "P-10\t"), Ok(0x8A, "", "36.00\t9.00\t27.00\t0.00"), Ack(0x89, "S-3.60\t"),
       Ok(0x8A, "", "32.40\t8.10\t24.30\t0.00"), Ack(0x89, "S10%\t"),
       Ok(0x8A, "", "35.64\t8.91\t26.73\t0.00"), Ack(0x89, "P-100\t"),
       Ok(0x8A, "", "0.00\t0.00\t0.00\t0.00"), Nak(0x89, "S-1.00\t"), Ack(0x8C)});
  // 0.333 x 1.00 = 0.33; 0.125 rounds half away from zero to 0.13; a negative line takes off
  // its group, but no group may go negative.
  Run({Ok(0x83, "01\t"), Ack(0x86, "x\tC\t0.333\t1.00\t"), Ack(0x86, "y\tC\t1\t0.125\t"),
       Ack(0x86, "z\tC\t-1\t0.10\t"), Ok(0x8A, "", "0.36\t0.00\t0.00\t0.36"),
       Nak(0x86, "z\tA\t-1\t0.10\t"), Ack(0x89, "S0.01\t"),
       Ok(0x8A, "", "0.37\t0.00\t0.00\t0.37")});
}

TEST_F(SimReceipt, CommandsInTheWrongStateAreRefusedWithoutEffect) {
  // No receipt open: ACK-answered commands get NAK (a duplicate too: nothing to copy yet),
  // framed ones the general-error bit.
  Run({Nak(0x86, "a\tA\t1\t1.00\t"), Nak(0x87, "1\t1\t1\t"), Nak(0x88, "1\t1\t1\t"),
       Nak(0x85, "text\t"), Nak(0x89, "P-5\t"), Nak(0x8C), Nak(0x82, "text\t"), Nak(0x90),
       Refused(0x84), Refused(0x8A), Refused(0x8B, "01"), Refused(0x81)});
  // Open: no second receipt, payment before a sale, close before payment, sums, reports.
  Run({Ok(0x83, "01\t"), Refused(0x83, "01\t"), Refused(0x80), Refused(0x8B, "01"),
       Ack(0x86, "a\tA\t1\t5.00\t"), Refused(0x84), Refused(0x8D, "01\t01100.00\t"), Nak(0x9A),
       Refused(0x99), Refused(0x91)});
  // Payment begun: no more sales or adjustments; fully paid: no more payment.
  Run({Ok(0x8B, "012.00\t"), Nak(0x86, "b\tA\t1\t1.00\t"), Nak(0x89, "S-1.00\t"),
       Ok(0x8B, "01", "0.00\t0.00"), Refused(0x8B, "01"), Ok(0x84, "", "1\t5.00")});
}

TEST_F(SimReceipt, BadDataIsRefusedWithoutEffect) {
  Do(Ok(0x83, "01\t"));
  // Bad group, name, numbers, zero quantity, prices out of range, no end TAB, a field too many.
  for (const char* d :
       {"a\tD\t1\t1.00\t", "a\tAB\t1\t1.00\t", "\tA\t1\t1.00\t", "a\tA\t1.2.3\t1.00\t",
        "a\tA\t1e3\t1.00\t", "a\tA\tnan\t1.00\t", "a\tA\t0\t1.00\t", "a\tA\t1\t10000000.00\t",
        "a\tA\t1\t9999999999999\t", "a\tA\t1\t1.00", "a\tA\t1\t1.00\textra\t"})
    Do(Nak(0x86, d));
  // No such article or department, no end TAB; a long name is cut to the roll; bad payments.
  Run({Nak(0x87, "999\t1.00\t1.00\t"), Nak(0x87, "1.5\t1.00\t1.00\t"), Nak(0x88, "9\t1\t1\t"),
       Nak(0x88, "1.5\t1\t1\t"), Nak(0x85, "no tab"), Ok(0x8A, "", "0.00\t0.00\t0.00\t0.00"),
       Ack(0x86, std::string(200, 'n') + "\tA\t1\t1.00\t"), Refused(0x8B, "05"),
       Refused(0x8B, "01-5.00\t"), Refused(0x8B, "011.00"), Ok(0x8B, "01"), Ok(0x84),
       Nak(0x8F, "100"), Nak(0x8F, "-1"), Nak(0x8F, "xx"), Nak(0x29, "2"), Nak(0x29, "")});
  // The till roll is 32 characters wide.
  std::istringstream paper(sim->Paper());
  for (std::string line; std::getline(paper, line);)
    EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }),
              32)
        << line;
}

// A voided receipt has no duplicate; service text needs a service receipt.
TEST_F(SimReceipt, VoidedAndServiceReceiptsArePrintedAndCounted) {
  Run({Ok(0x83, "01\t"), Ack(0x86, "a\tA\t1\t5.00\t"), Ack(0x8C), Nak(0x90), Ok(0x80, "", "2"),
       Nak(0x85, "fiscal text\t"), Ack(0x82, Cp("Служебен текст\t")), Ack(0x82, "\t"),
       Ok(0x81, "", "2"), Ok(0x92, "", "2\t0\t1\t1")});
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().day_total, 0.0);
  for (const char* text : {"АНУЛИРАН БОН", "\nСлужебен текст\n\n", "НЕФИСКАЛЕН БОН"})
    EXPECT_TRUE(Printed(text)) << text << "\n" << sim->Paper();
}

// Refused: more than the drawer holds, no operator 17, no end TAB, zero.
TEST_F(SimReceipt, SumsInAndOutForAnOperatorMoveTheDrawer) {
  Run({Ok(0x8D, "03\t01100.00\t", "100.00"), Ok(0x8D, "03secret\t01-40,50\t", "59.50"),
       Refused(0x8D, "03\t01-60.00\t"), Refused(0x8D, "17\t0110.00\t"),
       Refused(0x8D, "03\t0110.00"), Refused(0x8D, "03\t010.00\t")});
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().cash, 59.50);
  EXPECT_TRUE(Printed("СЛУЖЕБНО ИЗВЕДЕНИ"));
}

// The buyer's field must start with "I".
TEST_F(SimReceipt, OperatorPasswordAndInvoice) {
  sim->SetOperatorPassword(2, "4321");
  Run({Refused(0x83, "02\t"), Refused(0x83, "021234\t"), Refused(0x83, "00\t"),
       Refused(0x83, "x1\t"), Ok(0x83, "024321\tI123456789\t", "1"), Ack(0x8C),
       Refused(0x83, "01\tX1\t")});
  EXPECT_TRUE(Printed("ФАКТУРА"));
  EXPECT_TRUE(Printed("123456789"));
}

}  // namespace
}  // namespace simtest
