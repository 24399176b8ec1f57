// The member table of _NEV: slots, DISPIDs with their gaps, kinds, results, parameters, and name
// resolution as GetIDsOfNames does it.
#include "service/members.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "service/late_binding.h"

namespace nev::service {
namespace {

std::string Signature(const MemberInfo& m) {
  std::string s = std::string(KindName(m.kind)) + " " + std::string(m.name) + "(";
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    const ParamInfo& p = m.params[i];
    if (i) s += ", ";
    s += p.by_ref ? "inout " : "in ";
    s += std::string(TypeName(p.type)) + " " + std::string(p.name);
    if (p.optional) s += " = '" + std::string(p.default_value) + "'";
  }
  s += ")";
  if (m.result != VarType::None) s += " " + std::string(TypeName(m.result));
  return s;
}

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
    actual += dispid + Signature(m);
    EXPECT_EQ(m.slot, slot++) << m.name;
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(Members().size(), kMemberCount);
  EXPECT_EQ(FindMember("OpenFiscNote")->RequiredCount(), 2u);
  EXPECT_EQ(FindMember("Addition")->RequiredCount(), 0u);
  EXPECT_EQ(FindMember("SetArticle")->RequiredCount(), 9u);
}

TEST(MemberLookup, FindsByDispidAndKind) {
  EXPECT_EQ(FindMember(kDispidSilentMode, MemberKind::PropertyPut)->slot, 8);
  EXPECT_EQ(FindMember(kDispidSilentMode, MemberKind::PropertyGet)->slot, 7);
  EXPECT_EQ(FindMember(kDispidSilentMode, MemberKind::Function), nullptr);
  // Procedures and functions are both invoked as methods.
  EXPECT_EQ(FindMember(0x6003004E, MemberKind::Function)->name, "ZDeny");
  EXPECT_EQ(FindMember(0x60030043, MemberKind::Procedure)->name, "ZDay");
  EXPECT_EQ(FindMember(0x6003004E, MemberKind::PropertyGet), nullptr);
  // The gaps belong to no public member.
  EXPECT_EQ(FindMemberByDispid(0x6003002C), nullptr);
  EXPECT_EQ(FindMemberByDispid(0x60030031), nullptr);
  EXPECT_EQ(FindMemberByDispid(0x6003004D), nullptr);
}

std::string Flip(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    c = std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c);
  }
  return out;
}

TEST(NameResolution, EveryMemberAndParameterNameResolvesInAnyCase) {
  for (const MemberInfo& m : Members()) {
    for (const std::string& name : {std::string(m.name), Flip(m.name)}) {
      std::vector<std::string_view> names{name};
      std::vector<std::string> params;
      for (const ParamInfo& p : m.params) params.push_back(Flip(p.name));
      for (const std::string& p : params) names.push_back(p);
      const std::vector<int32_t> ids = ResolveNames(names);
      ASSERT_EQ(ids.size(), names.size());
      EXPECT_EQ(ids[0], m.dispid) << name;
      for (std::size_t i = 0; i < params.size(); ++i) {
        EXPECT_EQ(ids[i + 1], static_cast<int32_t>(i)) << name << "." << params[i];
      }
    }
  }
}

TEST(NameResolution, UnknownNamesGiveTheUnknownId) {
  const std::string_view good[] = {"OpenFiscNote", "bs", "Casher", "pass"};
  EXPECT_EQ(ResolveNames(good), (std::vector<int32_t>{0x60030039, 2, 0, 1}));
  EXPECT_TRUE(AllResolved(ResolveNames(good)));

  const std::string_view bad_param[] = {"OpenFiscNote", "cashier", "BS"};
  EXPECT_EQ(ResolveNames(bad_param), (std::vector<int32_t>{0x60030039, kDispidUnknown, 2}));
  EXPECT_FALSE(AllResolved(ResolveNames(bad_param)));

  // The corrected spellings are not the published names.
  for (std::string_view wrong : {"Duplicate", "GetNumberOfNote", "ZDenyX", "SilentMode "}) {
    const std::string_view names[] = {wrong, "x"};
    EXPECT_EQ(ResolveNames(names), (std::vector<int32_t>{kDispidUnknown, kDispidUnknown})) << wrong;
  }
  // Names are compared without folding non-ASCII letters.
  const std::string_view cyrillic[] = {"ZDеny"};  // Cyrillic "е"
  EXPECT_EQ(ResolveNames(cyrillic)[0], kDispidUnknown);
  // A parameter of another member does not resolve.
  const std::string_view other[] = {"PaperFeed", "text"};
  EXPECT_EQ(ResolveNames(other)[1], kDispidUnknown);
  // The property's value parameter resolves through its name.
  const std::string_view put[] = {"silentmode", "SILENTMODE"};
  EXPECT_EQ(ResolveNames(put), (std::vector<int32_t>{kDispidSilentMode, 0}));
}

}  // namespace
}  // namespace nev::service
