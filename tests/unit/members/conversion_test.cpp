// The variant conversions of late binding: automation rules, ranges and clear errors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "service/late_binding.h"
#include "support/helpers.h"

namespace nev::service {
namespace {

using nevtest::ErrorOf;

TEST(Conversion, TextsAreNumbersInCForm) {
  EXPECT_EQ(ToDouble(std::string("2.5")), 2.5);
  EXPECT_EQ(ToDouble(std::string(" -1e3 ")), -1000.0);
  EXPECT_EQ(ToDouble(std::string("+.5")), 0.5);
  EXPECT_EQ(ToDouble(std::string("7.")), 7.0);
  EXPECT_EQ(ToDouble(std::string("1e-400")), 0.0);  // underflow reads as zero
  for (const char* bad :
       {"", " ", "2,5", "abc", "nan", "inf", "-", ".", "1e", "0x10", "1 2", "12abc", "Хляб"}) {
    EXPECT_EQ(ErrorOf([&] { ToDouble(std::string(bad)); }), kErrTypeMismatch) << bad;
  }
  EXPECT_EQ(ErrorOf([] { ToDouble(std::string("1e400")); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { ToDouble(std::string("-" + std::string(400, '9'))); }), kErrOverflow);
  EXPECT_EQ(ToDouble(std::string("0." + std::string(400, '0') + "1")), 0.0);
}

TEST(Conversion, IntegersRoundHalfToEvenAndCheckTheirRange) {
  EXPECT_EQ(ToInteger(2.5), 2);
  EXPECT_EQ(ToInteger(3.5), 4);
  EXPECT_EQ(ToInteger(-2.5), -2);
  EXPECT_EQ(ToInteger(std::string("32767")), 32767);
  EXPECT_EQ(ToInteger(std::string("-32768")), -32768);
  EXPECT_EQ(ToInteger(std::string("32767.4")), 32767);
  EXPECT_EQ(ErrorOf([] { ToInteger(std::string("32767.5")); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { ToInteger(int32_t{40000}); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { ToInteger(std::string("-32769")); }), kErrOverflow);

  EXPECT_EQ(ToLong(std::string("-2147483648")), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ErrorOf([] { ToLong(std::string("2147483648")); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { ToLong(std::numeric_limits<double>::quiet_NaN()); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { ToLong(std::numeric_limits<double>::infinity()); }), kErrOverflow);

  EXPECT_EQ(ToByte(std::string("255")), 255);
  EXPECT_EQ(ToByte(-0.4), 0);
  EXPECT_EQ(ErrorOf([] { ToByte(std::string("256")); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { ToByte(int16_t{-1}); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { ToByte(true); }), kErrOverflow);  // True is -1
}

TEST(Conversion, BooleansFollowTheAutomationConvention) {
  EXPECT_EQ(ToLong(true), -1);
  EXPECT_EQ(ToDouble(false), 0.0);
  for (const char* yes : {"true", "TRUE", " True ", "-1", "1", "2.5"}) {
    EXPECT_TRUE(ToBoolean(std::string(yes))) << yes;
  }
  for (const char* no : {"false", "False", "0", "0.0"}) EXPECT_FALSE(ToBoolean(std::string(no)));
  EXPECT_EQ(ErrorOf([] { ToBoolean(std::string("yes")); }), kErrTypeMismatch);
  EXPECT_EQ(ErrorOf([] { ToBoolean(std::string("")); }), kErrTypeMismatch);
  EXPECT_FALSE(ToBoolean(Variant{}));
  EXPECT_TRUE(ToBoolean(std::numeric_limits<double>::quiet_NaN()));
}

TEST(Conversion, TextsOfValues) {
  EXPECT_EQ(ToText(true), "True");
  EXPECT_EQ(ToText(false), "False");
  EXPECT_EQ(ToText(2.5), "2.5");
  EXPECT_EQ(ToText(0.1 + 0.2), "0.30000000000000004");  // read back exactly
  EXPECT_EQ(ToText(int16_t{-7}), "-7");
  EXPECT_EQ(ToText(uint8_t{200}), "200");
  EXPECT_EQ(ToText(Variant{}), "");
  EXPECT_EQ(ErrorOf([] { ToText(Missing{}); }), kErrTypeMismatch);
  EXPECT_EQ(ErrorOf([] { ToLong(Missing{}); }), kErrTypeMismatch);
  // Empty is zero, False, or the empty text.
  EXPECT_EQ(ConvertTo(Variant{}, VarType::Double), Variant(0.0));
  EXPECT_EQ(ConvertTo(Variant{}, VarType::String), Variant(std::string()));
  EXPECT_EQ(ConvertTo(std::string("12"), VarType::Integer), Variant(int16_t{12}));
  EXPECT_EQ(ConvertTo(std::string("12"), VarType::Variant), Variant(std::string("12")));
}

}  // namespace
}  // namespace nev::service
