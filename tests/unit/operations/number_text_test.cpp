// Number texts of the command data, from values to exact texts.
#include "operations/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nev/error.h"
#include "platform/regional.h"
#include "support/helpers.h"

namespace nev::operations {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using nevtest::ErrorOf;

TEST(NumberText, TwoDigitTextPadsRoundsAndSigns) {
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

TEST(NumberText, AmountTextTwoDecimalsHalfAwayFromZeroOnTheShortestForm) {
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

TEST(NumberText, GeneralTextFifteenSignificantDigitsPlainDecimal) {
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

TEST(NumberText, LeadingNumberReadsLikeAPlainNumberWhateverTheLocale) {
  platform::SetDecimalSymbolOverride(",");
  EXPECT_EQ(LeadingNumber("7.6"), 7.6);
  platform::SetDecimalSymbolOverride(std::nullopt);
  EXPECT_EQ(LeadingNumber("3"), 3);
  EXPECT_EQ(LeadingNumber(" 2"), 2);
  EXPECT_EQ(LeadingNumber("1 2"), 12);
  EXPECT_EQ(LeadingNumber("12abc"), 12);
  EXPECT_EQ(LeadingNumber("x1"), 0);
  EXPECT_EQ(LeadingNumber("abc"), 0);
  EXPECT_EQ(LeadingNumber(""), 0);
  EXPECT_EQ(LeadingNumber("."), 0);
  EXPECT_EQ(LeadingNumber(".5"), 0.5);
  EXPECT_EQ(LeadingNumber("-3"), -3);
  EXPECT_EQ(LeadingNumber("1,5"), 1);
  EXPECT_EQ(LeadingNumber("1.2.3"), 1.2);
  EXPECT_EQ(LeadingNumber("1e3"), 1000);
  EXPECT_EQ(LeadingNumber("3e"), 3);
  EXPECT_EQ(LeadingNumber("inf"), 0);
  EXPECT_EQ(LeadingNumber("nan"), 0);
  EXPECT_EQ(LeadingNumber("1e-400"), 0);
  EXPECT_EQ(ErrorOf([] { LeadingNumber("1e400"); }), 6);
  EXPECT_EQ(ErrorOf([] { LeadingNumber(std::string(400, '9')); }), 6);
}

// The whole range of the one-character forms (the wire tests cover the usual values).
TEST(NumberText, CharacterFormsStayWithinOneByte) {
  EXPECT_EQ(DigitNibble(-1), '/');
  EXPECT_EQ(static_cast<unsigned char>(DigitNibble(-48)), 0);
  EXPECT_EQ(static_cast<unsigned char>(DigitNibble(207)), 255);
  EXPECT_EQ(ErrorOf([] { DigitNibble(208); }), 5);
  EXPECT_EQ(ErrorOf([] { DigitNibble(-49); }), 5);
  EXPECT_EQ(HexDigitsToNibbles("0123456789ABCDEFG g 1\xD0\x90"), "0123456789:;<=>?1");
}

TEST(NumberText, ParseLocaleNumberWholeFieldInTheGivenSymbolOrTypeMismatch) {
  EXPECT_EQ(ParseLocaleNumber("10.50", "."), 10.5);
  EXPECT_EQ(ParseLocaleNumber("10,50", ","), 10.5);
  EXPECT_EQ(ParseLocaleNumber(" -2.5 ", "."), -2.5);
  EXPECT_EQ(ParseLocaleNumber("+3", "."), 3);
  EXPECT_EQ(ParseLocaleNumber("5.", "."), 5);
  EXPECT_EQ(ParseLocaleNumber(".25", "."), 0.25);
  EXPECT_EQ(ParseLocaleNumber("1E2", "."), 100);
  for (const char* bad : {"", "  ", "abc", "1.2.3", "10.50", "nan", "inf", "1x", "-", ".", "1 2"}) {
    EXPECT_EQ(ErrorOf([&] { ParseLocaleNumber(bad, ","); }), 13) << bad;
  }
  EXPECT_EQ(ErrorOf([] { ParseLocaleNumber("1e400", "."); }), 6);
}

TEST(NumberText, TrimSpacesRemovesOnlySpaceCharacters) {
  EXPECT_EQ(TrimSpaces("   "), "");
  EXPECT_EQ(TrimSpaces("\tx y \t"), "\tx y \t");
}

}  // namespace
}  // namespace nev::operations
