// Numbers read from texts: the shared scanner and the operations' two readings of it.
#include "operations/number_scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "nev/error.h"
#include "platform/regional.h"
#include "support/helpers.h"
#include "variant.h"

namespace nev::operations {
namespace {

using nevtest::ErrorOf;

TEST(NumberScan, LeadingNumberReadsLikeAPlainNumberWhateverTheLocale) {
  platform::SetDecimalSymbolOverride(",");
  EXPECT_EQ(LeadingNumber("7.6"), 7.6);
  platform::SetDecimalSymbolOverride(std::nullopt);
  const std::pair<const char*, double> rows[] = {
      {"3", 3},      {" 2", 2}, {"1 2", 12}, {"12abc", 12}, {"x1", 0},    {"abc", 0},
      {"", 0},       {".", 0},  {".5", 0.5}, {"-3", -3},    {"1,5", 1},   {"1.2.3", 1.2},
      {"1e3", 1000}, {"3e", 3}, {"inf", 0},  {"nan", 0},    {"1e-400", 0}};
  for (const auto& [text, value] : rows) EXPECT_EQ(LeadingNumber(text), value) << text;
  EXPECT_EQ(ErrorOf([] { LeadingNumber("1e400"); }), 6);
  EXPECT_EQ(ErrorOf([] { LeadingNumber(std::string(400, '9')); }), 6);
}

TEST(NumberScan, ParseLocaleNumberWholeFieldInTheGivenSymbolOrTypeMismatch) {
  const std::pair<const char*, double> rows[] = {{"10.50", 10.5}, {" -2.5 ", -2.5}, {"+3", 3},
                                                 {"5.", 5},       {".25", 0.25},    {"1E2", 100}};
  for (const auto& [text, value] : rows) EXPECT_EQ(ParseLocaleNumber(text, "."), value) << text;
  EXPECT_EQ(ParseLocaleNumber("10,50", ","), 10.5);
  EXPECT_EQ(ErrorOf([&] { ParseLocaleNumber("10.50", ","); }), 13);
  EXPECT_EQ(ErrorOf([] { ParseLocaleNumber("1e400", "."); }), 6);
}

// Where the scanner stops, and how a number outside a Double's range is told apart: the
// callers decide from these alone.
TEST(NumberScan, ScannerStopsAtTheFirstCharacterThatCannotContinueTheNumber) {
  struct Case {
    const char* text;
    const char* symbol;
    ExponentLetters letters;
    std::size_t length;
  };
  constexpr auto kE = ExponentLetters::kE;
  constexpr auto kEOrD = ExponentLetters::kEOrD;
  const Case cases[] = {
      {"1e", ".", kE, 1},  {"1e+", ".", kE, 1},    {"1e-5x", ".", kE, 4}, {"1.2.3", ".", kE, 3},
      {".", ".", kE, 0},   {"+", ".", kE, 0},      {"-.5", ".", kE, 3},   {"5.", ".", kE, 2},
      {"1d2", ".", kE, 1}, {"1d2", ".", kEOrD, 3}, {"0x10", ".", kE, 1},  {"nan", ".", kE, 0},
      {" 1", ".", kE, 0},  {"1,5", ",", kE, 3},    {"1.5", ",", kE, 1},   {"2<>25", "<>", kE, 5},
      {"<>", "<>", kE, 0}, {"1<", "<>", kE, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScanNumber(c.text, c.symbol, c.letters).length, c.length) << c.text;
  }
  EXPECT_EQ(ScanNumber("2<>25", "<>", kE).value, 2.25);
  EXPECT_EQ(ScanNumber("-.5", ".", kE).value, -0.5);

  // The first significant digit's place decides, not the exponent alone.
  EXPECT_EQ(ScanNumber("0.01e310", ".", kE).value, 1e308);
  EXPECT_EQ(ScanNumber("100e307", ".", kE).fit, NumberFit::kTooLarge);
  EXPECT_EQ(ScanNumber(std::string(400, '9'), ".", kE).fit, NumberFit::kTooLarge);
  EXPECT_EQ(ScanNumber("0." + std::string(400, '0') + "1", ".", kE).fit, NumberFit::kTooSmall);
  EXPECT_EQ(ScanNumber("1000e-330", ".", kE).fit, NumberFit::kTooSmall);
  const ScannedNumber zero = ScanNumber("-0e99999999999999999999", ".", kE);
  EXPECT_EQ(zero.fit, NumberFit::kFits);
  EXPECT_TRUE(std::signbit(zero.value));
  const ScannedNumber tiny = ScanNumber("-1e-400", ".", kE);
  EXPECT_EQ(tiny.fit, NumberFit::kTooSmall);
  EXPECT_TRUE(std::signbit(tiny.value));
}

// The locale reading of the operations and the late-bound conversion share the scanner: the same
// malformed texts are refused by both, and both tell an overflow from an underflow alike.
TEST(NumberScan, BothReadersRefuseTheSameMalformedTexts) {
  for (const char* bad : {"", "  ", "abc", "1x", "-", "1e", ".", "+", "1.2.3", "nan", "inf", "0x10",
                          "1e+", "--1", "1 2"}) {
    EXPECT_EQ(ErrorOf([&] { ParseLocaleNumber(bad, "."); }), kErrTypeMismatch) << bad;
    EXPECT_EQ(ErrorOf([&] { automation::ToDouble(std::string(bad)); }), kErrTypeMismatch) << bad;
  }
  const std::string huge = std::string(400, '7');
  EXPECT_EQ(ErrorOf([&] { ParseLocaleNumber(huge, "."); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([&] { automation::ToDouble(huge); }), kErrOverflow);
  EXPECT_EQ(ParseLocaleNumber("1e-400", "."), 0.0);
  EXPECT_EQ(automation::ToDouble(std::string("1e-400")), 0.0);
  // The exponent letter D is the system reader's, not the late-bound conversion's.
  EXPECT_EQ(ParseLocaleNumber("1D2", "."), 100);
  EXPECT_EQ(ErrorOf([] { automation::ToDouble(std::string("1D2")); }), kErrTypeMismatch);
  // An underflow keeps its sign in the system reader; the late-bound one gives a plain zero.
  EXPECT_TRUE(std::signbit(ParseLocaleNumber("-1e-400", ".")));
  EXPECT_FALSE(std::signbit(automation::ToDouble(std::string("-1e-400"))));
}

}  // namespace
}  // namespace nev::operations
