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

// Each row: the value and its text; a NaN or infinite value is error 5 in every form.
struct Row {
  double value;
  const char* text;
};

TEST(NumberFormat, TwoDigitTextPadsRoundsAndSigns) {
  EXPECT_EQ(TwoDigitText(int64_t{-2147483648}), "-2147483648");
  // A negative value that rounds to zero has no minus sign.
  for (const Row& r : {Row{7.6, "08"}, Row{2.5, "03"}, Row{-2.5, "-03"}, Row{99.5, "100"},
                       Row{0.49, "00"}, Row{-0.4, "00"}, Row{-0.0, "00"}}) {
    EXPECT_EQ(TwoDigitText(r.value), r.text) << r.value;
  }
  EXPECT_EQ(ErrorOf([] { TwoDigitText(kNaN); }), 5);
  EXPECT_EQ(ErrorOf([] { TwoDigitText(-kInf); }), 5);
}

TEST(NumberFormat, AmountTextTwoDecimalsHalfAwayFromZeroOnTheShortestForm) {
  EXPECT_EQ(AmountText(2.5, ","), "2,50");
  for (const Row& r : {Row{0, "0.00"}, Row{0.5, "0.50"}, Row{1.005, "1.01"}, Row{-1.005, "-1.01"},
                       Row{9.995, "10.00"}, Row{0.005, "0.01"}, Row{0.0049, "0.00"},
                       Row{-0.004, "0.00"}, Row{-0.0, "0.00"}, Row{1e-7, "0.00"},
                       Row{1234567.891, "1234567.89"}, Row{1e20, "100000000000000000000.00"}}) {
    EXPECT_EQ(AmountText(r.value, "."), r.text) << r.value;
  }
  EXPECT_EQ(ErrorOf([] { AmountText(kNaN, "."); }), 5);
  EXPECT_EQ(ErrorOf([] { AmountText(kInf, "."); }), 5);
}

TEST(NumberFormat, GeneralTextFifteenSignificantDigitsPlainDecimal) {
  for (const Row& r :
       {Row{0.333, "0.333"}, Row{0, "0"}, Row{-0.0, "0"}, Row{-0.5, "-0.5"},
        Row{1.0 / 3, "0.333333333333333"}, Row{2.0 / 3, "0.666666666666667"},
        Row{0.9999999999999999, "1"}, Row{2147483647, "2147483647"},
        Row{123456789012345678.0, "123456789012346000"}, Row{1e20, "100000000000000000000"},
        Row{1e-5, "0.00001"}, Row{-1.5e-20, "-0.000000000000000000015"}}) {
    EXPECT_EQ(GeneralText(r.value, "."), r.text) << r.text;
  }
  EXPECT_EQ(ErrorOf([] { GeneralText(kNaN, "."); }), 5);
}

}  // namespace
}  // namespace nev::operations
