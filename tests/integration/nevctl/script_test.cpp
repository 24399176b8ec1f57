// Splitting script lines: quoting, escapes, comments and NAME=VALUE words.
#include "script.h"

#include <gtest/gtest.h>

namespace nevctl {
namespace {

std::vector<std::string> Texts(std::string_view line) {
  std::vector<std::string> texts;
  for (const Word& w : SplitLine(line)) texts.push_back(w.text);
  return texts;
}

TEST(ScriptLine, QuotesEscapesAndComments) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Texts("  FiscText   hello\tworld  "), (V{"FiscText", "hello", "world"}));
  EXPECT_EQ(Texts(R"(FiscText "a b" 'c d' e\ f)"), (V{"FiscText", "a b", "c d", "e f"}));
  EXPECT_EQ(Texts(R"(FiscText "col1\tcol2" 'raw\t')"), (V{"FiscText", "col1\tcol2", "raw\\t"}));
  EXPECT_EQ(Texts(R"(FiscText "say \"hi\"" it\'s)"), (V{"FiscText", "say \"hi\"", "it's"}));
  EXPECT_EQ(Texts(R"(ServText "" '')"), (V{"ServText", "", ""}));
  EXPECT_EQ(Texts("FiscText \"Цена #1\" a#b # the rest"), (V{"FiscText", "Цена #1", "a#b"}));
  EXPECT_EQ(Texts("   # only a comment"), V{});
  EXPECT_EQ(Texts("GetStatus\r"), V{"GetStatus"});
  EXPECT_EQ(Texts(R"(Fisc"Text"x)"), V{"FiscTextx"});
  EXPECT_THROW(SplitLine("FiscText \"open"), ScriptError);
  EXPECT_THROW(SplitLine("FiscText 'open"), ScriptError);
  EXPECT_THROW(SplitLine("FiscText end\\"), ScriptError);
}

TEST(ScriptLine, NameValueOnlyWhenTheNameIsUnquoted) {
  const auto words = SplitLine(R"(OpenFiscNote casher=1 Pass="a b=c" "BS=x" a\=b =v text=)");
  ASSERT_EQ(words.size(), 7u);
  EXPECT_EQ(words[1].name_end, 6u);
  EXPECT_EQ(words[2].text, "Pass=a b=c");
  EXPECT_EQ(words[2].name_end, 4u);
  EXPECT_EQ(words[3].name_end, std::string::npos);  // quoted: a positional "BS=x"
  EXPECT_EQ(words[4].name_end, std::string::npos);  // escaped '='
  EXPECT_EQ(words[5].name_end, std::string::npos);  // no name
  EXPECT_EQ(words[6].name_end, 4u);                 // text="" by name
  EXPECT_EQ(Word::FromArgument("x=1=2").name_end, 1u);
}

}  // namespace
}  // namespace nevctl
