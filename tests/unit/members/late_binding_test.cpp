// Invoking NEV members late-bound, against the simulator on a pseudo-terminal: defaults, named
// arguments, conversions that refuse before anything is sent, and by-reference write-back.
#include "service/late_binding.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "support/helpers.h"

namespace nev::service {
namespace {

class LateBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.Start();
    ASSERT_TRUE(nev_->InitConnection(sim_.SlavePath(), 9600));
    sim_.ClearRecord();
  }

  // Invokes by name with positional texts and named (name, text) pairs, as a late-bound client
  // does: names are resolved first.
  InvokeResult Call(std::string_view member, std::vector<Variant> positional,
                    std::vector<std::pair<std::string_view, Variant>> by_name = {}) {
    std::vector<std::string_view> names{member};
    for (const auto& [name, value] : by_name) names.push_back(name);
    const std::vector<int32_t> ids = ResolveNames(names);
    std::vector<NamedArgument> named;
    for (std::size_t i = 0; i < by_name.size(); ++i) {
      named.push_back({ids[i + 1], by_name[i].second});
    }
    const MemberInfo* info = FindMember(member);
    return Invoke(*nev_, ids[0], info ? info->kind : MemberKind::Function, positional, named);
  }

  // The data of the one frame the simulator received since the last check.
  std::string OneFrameData() {
    EXPECT_TRUE(sim_.WaitForFrames(1, 5000));
    const auto frames = sim_.Frames();
    EXPECT_EQ(frames.size(), 1u);
    sim_.ClearRecord();
    return frames.empty() ? std::string() : frames[0].data;
  }

  // The error number of a call that must fail, after checking that nothing reached the line.
  int32_t Refused(auto&& call) {
    const int32_t number = nevtest::ErrorOf(call);
    EXPECT_TRUE(sim_.Frames().empty());
    EXPECT_TRUE(sim_.RawInput().empty());
    return number;
  }

  nevtest::TempDir folder_;
  nevtest::MessageRecorder messages_;
  nevsim::Simulator sim_;
  std::unique_ptr<NEV> nev_ = std::make_unique<NEV>(folder_.str());
};

TEST_F(LateBinding, OptionalArgumentsTakeTheirDefaults) {
  Call("OpenFiscNote", {std::string("1"), std::string("0000")});
  EXPECT_EQ(OneFrameData(), "010000\t");  // BS = "": no "I" field

  Call("Addition", {});
  EXPECT_EQ(OneFrameData(), "P\t");  // Proportional = True, V = ""

  // A gap in the positional list also takes the default.
  Call("Addition", {Missing{}, std::string(" 10.00 ")});
  EXPECT_EQ(OneFrameData(), "P10.00\t");
}

TEST_F(LateBinding, NamedArgumentsInAnyOrderAndCase) {
  Call("openfiscnote", {},
       {{"BS", std::string("123")}, {"PASS", std::string("")}, {"Casher", std::string("1")}});
  EXPECT_EQ(OneFrameData(), "01\tI123\t");

  Call("Addition", {}, {{"v", std::string(" 10.00 ")}, {"proportional", false}});
  EXPECT_EQ(OneFrameData(), "S10.00\t");

  // Positional first, the rest by name.
  Call("SellArt", {int32_t{12}}, {{"P", std::string("2.5")}, {"q", true}});
  EXPECT_EQ(OneFrameData(), "12\t-1.00\t2.50\t");  // True is -1 as a number
}

