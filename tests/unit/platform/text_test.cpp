// Code page, regional settings, module path and the default message sink.
#include <gtest/gtest.h>
#include <limits.h>
#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/codepage.h"
#include "platform/message_default.h"
#include "platform/module.h"
#include "platform/regional.h"
#include "support/helpers.h"

namespace nev::platform {
namespace {

using nevtest::ScopedEnv;

TEST(CodePageTest, Utf8ToWindows1251AndBackWithQuestionMarksForTheRest) {
  ScopedEnv cp("NEVCOM_CODEPAGE", nullptr);
  const std::string utf8 = "Касов бон № 5, €";
  const std::string wire = ToWire(utf8);
  EXPECT_EQ(wire, "\xCA\xE0\xF1\xEE\xE2 \xE1\xEE\xED \xB9 5, \x88");
  EXPECT_EQ(FromWire(wire), utf8);
  EXPECT_EQ(ToWire("plain ASCII\t1.50"), "plain ASCII\t1.50");
  EXPECT_EQ(ToWire(""), "");

  // Longer than any internal buffer: nothing lost at the seams.
  std::string long_utf8;
  for (int i = 0; i < 1500; ++i) long_utf8 += "Ж";
  EXPECT_EQ(ToWire(long_utf8), std::string(1500, '\xC6'));
  EXPECT_EQ(FromWire(std::string(1500, '\xC6')), long_utf8);

  // What cannot be represented becomes a question mark.
  EXPECT_EQ(ToWire("a日本b"), "a??b");   // not in the code page
  EXPECT_EQ(ToWire("x😀y"), "x?y");       // four-byte sequence: one character
  EXPECT_EQ(ToWire("a\xFFz"), "a?z");    // not UTF-8 at all
  EXPECT_EQ(ToWire("ok\xD0"), "ok?");    // cut short at the end
  EXPECT_EQ(ToWire("\xD0Z"), "?Z");      // lead byte without its continuation
  EXPECT_EQ(FromWire("a\x98z"), "a?z");  // the one unassigned byte of Windows-1251
}

// The COM server's texts pass through wide text: every character survives the way there and back,
// and what is not UTF-8 becomes U+FFFD instead of a wrong character or a cut string.
TEST(CodePageTest, WideTextRoundTripsAndReplacesInvalidSequences) {
  const std::string mixed = "Хляб 1,89 \xE2\x82\xAC \xF0\x9F\x98\x80 a";
  EXPECT_EQ(ToWide(mixed), L"Хляб 1,89 € 😀 a");
  EXPECT_EQ(FromWide(ToWide(mixed)), mixed);
  EXPECT_EQ(ToWide("a\xC0\xAF"
                   "b"),
            L"a\uFFFD\uFFFDb");                              // overlong form
  EXPECT_EQ(ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // a surrogate
  EXPECT_EQ(ToWide("x\xE2\x82"), L"x\uFFFD\uFFFD");          // cut short at the end
  EXPECT_EQ(FromWide(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(CodePageTest, EnvironmentChoosesTheWireCodePage) {
  // By name, by the Windows number alone, and an unknown one: Windows-1251.
  for (const auto& [name, wire] : {std::pair{"CP866", "\x8F"}, std::pair{"866", "\x8F"},
                                   std::pair{"NO-SUCH-CODEPAGE", "\xCF"}}) {
    ScopedEnv cp("NEVCOM_CODEPAGE", name);
    EXPECT_EQ(ToWire("П"), wire) << name;
    EXPECT_EQ(FromWire(wire), "П") << name;
  }
  EXPECT_EQ(ToSystemText("П"), "П");
}

// A locale whose decimal symbol is a comma: an installed one, else one compiled into folder
// with localedef (LOCPATH then points there); empty when neither is possible.
std::string CommaLocale(const std::string& folder) {
  auto usable = [](const char* name) {
    locale_t loc = ::newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return false;
    ::freelocale(loc);
    return true;
  };
  for (const char* name :
       {"bg_BG.UTF-8", "de_DE.UTF-8", "ru_RU.UTF-8", "bg_BG.utf8", "de_DE.utf8"}) {
    if (usable(name)) return name;
  }
  const std::string command =
      "localedef -i bg_BG -f UTF-8 '" + folder + "/bg_BG.UTF-8' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return "";
  ::setenv("LOCPATH", folder.c_str(), 1);
  return usable("bg_BG.UTF-8") ? "bg_BG.UTF-8" : "";
}

TEST(RegionalTest, DecimalSymbolFromTheEnvironmentWithoutTouchingTheGlobalLocale) {
  ScopedEnv all("LC_ALL", "C");
  ScopedEnv num("LC_NUMERIC", nullptr);
  ScopedEnv lang("LANG", nullptr);
  const std::string before = ::setlocale(LC_ALL, nullptr);
  EXPECT_EQ(DecimalSymbol(), ".");
  EXPECT_EQ(TimeSeparator(), ":");

  SetDecimalSymbolOverride(",");
  EXPECT_EQ(DecimalSymbol(), ",");
  SetDecimalSymbolOverride(std::nullopt);
  EXPECT_EQ(DecimalSymbol(), ".");

  ScopedEnv bogus("LC_ALL", "xx_NOWHERE.UTF-8");  // unknown locale: the C symbol
  EXPECT_EQ(DecimalSymbol(), ".");

  nevtest::TempDir folder;
  ScopedEnv locpath("LOCPATH", nullptr);
  const std::string comma = CommaLocale(folder.str());
  if (!comma.empty()) {
    ScopedEnv a("LC_ALL", nullptr);
    ScopedEnv n("LC_NUMERIC", comma.c_str());
    ScopedEnv l("LANG", "C");
    EXPECT_EQ(DecimalSymbol(), ",");
    {
      ScopedEnv override_all("LC_ALL", "C");  // LC_ALL wins over LC_NUMERIC
      EXPECT_EQ(DecimalSymbol(), ".");
    }
    ScopedEnv n2("LC_NUMERIC", nullptr);
    ScopedEnv l2("LANG", comma.c_str());
    EXPECT_EQ(DecimalSymbol(), ",");
  }
  EXPECT_EQ(before, ::setlocale(LC_ALL, nullptr));
  if (comma.empty()) GTEST_SKIP() << "no locale with a decimal comma is installed";
}

TEST(ModuleTest, FolderAndStemOfThisExecutable) {
  char exe[PATH_MAX] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const std::string path = exe;
  EXPECT_EQ(ModuleFolder(), path.substr(0, path.rfind('/')));
  EXPECT_EQ(ModuleStem(), "platform_test");
}

TEST(MessageSinkTest, DefaultSinkWritesOneLineOnStandardError) {
  auto sink = DefaultMessageSink();
  ::testing::internal::CaptureStderr();
  sink->Show("RS232 Time out!\nsecond line", 16, "НЕВ COM Сървър");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "НЕВ COM Сървър [16]: RS232 Time out! second line\n");
}

}  // namespace
}  // namespace nev::platform
