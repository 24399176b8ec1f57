// Invoking NEV members late-bound, against the simulator on a pseudo-terminal: defaults, named
// arguments, conversions that refuse before anything is sent, and by-reference write-back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "binding.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "support/helpers.h"

namespace nev::automation {
namespace {

using namespace std::string_literals;
using nevtest::ErrorOf;
using Named = std::vector<std::pair<std::string_view, Variant>>;

class LateBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.Start();
    ASSERT_TRUE(nev_->InitConnection(sim_.SlavePath(), 9600));
    sim_.ClearRecord();
  }

  // Invokes by name as a late-bound client does: the member and parameter names are resolved
  // first.
  InvokeResult Call(std::string_view member, std::vector<Variant> positional, Named by_name = {}) {
    std::vector<std::string_view> names{member};
    for (const auto& [name, value] : by_name) names.push_back(name);
    const std::vector<int32_t> ids = ResolveNames(names);
    std::vector<NamedArgument> named;
    for (std::size_t i = 0; i < by_name.size(); ++i)
      named.push_back({ids[i + 1], by_name[i].second});
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

  nevtest::TempDir folder_;
  nevtest::MessageRecorder messages_;
  nevsim::Simulator sim_{[] {
    nevsim::Options quick;
    quick.long_op_ms = 100;  // Z reports in 0.1 s
    return quick;
  }()};
  std::unique_ptr<NEV> nev_ = std::make_unique<NEV>(folder_.str());
};

// Arguments by position, by name in any order and case, or left to their defaults; bad ones are
// refused before anything is sent.
TEST_F(LateBinding, ArgumentsAreBoundOrRefused) {
  const struct {
    std::string_view member;
    std::vector<Variant> positional;
    Named named;
    int32_t error;
    std::string data = {};
  } cases[] = {
      {"OpenFiscNote", {"1"s, "0000"s}, {}, 0, "010000\t"},      // BS = "": no "I" field
      {"Addition", {}, {}, 0, "P\t"},                            // Proportional = True, V = ""
      {"Addition", {Missing{}, " 10.00 "s}, {}, 0, "P10.00\t"},  // a gap takes the default too
      {"openfiscnote", {}, {{"BS", "123"s}, {"PASS", ""s}, {"Casher", "1"s}}, 0, "01\tI123\t"},
      {"Addition", {}, {{"v", " 10.00 "s}, {"proportional", false}}, 0, "S10.00\t"},
      {"SellArt", {int32_t{12}}, {{"P", "2.5"s}, {"q", true}}, 0, "12\t-1.00\t2.50\t"},  // True: -1
      {"PaperFeed", {"40000"s}, {}, kErrOverflow},
      {"SellArt", {"x"s, 1.0, 2.0}, {}, kErrTypeMismatch},
      {"OpenFiscNote", {"1"s}, {}, kErrNotOptional},
      {"OpenFiscNote", {}, {{"BS", "1"s}}, kErrNotOptional},
      {"ZDay", {int32_t{1}}, {}, kErrBadParamCount},
      {"FiscText", {}, {{"txt", "a"s}}, kErrParamNotFound},
      {"FiscText", {"a"s}, {{"text", "b"s}}, kErrInvalidArgument},  // one parameter twice
      {"NoSuchMember", {}, {}, kErrMemberNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member);
    EXPECT_EQ(ErrorOf([&] { Call(c.member, c.positional, c.named); }), c.error);
    EXPECT_EQ(c.error ? std::string() : OneFrameData(), c.data);
    const bool shown = !messages_.Take().empty();  // device errors of the calls made, if any
    EXPECT_FALSE(shown && c.error) << "a refused call showed a message box";
  }
  // The error names the argument at fault.
  try {
    Call("SellTaxGroup", {"Milk"s, "B"s, 1.0, "lots"s});
    ADD_FAILURE() << "no error";
  } catch (const InvokeError& e) {
    EXPECT_EQ(e.positional(), 3);
    EXPECT_NE(e.record().description.find("'P'"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(sim_.Frames().empty());  // the refusals come last: nothing reached the line
  EXPECT_TRUE(messages_.Take().empty());
}

TEST_F(LateBinding, ResultsPropertiesAndByReferenceOutputs) {
  std::vector<Variant> none, totals(4);
  std::vector<NamedArgument> no_named, put{{kDispidPropertyPut, "true"s}}, num{{0, int32_t{42}}};
  // A procedure invoked as a method, its by-reference argument given by name as a number.
  const InvokeResult r = Invoke(*nev_, 0x6003004C, MemberKind::Function, none, num);
  EXPECT_EQ(OneFrameData(), "42");
  EXPECT_EQ(num[0].value, Variant("42"s));
  EXPECT_EQ(r.outputs, (decltype(r.outputs){{"Num", Variant("42"s)}}));
  EXPECT_TRUE(IsEmpty(r.result));
  Invoke(*nev_, 0x6003003D, MemberKind::Function, totals, no_named);  // SubTotal
  for (const Variant& v : totals) EXPECT_EQ(TypeOf(v), VarType::Double);

  Invoke(*nev_, kDispidSilentMode, MemberKind::PropertyPut, none, put);
  EXPECT_EQ(Invoke(*nev_, kDispidSilentMode, MemberKind::PropertyGet, none, no_named).result,
            Variant(true));
  EXPECT_EQ(
      ErrorOf([&] { Invoke(*nev_, kDispidSilentMode, MemberKind::Function, none, no_named); }),
      kErrMemberNotFound);  // the property is not a method
  EXPECT_EQ(TypeOf(Call("GetStatus", {}).result), VarType::Long);
  EXPECT_EQ(TypeOf(Call("ZArticles", {}).result), VarType::Boolean);  // declared as Variant
}

}  // namespace
}  // namespace nev::automation
