// The member table of _NEV (slots, DISPIDs with their gaps, kinds, results, parameters), name
// resolution as GetIDsOfNames does it, and the variant conversions of late binding.
#include "members.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "binding.h"
#include "support/helpers.h"

namespace nev::automation {
namespace {

using namespace std::string_literals;
using nevtest::ErrorOf;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(MemberTable, EveryMemberInSlotOrderWithItsDispidAndSignature) {
  const std::string expected = R"(
4003002C property get SilentMode() Boolean
4003002C property put SilentMode(in Boolean SilentMode)
6003002A function StopConnection() Boolean
6003002B function InitConnection(in Long Port, in Long BaudRate, in Long StopBits, in Long Parity, in Long ByteSize) Boolean
60030032 function PaperFeed(in Integer Rows) Boolean
60030033 function FiscText(in String text) Boolean
60030034 function ServText(in String text) Boolean
60030035 function SellArt(in Long n, in Double Q, in Double P) Boolean
60030036 function SellTaxGroup(in String Name, in String TaxGroup, in Double Q, in Double P) Boolean
60030037 function OpenServNote() Boolean
60030038 function CloseServNote() Boolean
60030039 function OpenFiscNote(in String casher, in String Pass, in String BS = '') Boolean
6003003A function CloseFiscNote() Boolean
6003003B function SellDep(in Long n, in Double Q, in Double P) Boolean
6003003C procedure Addition(in Boolean Proportional = 'True', in String V = '')
6003003D function SubTotal(inout Double Total, inout Double TotalA, inout Double TotalB, inout Double TotalC) Boolean
6003003E function VoidAll() Boolean
6003003F function AddSum(in String casher, in String Pass, in Double Sum, in Long Pay) Boolean
60030040 function OpenDraw() Boolean
60030041 function Dublicate() Boolean
60030042 function EJournal() Boolean
60030043 function ZDay() String
60030044 function ZArticles() Variant
60030045 function ZDep() Boolean
60030046 function ZCasher() Boolean
60030047 function Pay(in Long PayType, in Double Sum) Boolean
60030048 function GetNumberofNotes() String
60030049 function NoteInfo() String
6003004A function GetStatus() Long
6003004B procedure SetStatus()
6003004C procedure SendSerNum(inout String Num)
6003004E procedure ZDeny()
6003004F procedure ZAllow()
60030050 function GetTaxRates() String
60030051 function GetFirstFMReport(in String s) String
60030052 function GetNextFMReport() String
60030053 function ECRInfo() String
60030054 function GetArticle(in Integer x) String
60030055 function GetDepartment(in Integer x) String
60030056 procedure SetArticle(in String n, in String Name, in String Price, in Byte TaxG, in Byte Dep, in Byte Pay, in Byte F, in String BC, in String Q))";
  std::string actual;
  int slot = kFirstSlot;
  for (const MemberInfo& m : Members()) {
    char dispid[16];
    std::snprintf(dispid, sizeof dispid, "\n%08X ", static_cast<unsigned>(m.dispid));
    actual += dispid + std::string(KindName(m.kind)) + " " + std::string(m.name) + "(";
    for (const ParamInfo& p : m.params) {
      if (&p != &m.params.front()) actual += ", ";
      actual += std::string(p.by_ref ? "inout " : "in ") + std::string(TypeName(p.type)) + " " +
                std::string(p.name);
      if (p.optional) actual += " = '" + std::string(p.default_value) + "'";
    }
    actual += ")";
    if (m.result != VarType::None) actual += " " + std::string(TypeName(m.result));
    EXPECT_EQ(m.slot, slot++) << m.name;
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(Members().size(), kMemberCount);
  // Looked up by DISPID, procedures and functions are both methods; a gap is no member. (The
  // property's get, put and method kinds are told apart by the late-binding tests.)
  EXPECT_EQ(FindMember(0x6003004E, MemberKind::Function)->name, "ZDeny");
  EXPECT_EQ(FindMember(0x60030043, MemberKind::Procedure)->name, "ZDay");
  EXPECT_EQ(FindMember(0x6003004E, MemberKind::PropertyGet), nullptr);
  EXPECT_EQ(FindMember(0x6003004D, MemberKind::Function), nullptr);
}

// Every member and parameter name resolves in any case; anything else gives the unknown id.
TEST(NameResolution, NamesInAnyCaseAndUnknownNames) {
  const auto flip = [](std::string_view name) {
    std::string out(name);
    for (char& c : out) c ^= std::isalpha(static_cast<unsigned char>(c)) ? 0x20 : 0;  // ASCII
    return out;
  };
  for (const MemberInfo& m : Members()) {
    std::vector<std::string> texts{flip(m.name)};
    std::vector<int32_t> expected{m.dispid};
    for (const ParamInfo& p : m.params) {
      texts.push_back(flip(p.name));
      expected.push_back(static_cast<int32_t>(expected.size()) - 1);
    }
    const std::vector<std::string_view> names(texts.begin(), texts.end());
    EXPECT_EQ(ResolveNames(names), expected) << m.name;
  }
  constexpr int32_t kNo = kDispidUnknown;
  const std::pair<std::vector<std::string_view>, std::vector<int32_t>> cases[] = {
      {{"OpenFiscNote", "bs", "Casher", "pass"}, {0x60030039, 2, 0, 1}},
      {{"OpenFiscNote", "cashier", "BS"}, {0x60030039, kNo, 2}},
      // The corrected spellings are not the published names; the parameters of an unknown member
      // are unknown too.
      {{"Duplicate", "x"}, {kNo, kNo}},
      {{"GetNumberOfNote"}, {kNo}},
      {{"SilentMode "}, {kNo}},
      {{"ZDеny"}, {kNo}},  // a Cyrillic "е": non-ASCII letters are not folded
      {{"PaperFeed", "text"}, {0x60030032, kNo}},              // another member's parameter
      {{"silentmode", "SILENTMODE"}, {kDispidSilentMode, 0}},  // the property's value
  };
  for (const auto& [names, ids] : cases) EXPECT_EQ(ResolveNames(names), ids) << names[0];
  EXPECT_TRUE(AllResolved(ResolveNames(cases[0].first)));
  EXPECT_FALSE(AllResolved(ResolveNames(cases[1].first)));
}

// Argument values converted to parameter types: numbers in C form, half-to-even rounding, ranges,
// the automation Booleans (True is -1), empty as zero, False or "", and clear errors.
TEST(Conversion, ValuesToParameterTypes) {
  EXPECT_EQ(ToDouble(" -1e3 "s), -1000.0);
  EXPECT_EQ(ToDouble("+.5"s), 0.5);
  EXPECT_EQ(ToDouble("7."s), 7.0);
  EXPECT_EQ(ToDouble("1e-400"s), 0.0);  // underflow reads as zero
  EXPECT_EQ(ToInteger(2.5), 2);
  EXPECT_EQ(ToInteger(3.5), 4);
  EXPECT_EQ(ToInteger(-2.5), -2);
  EXPECT_EQ(ToInteger("32767.4"s), 32767);
  EXPECT_EQ(ToInteger("-32768"s), -32768);
  EXPECT_EQ(ToLong("-2147483648"s), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ToByte(-0.4), 0);
  EXPECT_EQ(ToByte("255"s), 255);
  EXPECT_EQ(ToLong(true), -1);
  EXPECT_EQ(ToDouble(false), 0.0);
  EXPECT_TRUE(ToBoolean(kNaN));
  for (const char* yes : {"true", "TRUE", " True ", "-1", "1", "2.5"}) {
    EXPECT_TRUE(ToBoolean(std::string(yes))) << yes;
  }
  for (const char* no : {"false", "False", "0", "0.0"}) EXPECT_FALSE(ToBoolean(std::string(no)));
  EXPECT_EQ(ToText(true), "True");
  EXPECT_EQ(ToText(false), "False");
  EXPECT_EQ(ToText(0.1 + 0.2), "0.30000000000000004");  // reads back exactly
  EXPECT_EQ(ToText(int16_t{-7}), "-7");
  EXPECT_EQ(ToText(uint8_t{200}), "200");
  EXPECT_EQ(ConvertTo(Variant{}, VarType::Double), Variant(0.0));
  EXPECT_EQ(ConvertTo(Variant{}, VarType::Boolean), Variant(false));
  EXPECT_EQ(ConvertTo(Variant{}, VarType::String), Variant(""s));
  EXPECT_EQ(ConvertTo("12"s, VarType::Variant), Variant("12"s));

  using T = VarType;
  const std::pair<Variant, VarType> overflows[] = {
      {"1e400"s, T::Double},    {"-" + std::string(400, '9'), T::Double},
      {"32767.5"s, T::Integer}, {int32_t{40000}, T::Integer},
      {"-32769"s, T::Integer},  {"2147483648"s, T::Long},
      {kNaN, T::Long},          {HUGE_VAL, T::Long},
      {"256"s, T::Byte},        {int16_t{-1}, T::Byte},
      {true, T::Byte}};
  for (const auto& [from, to] : overflows) {
    EXPECT_EQ(ErrorOf([&] { ConvertTo(from, to); }), kErrOverflow)
        << ToText(from) << " " << TypeName(to);
  }
  const std::pair<Variant, VarType> mismatches[] = {
      {"yes"s, T::Boolean}, {""s, T::Boolean}, {Missing{}, T::String}, {Missing{}, T::Long}};
  for (const auto& [from, to] : mismatches) {
    EXPECT_EQ(ErrorOf([&] { ConvertTo(from, to); }), kErrTypeMismatch) << TypeName(to);
  }
  for (const char* text :
       {"", " ", "2,5", "abc", "nan", "inf", "-", ".", "1e", "0x10", "1 2", "12abc", "Хляб"}) {
    EXPECT_EQ(ErrorOf([&] { ToDouble(std::string(text)); }), kErrTypeMismatch) << text;
  }
}

}  // namespace
}  // namespace nev::automation
