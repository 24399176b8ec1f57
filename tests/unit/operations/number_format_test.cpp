// Number texts of the command data, from values to exact texts.
#include "operations/number_format.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/helpers.h"

namespace nev::operations {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using nevtest::ErrorOf;

TEST(NumberFormat, TwoDigitTextPadsRoundsAndSigns) {
  EXPECT_EQ(TwoDigitText(int64_t{-2147483648}), "-2147483648");
  EXPECT_EQ(TwoDigitText(7.6), "08");
  EXPECT_EQ(TwoDigitText(2.5), "03");
  EXPECT_EQ(TwoDigitText(-2.5), "-03");
  EXPECT_EQ(TwoDigitText(99.5), "100");
  EXPECT_EQ(TwoDigitText(0.49), "00");
  // A negative value that rounds to zero has no minus sign.
  EXPECT_EQ(TwoDigitText(-0.4), "00");
  EXPECT_EQ(TwoDigitText(-0.0), "00");
  EXPECT_EQ(ErrorOf([] { TwoDigitText(kNaN); }), 5);
  EXPECT_EQ(ErrorOf([] { TwoDigitText(-kInf); }), 5);
}

TEST(NumberFormat, AmountTextTwoDecimalsHalfAwayFromZeroOnTheShortestForm) {
  EXPECT_EQ(AmountText(2.5, ","), "2,50");
  EXPECT_EQ(AmountText(0, "."), "0.00");
  EXPECT_EQ(AmountText(0.5, "."), "0.50");
  EXPECT_EQ(AmountText(1.005, "."), "1.01");
  EXPECT_EQ(AmountText(-1.005, "."), "-1.01");
  EXPECT_EQ(AmountText(9.995, "."), "10.00");
  EXPECT_EQ(AmountText(0.005, "."), "0.01");
  EXPECT_EQ(AmountText(0.0049, "."), "0.00");
  EXPECT_EQ(AmountText(-0.004, "."), "0.00");
  EXPECT_EQ(AmountText(-0.0, "."), "0.00");
  EXPECT_EQ(AmountText(1e-7, "."), "0.00");
  EXPECT_EQ(AmountText(1234567.891, "."), "1234567.89");
  EXPECT_EQ(AmountText(1e20, "."), "100000000000000000000.00");
  EXPECT_EQ(ErrorOf([] { AmountText(kNaN, "."); }), 5);
  EXPECT_EQ(ErrorOf([] { AmountText(kInf, "."); }), 5);
}

TEST(NumberFormat, GeneralTextFifteenSignificantDigitsPlainDecimal) {
  EXPECT_EQ(GeneralText(0.333, "."), "0.333");
  EXPECT_EQ(GeneralText(0, "."), "0");
  EXPECT_EQ(GeneralText(-0.0, "."), "0");
  EXPECT_EQ(GeneralText(-0.5, "."), "-0.5");
  EXPECT_EQ(GeneralText(1.0 / 3, "."), "0.333333333333333");
  EXPECT_EQ(GeneralText(2.0 / 3, "."), "0.666666666666667");
  EXPECT_EQ(GeneralText(0.9999999999999999, "."), "1");
  EXPECT_EQ(GeneralText(2147483647, "."), "2147483647");
  EXPECT_EQ(GeneralText(123456789012345678.0, "."), "123456789012346000");
  EXPECT_EQ(GeneralText(1e20, "."), "100000000000000000000");
  EXPECT_EQ(GeneralText(1e-5, "."), "0.00001");
  EXPECT_EQ(GeneralText(-1.5e-20, "."), "-0.000000000000000000015");
  EXPECT_EQ(ErrorOf([] { GeneralText(kNaN, "."); }), 5);
}

}  // namespace
}  // namespace nev::operations
