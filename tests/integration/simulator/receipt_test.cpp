// Receipts as the device keeps them: sales, adjustments, subtotal, payment, close, void, service
// receipts, sums for an operator, and the refusals of commands in the wrong state.
#include "sim_fixture.h"

namespace simtest {
namespace {

using SimReceipt = SimTest;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(SimReceipt, SalesByGroupArticleAndDepartmentAddUpAndArePaidWithChange) {
  EXPECT_EQ(Ok(0x83, "01\t"), "1");
  // Group by its Cyrillic letter and amounts with a decimal comma.
  Acked(0x86, Cp("Мляко\tБ\t2,000\t1,10\t"));
  Acked(0x87, "1\t1.00\t0.00\t");  // price 0: the article's own price (1.20, group B)
  Acked(0x88, "2\t3\t1.5\t");      // department 2 sells in group A
  EXPECT_EQ(Ok(0x8A), "7.90\t4.50\t3.40\t0.00");
  EXPECT_EQ(Ok(0x8B, "025.00\t"), "2.90\t0.00");          // card, part of it
  EXPECT_TRUE(port->Command(0x8B, "0210.00\t").error());  // card gives no change
  EXPECT_EQ(Ok(0x8B, "0120.00\t"), "0.00\t17.10");
  auto t = sim->CurrentTotals();
  EXPECT_TRUE(t.fiscal_open);
  EXPECT_DOUBLE_EQ(t.paid, 25.0);
  EXPECT_DOUBLE_EQ(t.change, 17.10);
  EXPECT_EQ(Ok(0x84), "1\t7.90");
  t = sim->CurrentTotals();
  EXPECT_FALSE(t.fiscal_open);
  EXPECT_EQ(t.receipts, 1);
  EXPECT_DOUBLE_EQ(t.total, 7.90);
  EXPECT_DOUBLE_EQ(t.day_total, 7.90);
  EXPECT_DOUBLE_EQ(t.cash, 2.90);  // 20.00 in, 17.10 change out
  const std::string paper = sim->Paper();
  EXPECT_TRUE(Has(paper, "Мляко")) << paper;
  EXPECT_TRUE(Has(paper, "2.000 x 1.10")) << paper;
  EXPECT_TRUE(Has(paper, "ОБЩА СУМА                   7.90")) << paper;
  EXPECT_TRUE(Has(paper, "РЕСТО                      17.10")) << paper;
  EXPECT_TRUE(Has(paper, "ФИСКАЛЕН БОН")) << paper;
  // The till roll is 32 characters wide.
  size_t start = 0;
  while (start < paper.size()) {
    size_t end = paper.find('\n', start);
    std::string line = paper.substr(start, end - start);
    size_t chars = 0;
    for (unsigned char c : line) chars += (c & 0xC0) != 0x80;
    EXPECT_LE(chars, 32u) << line;
    start = end + 1;
  }
}

TEST_F(SimReceipt, AdjustmentsByPercentAndBySumSpreadOverTheGroups) {
  Ok(0x83, "01\t");
  Acked(0x86, "a\tA\t1\t10.00\t");
  Acked(0x86, "b\tB\t1\t30.00\t");
  Naked(0x89, "P\t");  // no value
  Naked(0x89, "P-100.01\t");
  Naked(0x89, "P0\t");
  Naked(0x89, "X5\t");
  Naked(0x89, "S-40.01\t");  // more than the receipt
  Acked(0x89, "P-10\t");     // 10 % off every group
  EXPECT_EQ(Ok(0x8A), "36.00\t9.00\t27.00\t0.00");
  Acked(0x89, "S-3.60\t");  // a sum, spread 1:3
  EXPECT_EQ(Ok(0x8A), "32.40\t8.10\t24.30\t0.00");
  Acked(0x89, "S10%\t");  // "%" makes a percent of an S value too
  EXPECT_EQ(Ok(0x8A), "35.64\t8.91\t26.73\t0.00");
  Acked(0x89, "P-100\t");
  EXPECT_EQ(Ok(0x8A), "0.00\t0.00\t0.00\t0.00");
  Naked(0x89, "S-1.00\t");  // nothing left to take off
}

TEST_F(SimReceipt, RoundingOfLinesAndOddSums) {
  Ok(0x83, "01\t");
  Acked(0x86, "x\tC\t0.333\t1.00\t");  // 0.333 -> 0.33
  Acked(0x86, "y\tC\t1\t0.125\t");     // price rounded half away from zero: 0.13
  Acked(0x86, "z\tC\t-1\t0.10\t");     // a negative line takes off its group
  EXPECT_EQ(Ok(0x8A), "0.36\t0.00\t0.00\t0.36");
  Naked(0x86, "z\tA\t-1\t0.10\t");  // group A would go negative
  Acked(0x89, "S0.01\t");
  EXPECT_EQ(Ok(0x8A), "0.37\t0.00\t0.00\t0.37");
}

TEST_F(SimReceipt, CommandsInTheWrongStateAreRefusedAsDocumented) {
  // No receipt open: ACK-answered commands get NAK, framed ones the general-error bit.
  Naked(0x86, "a\tA\t1\t1.00\t");
  Naked(0x87, "1\t1\t1\t");
  Naked(0x88, "1\t1\t1\t");
  Naked(0x85, "text\t");
  Naked(0x89, "P-5\t");
  Naked(0x8C);
  Naked(0x82, "text\t");
  Naked(0x90);  // nothing to copy yet
  Refused(0x84);
  Refused(0x8A);
  Refused(0x8B, "01");
  Refused(0x81);
  Ok(0x83, "01\t");
  Refused(0x83, "01\t");  // already open
  Refused(0x80);
  Refused(0x8B, "01");  // nothing sold
  Acked(0x86, "a\tA\t1\t5.00\t");
  Refused(0x84);  // not paid
  EXPECT_TRUE(sim->CurrentTotals().fiscal_open);
  Refused(0x8D, "01\t01100.00\t");  // no sums in or out during a receipt
  Naked(0x9A);
  Refused(0x99);
  Refused(0x91);
  Ok(0x8B, "012.00\t");
  Naked(0x86, "b\tA\t1\t1.00\t");  // payment has begun
  Naked(0x89, "S-1.00\t");
  Ok(0x8B, "01");       // the rest
  Refused(0x8B, "01");  // fully paid
  Ok(0x84);
  EXPECT_EQ(sim->CurrentTotals().receipts, 1);
}

TEST_F(SimReceipt, BadDataIsRefusedWithoutEffect) {
  Ok(0x83, "01\t");
  const char* bad_sales[] = {
      "a\tD\t1\t1.00\t",           // no group D
      "a\tAB\t1\t1.00\t",          // two letters
      "\tA\t1\t1.00\t",            // no name
      "a\tA\t1.2.3\t1.00\t",       // not a number
      "a\tA\t1e3\t1.00\t",         // no exponents
      "a\tA\tnan\t1.00\t",         //
      "a\tA\t0\t1.00\t",           // zero quantity
      "a\tA\t1\t10000000.00\t",    // price beyond the device's range
      "a\tA\t1\t9999999999999\t",  // beyond any range
      "a\tA\t1\t1.00",             // not ended by TAB
      "a\tA\t1\t1.00\textra\t",    // a field too many
  };
  for (const char* d : bad_sales) Naked(0x86, d);
  Naked(0x87, "999\t1.00\t1.00\t");  // no such article
  Naked(0x87, "1.5\t1.00\t1.00\t");
  Naked(0x88, "9\t1\t1\t");    // no such department
  Naked(0x88, "1.5\t1\t1\t");  // not a whole number
  Naked(0x85, "no tab");
  EXPECT_EQ(Ok(0x8A), "0.00\t0.00\t0.00\t0.00");
  Acked(0x86, std::string(200, 'n') + "\tA\t1\t1.00\t");  // long names are cut to the roll
  Refused(0x8B, "05");                                    // no such payment type
  Refused(0x8B, "01-5.00\t");                             // negative payment
  Refused(0x8B, "011.00");                                // amount not ended by TAB
  Ok(0x8B, "01");
  Ok(0x84);
  Naked(0x8F, "100");
  Naked(0x8F, "-1");
  Naked(0x8F, "xx");
  Naked(0x29, "2");
  Naked(0x29, "");
}

TEST_F(SimReceipt, VoidDiscardsTheReceiptAndCountsIt) {
  Ok(0x83, "01\t");
  Acked(0x86, "a\tA\t1\t5.00\t");
  Acked(0x8C);
  auto t = sim->CurrentTotals();
  EXPECT_FALSE(t.fiscal_open);
  EXPECT_DOUBLE_EQ(t.day_total, 0.0);
  EXPECT_EQ(t.receipts, 0);
  EXPECT_EQ(Ok(0x92), "1\t0\t0\t1");  // last number, fiscal, service, voided
  EXPECT_TRUE(Has(sim->Paper(), "АНУЛИРАН БОН"));
  Naked(0x90);  // a voided receipt has no duplicate
}

TEST_F(SimReceipt, ServiceReceiptPrintsItsTextAndIsCounted) {
  EXPECT_EQ(Ok(0x80), "1");
  Naked(0x85, "fiscal text\t");  // no fiscal receipt open
  Acked(0x82, Cp("Служебен текст\t"));
  Acked(0x82, "\t");
  EXPECT_EQ(Ok(0x81), "1");
  const std::string paper = sim->Paper();
  EXPECT_TRUE(Has(paper, "\nСлужебен текст\n\n")) << paper;
  EXPECT_TRUE(Has(paper, "НЕФИСКАЛЕН БОН"));
  EXPECT_EQ(Ok(0x92), "1\t0\t1\t0");
}

TEST_F(SimReceipt, SumsInAndOutForAnOperatorMoveTheDrawer) {
  EXPECT_EQ(Ok(0x8D, "03\t01100.00\t"), "100.00");
  EXPECT_EQ(Ok(0x8D, "03secret\t01-40,50\t"), "59.50");
  Refused(0x8D, "03\t01-60.00\t");  // more than the drawer holds
  Refused(0x8D, "17\t0110.00\t");   // no operator 17
  Refused(0x8D, "03\t0110.00");     // not ended by TAB
  Refused(0x8D, "03\t010.00\t");    // zero
  EXPECT_DOUBLE_EQ(sim->CurrentTotals().cash, 59.50);
  EXPECT_TRUE(Has(sim->Paper(), "СЛУЖЕБНО ИЗВЕДЕНИ"));
}

TEST_F(SimReceipt, OperatorPasswordAndInvoice) {
  sim->SetOperatorPassword(2, "4321");
  Refused(0x83, "02\t");
  Refused(0x83, "021234\t");
  Refused(0x83, "00\t");
  Refused(0x83, "x1\t");
  EXPECT_EQ(Ok(0x83, "024321\tI123456789\t"), "1");
  EXPECT_TRUE(Has(sim->Paper(), "ФАКТУРА"));
  EXPECT_TRUE(Has(sim->Paper(), "123456789"));
  Acked(0x8C);
  Refused(0x83, "01\tX1\t");  // the second field must start with "I"
}

}  // namespace
}  // namespace simtest