TEST_F(LateBinding, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  EXPECT_EQ(Refused([&] { Call("PaperFeed", {std::string("40000")}); }), kErrOverflow);
  EXPECT_EQ(Refused([&] { Call("GetArticle", {int32_t{-32769}}); }), kErrOverflow);
  EXPECT_EQ(Refused([&] {
              Call("SetArticle",
                   {std::string("1"), std::string("Bread"), std::string("1.20"), int32_t{256},
                    int32_t{1}, int32_t{0}, int32_t{0}, std::string(), std::string("1")});
            }),
            kErrOverflow);
  EXPECT_EQ(Refused([&] { Call("SellArt", {std::string("x"), 1.0, 2.0}); }), kErrTypeMismatch);
  EXPECT_EQ(Refused([&] { Call("Pay", {int32_t{1}, std::string("12,50")}); }), kErrTypeMismatch);
  EXPECT_EQ(Refused([&] { Call("OpenFiscNote", {std::string("1")}); }), kErrNotOptional);
  EXPECT_EQ(Refused([&] {
              Call("OpenFiscNote", {}, {{"BS", std::string("1")}});
            }),
            kErrNotOptional);
  EXPECT_EQ(Refused([&] { Call("ZDay", {int32_t{1}}); }), kErrBadParamCount);
  EXPECT_EQ(Refused([&] { Call("FiscText", {}, {{"txt", std::string("a")}}); }), kErrParamNotFound);
  EXPECT_EQ(Refused([&] {
              Call("FiscText", {std::string("a")}, {{"text", std::string("b")}});
            }),
            kErrInvalidArgument);
  EXPECT_EQ(Refused([&] { Call("NoSuchMember", {}); }), kErrMemberNotFound);
  EXPECT_TRUE(messages_.Take().empty());  // refused calls show no message box

  // The error names the argument at fault.
  try {
    Call("SellTaxGroup", {std::string("Milk"), std::string("B"), 1.0, std::string("lots")});
    FAIL();
  } catch (const InvokeError& e) {
    EXPECT_EQ(e.positional(), 3);
    EXPECT_NE(e.record().description.find("'P'"), std::string::npos) << e.what();
  }
}

TEST_F(LateBinding, ByReferenceArgumentsAreWrittenBack) {
  std::vector<Variant> positional{std::string("  0a1B-2F ")};
  std::vector<NamedArgument> named;
  const InvokeResult r = Invoke(*nev_, 0x6003004C, MemberKind::Procedure, positional, named);
  EXPECT_EQ(OneFrameData(), "01;2?");
  EXPECT_EQ(positional[0], Variant(std::string("0a1B-2F")));
  ASSERT_EQ(r.outputs.size(), 1u);
  EXPECT_EQ(r.outputs[0].first, "Num");
  EXPECT_EQ(r.outputs[0].second, Variant(std::string("0a1B-2F")));
  EXPECT_TRUE(IsEmpty(r.result));  // a procedure gives an empty result

  // By name, and converted to the parameter's type.
  std::vector<Variant> none;
  std::vector<NamedArgument> by_name{{0, int32_t{42}}};
  Invoke(*nev_, 0x6003004C, MemberKind::Function, none, by_name);
  EXPECT_EQ(OneFrameData(), "42");
  EXPECT_EQ(by_name[0].value, Variant(std::string("42")));

  // SubTotal's four totals come back as Doubles.
  std::vector<Variant> totals{Variant{}, Variant{}, Variant{}, Variant{}};
  const InvokeResult s = Invoke(*nev_, 0x6003003D, MemberKind::Function, totals, named);
  for (const Variant& v : totals) EXPECT_EQ(TypeOf(v), VarType::Double);
  EXPECT_EQ(s.outputs.size(), 4u);
}

TEST_F(LateBinding, PropertyAndResultTypes) {
  std::vector<Variant> none;
  std::vector<NamedArgument> put{{kDispidPropertyPut, std::string("true")}};
  Invoke(*nev_, kDispidSilentMode, MemberKind::PropertyPut, none, put);
  EXPECT_TRUE(nev_->SilentMode());
  std::vector<NamedArgument> no_named;
  EXPECT_EQ(Invoke(*nev_, kDispidSilentMode, MemberKind::PropertyGet, none, no_named).result,
            Variant(true));
  // The property is not a method.
  EXPECT_EQ(
      Refused([&] { Invoke(*nev_, kDispidSilentMode, MemberKind::Function, none, no_named); }),
      kErrMemberNotFound);

  EXPECT_EQ(TypeOf(Call("GetStatus", {}).result), VarType::Long);
  EXPECT_EQ(TypeOf(Call("ZArticles", {}).result), VarType::Boolean);
  EXPECT_EQ(TypeOf(Call("GetTaxRates", {}).result), VarType::String);
  EXPECT_TRUE(IsEmpty(Call("ZAllow", {}).result));
}

}  // namespace
}  // namespace nev::service
