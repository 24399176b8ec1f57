// NEVComServer.dll as Windows programs meet it, run under Wine: a private Wine prefix whose COM1
// is the pseudo-terminal of a simulator, regsvr32, a late-bound C++ client, a VBScript run by
// Wine's own script host, and the exports of both DLLs read with objdump.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "integration/network/ser2net.h"
#include "nevsim/simulator.h"
#include "support/commands.h"

namespace {

namespace fs = std::filesystem;
using nevtest::Command;

const fs::path kWork = NEV_COM_WORK;

// The Windows programs under test, from the mingw presets' build folders.
const char* const kWindowsBuilds[] = {NEV_COM_DLL_X64, NEV_COM_DLL_X86, NEV_COM_CLIENT,
                                      NEV_COM_WIN32_TEST};

// Skips every case when none of the Windows programs was built (only the Linux preset was). When
// some are there and others are not, the cases run and fail on what is missing.
class WindowsBuilds : public ::testing::Environment {
 public:
  void SetUp() override {
    if (std::none_of(std::begin(kWindowsBuilds), std::end(kWindowsBuilds),
                     [](const char* path) { return fs::exists(path); })) {
      GTEST_SKIP() << "Windows builds not found (" << NEV_COM_DLL_X64
                   << " and the rest): build the mingw-x64 and mingw-x86 presets first "
                      "(scripts/test does)";
    }
  }
};
::testing::Environment* const kWindowsBuildsCheck =
    ::testing::AddGlobalTestEnvironment(new WindowsBuilds);

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Ran {
  int status;  // exit code; 137 when killed at the time-out
  std::string output;
};

// Runs a program in the test's environment, its standard output and error in one file (a pipe
// would stay open as long as the wineserver the program started).
Ran Program(const std::vector<std::string>& argv, int timeout_s = 120) {
  const fs::path out = kWork.parent_path() / "output.txt";
  std::string command = "timeout -s KILL " + std::to_string(timeout_s);
  for (const auto& arg : argv) command += " '" + arg + "'";
  const int status = std::system((command + " >'" + out.string() + "' 2>&1 </dev/null").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out)};
}

std::string ToCp1251(std::string utf8) {
  iconv_t cd = iconv_open("CP1251", "UTF-8");
  std::string out(utf8.size(), '\0');
  char *src = utf8.data(), *dst = out.data();
  size_t src_left = utf8.size(), dst_left = out.size();
  iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

using Frames = std::vector<std::pair<Command, std::string>>;

Frames FramesOf(const nevsim::Simulator& sim) {
  Frames frames;
  for (const auto& r : sim.Frames()) {
    if (r.framed) frames.emplace_back(Command{r.cmd}, r.data);
  }
  return frames;
}

// The exports of both DLLs, without Wine: the four entry points at their ordinals, and imports of
// system DLLs only (a runtime DLL of the compiler here would be missing on a till).
TEST(ComExports, BothDllsExportTheFourEntryPointsByOrdinalAndNeedOnlySystemDlls) {
  const std::regex system(R"((kernel32|user32|advapi32|ole32|oleaut32|msvcrt|ws2_32)\.dll)",
                          std::regex::icase);
  // Rows of the export name table ("[   0] DllCanUnloadNow", index from the ordinal base) and
  // imported DLLs.
  const std::regex item(R"(\n\s*\[\s*(\d+)\] (\w+)(?=\n)|DLL Name: (\S+))");
  const struct {
    const char *dll, *objdump, *format;
  } builds[] = {{NEV_COM_DLL_X64, NEV_OBJDUMP_X64, "pei-x86-64"},
                {NEV_COM_DLL_X86, NEV_OBJDUMP_X86, "pei-i386"}};
  fs::create_directories(kWork.parent_path());
  for (const auto& build : builds) {
    SCOPED_TRACE(build.dll);
    ASSERT_TRUE(fs::exists(build.dll)) << "build the mingw presets first (scripts/test does)";
    const std::string dump = Program({build.objdump, "-p", build.dll}).output;
    EXPECT_NE(dump.find(std::string("file format ") + build.format), std::string::npos);
    EXPECT_NE(dump.find("Ordinal Base 1\n"), std::string::npos);
    std::string exports;
    for (std::sregex_iterator it(dump.begin(), dump.end(), item), end; it != end; ++it) {
      const std::smatch& m = *it;
      if (m[2].matched) exports += std::to_string(std::stoi(m[1]) + 1) + " " + m[2].str() + "\n";
      EXPECT_TRUE(!m[3].matched || std::regex_match(m[3].str(), system)) << "imports " << m[3];
    }
    EXPECT_EQ(exports,
              "1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllRegisterServer\n4 "
              "DllUnregisterServer\n");
  }
}

// The import table of a DLL as objdump lists it: "dll function" per imported function, the DLL
// in lower case. An import by ordinal has no name and reads as "dll #ordinal".
std::vector<std::string> ImportsOf(const std::string& dump) {
  std::vector<std::string> imports;
  const std::regex dll_line(R"(^\s*DLL Name: (\S+)$)");
  const std::regex named(R"(^\s*[0-9a-fA-F]+\s+\d+\s+(\S+)$)");
  const std::regex by_ordinal(R"(^\s*[0-9a-fA-F]+\s+(\d+)\s*<none>$)");
  std::istringstream lines(dump);
  std::string line, dll;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, dll_line)) {
      dll = m[1].str();
      for (char& c : dll) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (line.find_first_not_of(" \t") == std::string::npos) {
      dll.clear();  // a table ends with an empty line
    } else if (!dll.empty() && std::regex_match(line, m, named)) {
      imports.push_back(dll + " " + m[1].str());
    } else if (!dll.empty() && std::regex_match(line, m, by_ordinal)) {
      imports.push_back(dll + " #" + m[1].str());
    }
  }
  return imports;
}

// The kept list of imports that Windows XP has, for one build ("x64" entries for x64 only).
std::set<std::string> XpImports(bool x64) {
  std::set<std::string> allowed;
  std::istringstream lines(ReadFile(NEV_COM_XP_IMPORTS));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string dll, function, only;
    if (!(fields >> dll >> function) || dll[0] == '#') continue;
    fields >> only;
    if (only.empty() || (only == "x64") == x64) allowed.insert(dll + " " + function);
  }
  return allowed;
}

// Both DLLs load on Windows XP SP3: the PE header claims OS and subsystem version 5.01 (XP refuses
// a newer claim), and every imported function is one that XP's system DLLs export; a Vista one
// (GetTickCount64, CancelIoEx, RegDeleteTreeW...) would fail the load with "entry point not found".
TEST(ComExports, BothDllsClaimWindowsXpAndImportOnlyWhatXpExports) {
  const struct {
    const char *dll, *objdump;
    bool x64;
  } builds[] = {{NEV_COM_DLL_X64, NEV_OBJDUMP_X64, true},
                {NEV_COM_DLL_X86, NEV_OBJDUMP_X86, false}};
  fs::create_directories(kWork.parent_path());
  for (const auto& build : builds) {
    SCOPED_TRACE(build.dll);
    ASSERT_TRUE(fs::exists(build.dll)) << "build the mingw presets first (scripts/test does)";
    const std::string dump = Program({build.objdump, "-p", build.dll}).output;
    for (const char* field : {"MajorOSystemVersion\t5\n", "MinorOSystemVersion\t1\n",
                              "MajorSubsystemVersion\t5\n", "MinorSubsystemVersion\t1\n"}) {
      EXPECT_NE(dump.find(field), std::string::npos)
          << "the PE header lacks " << field
          << "(a build folder configured before the toolchain files set XP keeps its old flags: "
             "configure it again with cmake --preset mingw-x64 --fresh, or mingw-x86)";
    }
    const std::set<std::string> allowed = XpImports(build.x64);
    ASSERT_GT(allowed.size(), 100u) << "the list of XP imports is missing: " NEV_COM_XP_IMPORTS;
    const std::vector<std::string> imports = ImportsOf(dump);
    EXPECT_GT(imports.size(), 100u) << "the import table was not read:\n" << dump;
    std::string unknown;
    for (const auto& import : imports) {
      if (!allowed.count(import)) unknown += "  " + import + "\n";
    }
    EXPECT_EQ(unknown, "") << "imports that are not on the list of XP imports ("
                           << NEV_COM_XP_IMPORTS << "):\n"
                           << unknown;
  }
}

// The server under Wine: one prefix and one simulator for all cases.
class WineCom : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setup_error_ = Prepare(); }

  static void TearDownTestSuite() {
    Program({NEV_WINESERVER, "-k"}, 30);
    if (sim_) sim_->Stop();
    sim_.reset();
  }

  void SetUp() override {
    ASSERT_EQ(setup_error_, "");
    sim_->ClearFaults();
    sim_->ClearRecord();
    fs::remove(kWork / "messages.txt");
  }

  static Ran Wine(std::vector<std::string> args, int timeout_s = 120) {
    args.insert(args.begin(), NEV_WINE);
    return Program(args, timeout_s);
  }

  // Runs the test client, whose exit code is its number of failed checks.
  static void Client(std::vector<std::string> args) {
    const std::string mode = args[0];
    args.insert(args.begin(), {NEV_WINE, "C:\\NEV\\nevcom_client.exe"});
    const Ran run = Program(args);
    EXPECT_TRUE(run.status == 0 && run.output.find(mode + ": 0 failure(s)") != std::string::npos)
        << "exit " << run.status << ", output:\n"
        << run.output;
  }

  static std::string Messages() { return ReadFile(kWork / "messages.txt"); }

  static std::string Paper(size_t from) { return sim_->Paper().substr(from); }

  static std::string Prepare() {
    for (const char* needed :
         {NEV_COM_DLL_X64, NEV_COM_DLL_X86, NEV_COM_CLIENT, NEV_COM_WIN32_TEST}) {
      if (!fs::exists(needed)) return std::string("missing ") + needed + "; build the presets";
    }
    fs::remove_all(kWork);
    fs::create_directories(kWork);
    // The environment of every Wine program here; message boxes go to a file.
    setenv("WINEPREFIX", (kWork / "prefix").c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no Mono or Gecko installers
    setenv("NEVCOM_MESSAGES", ("Z:" + (kWork / "messages.txt").string()).c_str(), 1);
    setenv("NEVCOM_CODEPAGE", "1251", 1);
    setenv("LC_ALL", "C", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");

    nevsim::Options options;
    options.link_path = (kWork / "com1").string();
    options.paper_path = (kWork / "paper.txt").string();
    sim_ = std::make_unique<nevsim::Simulator>(options);
    sim_->Start();

    // No display here: the null graphics driver. COM1 is the simulator's line; Wine makes its
    // dosdevices link from this entry whenever the prefix starts.
    const std::vector<std::vector<std::string>> steps{
        {NEV_WINE, "wineboot", "-i"},
        {NEV_WINE, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null",
         "/f"},
        {NEV_WINE, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/d",
         (kWork / "com1").string(), "/f"},
        {NEV_WINESERVER, "-w"}};
    for (const auto& step : steps) {
      const Ran run = Program(step, 180);
      if (run.status != 0) return step[1] + " failed: " + run.output;
    }
    const fs::path folder = kWork / "prefix" / "drive_c" / "NEV";
    fs::create_directories(folder / "x86");
    fs::copy_file(NEV_COM_DLL_X64, folder / "NEVComServer.dll");
    fs::copy_file(NEV_COM_CLIENT, folder / "nevcom_client.exe");
    fs::copy_file(NEV_COM_DLL_X86, folder / "x86" / "NEVComServer.dll");
    // The script host reads scripts with Windows line ends.
    std::ofstream(folder / "receipt.vbs", std::ios::binary)
        << std::regex_replace(ReadFile(NEV_COM_SCRIPT), std::regex("\n"), "\r\n");
    std::ofstream(folder / "receipt_bg.vbs", std::ios::binary)
        << std::regex_replace(ReadFile(NEV_COM_SCRIPT_BG), std::regex("\n"), "\r\n");
    return Register();
  }

  static std::string Register() {
    const Ran run = Wine({"regsvr32", "/s", "C:\\NEV\\NEVComServer.dll"});
    return run.status == 0 ? "" : "regsvr32 failed: " + run.output;
  }

  static inline std::string setup_error_;
  static inline std::unique_ptr<nevsim::Simulator> sim_;
};

TEST_F(WineCom, RegistrationVersionBlockAndClassFactory) {
  Client({"registry", "C:\\NEV\\NEVComServer.dll"});
}

TEST_F(WineCom, TypeLibraryMatchesTheMemberTable) {
  Client({"typelib"});
}

// Only 64-bit Wine runs here, but the shipping 32-bit DLL's type library can still be read.
TEST_F(WineCom, TypeLibraryOfTheShippingX86DllMatchesTheMemberTable) {
  Client({"typelib", "C:\\NEV\\x86\\NEVComServer.dll"});
}

TEST_F(WineCom, LateBoundReceiptSendsExactlyTheseFrames) {
  const size_t paper_before = sim_->Paper().size();
  Client({"receipt"});
  // The calls refused in between sent nothing.
  const Frames expected{{Command::kProbe, ""},
                        {Command::kOpenFiscNote, "010000\t"},
                        {Command::kFiscText, ToCp1251("Касова бележка\t")},
                        {Command::kSellTaxGroup, ToCp1251("Хляб\tБ\t2.00\t1.25\t")},
                        {Command::kSellDep, "2\t1\t3\t"},
                        {Command::kAddition, "P-10\t"},
                        {Command::kSubTotal, ""},
                        {Command::kCloseFiscNote, ""},
                        {Command::kPay, "0110.00\t"},
                        {Command::kCloseFiscNote, ""},
                        {Command::kPaperFeed, "01"},
                        {Command::kGetStatus, ""}};
  EXPECT_EQ(FramesOf(*sim_), expected);
  ASSERT_FALSE(sim_->Frames().empty());
  EXPECT_EQ(sim_->Frames().front().seq, 0x20) << "a new object starts its sequence at 0x20";
  // Only the oversize text reached the user, under the server's title.
  EXPECT_TRUE(std::regex_match(Messages(), std::regex("\\[НЕВ COM Сървър\\] 16: [^\n]+\n")))
      << Messages();
  EXPECT_NE(Paper(paper_before).find("ОТСТЪПКА"), std::string::npos) << Paper(paper_before);
  // The log is written in a Logs folder beside the library, named after it.
  EXPECT_NE(ReadFile(kWork / "prefix/drive_c/NEV/Logs/NEVComServer.log").find("InitConnection"),
            std::string::npos);
}

// The probe waits for its time-out on Timer1 and tells the user.
TEST_F(WineCom, SilentDeviceIsReportedWithTheTitle) {
  sim_->SetSilent(true);
  Client({"nodevice"});
  EXPECT_EQ(Messages(), "[НЕВ COM Сървър] 16: Error opening COM Port!\n");
  EXPECT_EQ(FramesOf(*sim_), (Frames{{Command::kProbe, ""}}));
}

// Unattended machines: with NEVCOM_MESSAGES=log nothing is shown, and the message becomes a
// warning entry of the member that met it in the object's log.
TEST_F(WineCom, LogModeWritesMessagesAsWarningsOfTheCall) {
  const fs::path log = kWork / "prefix/drive_c/NEV/Logs/NEVComServer.log";
  const size_t log_before = fs::exists(log) ? fs::file_size(log) : 0;
  sim_->SetSilent(true);
  const std::string messages_setting = getenv("NEVCOM_MESSAGES");
  setenv("NEVCOM_MESSAGES", "log", 1);
  Client({"nodevice"});
  setenv("NEVCOM_MESSAGES", messages_setting.c_str(), 1);
  EXPECT_EQ(Messages(), "");
  const std::string added = ReadFile(log).substr(log_before);
  EXPECT_TRUE(std::regex_search(added, std::regex("\\(w\\)\tNEV\tInitConnection\tError opening COM "
                                                  "Port!\r\n")))
      << added;
}

// NEVCOM_LOG_LEVEL and NEVCOM_LOG_DIR tune every object's log: here level 4 in another folder,
// where each frame written and each byte received gets its trace line.
TEST_F(WineCom, LogEnvironmentSetsTheLevelAndTheFolder) {
  fs::create_directories(kWork / "prefix/drive_c/tracelog");
  sim_->SetSilent(true);
  setenv("NEVCOM_LOG_LEVEL", "4", 1);
  setenv("NEVCOM_LOG_DIR", "C:\\tracelog", 1);
  Client({"nodevice"});
  unsetenv("NEVCOM_LOG_LEVEL");
  unsetenv("NEVCOM_LOG_DIR");
  sim_->SetSilent(false);
  const std::string log = ReadFile(kWork / "prefix/drive_c/tracelog/Logs/NEVComServer.log");
  EXPECT_NE(log.find("(t)\tNEV\tInitConnection\t-> 02 "), std::string::npos) << log;
  EXPECT_NE(log.find("  probe\r\n"), std::string::npos) << log;
}

// The Win32 platform layer from inside (a Windows program linking the core): a port held by
// another handle is error 8005 with the style-48 box, the widened tick count, the owner and flags
// of real message boxes, and log mode.
TEST_F(WineCom, Win32PlatformLayer) {
  fs::create_directories(kWork / "scratch");
  const Ran run = Wine({NEV_COM_WIN32_TEST, "Z:" + (kWork / "scratch").string()});
  EXPECT_TRUE(run.status == 0 && run.output.find("win32: 0 failure(s)") != std::string::npos)
      << "exit " << run.status << ", output:\n"
      << run.output;
}

TEST_F(WineCom, VBScriptReceiptWithVariantVariablesPrintsOnThePaper) {
  const size_t paper_before = sim_->Paper().size();
  const Ran run = Wine({"cscript", "//nologo", "C:\\NEV\\receipt.vbs"});
  // The script host exits 0 even after a script error: the script's own verdict decides.
  EXPECT_NE(run.output.find("VERDICT: PASS"), std::string::npos) << run.output;
  std::vector<Command> commands;
  for (const auto& [cmd, data] : FramesOf(*sim_)) commands.push_back(cmd);
  EXPECT_EQ(commands,
            (std::vector<Command>{Command::kProbe, Command::kOpenFiscNote, Command::kFiscText,
                                  Command::kSellArt, Command::kSellTaxGroup, Command::kSubTotal,
                                  Command::kPay, Command::kCloseFiscNote}));
  for (const char* printed : {"Welcome, dear customer!", "Water 0.5 l", "3.30"}) {
    EXPECT_NE(Paper(paper_before).find(printed), std::string::npos) << Paper(paper_before);
  }
  EXPECT_EQ(Messages(), "");
}

// A Windows till reaching a LAN converter: port 5 (which Wine maps to no device) named by
// NEVCOM_COM5 as ser2net (Telnet COM-PORT-OPTION) in front of the simulator; the same script,
// on port 5, prints the same receipt.
TEST_F(WineCom, VBScriptReceiptThroughSer2netOnRfc2217) {
  nevtest::TempDir dir;
  nevtest::Ser2net server(dir, (kWork / "com1").string(), true);
  ASSERT_TRUE(server.Start());
  std::ofstream(kWork / "prefix" / "drive_c" / "NEV" / "receipt_net.vbs", std::ios::binary)
      << std::regex_replace(
             std::regex_replace(ReadFile(NEV_COM_SCRIPT), std::regex("InitConnection\\(1,"),
                                "InitConnection(5,"),
             std::regex("\n"), "\r\n");
  const size_t paper_before = sim_->Paper().size();
  setenv("NEVCOM_COM5", server.Url().c_str(), 1);
  const Ran run = Wine({"cscript", "//nologo", "C:\\NEV\\receipt_net.vbs"});
  unsetenv("NEVCOM_COM5");
  EXPECT_NE(run.output.find("VERDICT: PASS"), std::string::npos) << run.output;
  std::vector<Command> commands;
  for (const auto& [cmd, data] : FramesOf(*sim_)) commands.push_back(cmd);
  ASSERT_EQ(commands.size(), 8u);
  EXPECT_EQ(commands.back(), Command::kCloseFiscNote);
  EXPECT_NE(Paper(paper_before).find("Water 0.5 l"), std::string::npos) << Paper(paper_before);
  EXPECT_EQ(Messages(), "");
}

// A Bulgarian till: the script saved in Windows-1251, run under the locale bg_BG.CP1251 (system
// code page 1251, decimal comma), with no code page configured for the server: the names reach
// the wire as Windows-1251 bytes, and amounts carry the system decimal comma.
TEST_F(WineCom, CyrillicVBScriptReceiptUnderABulgarianLocale) {
  const fs::path locales = kWork / "locale";
  fs::create_directories(locales);
  const Ran made =
      Program({"localedef", "-i", "bg_BG", "-f", "CP1251", (locales / "bg_BG.CP1251").string()});
  ASSERT_TRUE(fs::exists(locales / "bg_BG.CP1251" / "LC_CTYPE"))
      << "localedef (package locales) failed: " << made.output;
  setenv("LOCPATH", locales.c_str(), 1);
  setenv("LC_ALL", "bg_BG.CP1251", 1);
  setenv("LANG", "bg_BG.CP1251", 1);
  unsetenv("NEVCOM_CODEPAGE");
  const size_t paper_before = sim_->Paper().size();
  const Ran run = Wine({"cscript", "//nologo", "C:\\NEV\\receipt_bg.vbs"});
  setenv("LC_ALL", "C", 1);
  unsetenv("LANG");
  unsetenv("LOCPATH");
  setenv("NEVCOM_CODEPAGE", "1251", 1);

  // The script ran in the system code page 1251 ("Х" is byte 213) with the decimal comma; it
  // checks every result by value (Booleans print as Bulgarian words there) and prints numbers.
  EXPECT_NE(run.output.find("LOCALE 213 1,5\r\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("TOTAL 645 645\r\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("VERDICT: PASS"), std::string::npos) << run.output;
  const Frames expected{{Command::kProbe, ""},
                        {Command::kOpenFiscNote, "010000\t"},
                        {Command::kFiscText, ToCp1251("Добре дошли, уважаеми клиенти!\t")},
                        {Command::kSellTaxGroup, ToCp1251("Хляб Добруджа\tБ\t2,00\t1,25\t")},
                        {Command::kSellTaxGroup, ToCp1251("Сирене „Витоша“ №1\tб\t0,50\t7,90\t")},
                        {Command::kSubTotal, ""},
                        {Command::kPay, "016,45\t"},
                        {Command::kCloseFiscNote, ""}};
  const Frames frames = FramesOf(*sim_);
  EXPECT_EQ(frames, expected);
  // The Windows-1251 bytes themselves: "Хляб", and the quotes and numero sign of the cheese.
  ASSERT_EQ(frames.size(), expected.size());
  EXPECT_EQ(frames[3].second.substr(0, 4), "\xD5\xEB\xFF\xE1");
  EXPECT_EQ(frames[4].second.substr(7, 12),
            "\x84\xC2\xE8\xF2\xEE\xF8\xE0\x93 \xB9"
            "1\t");
  EXPECT_NE(Paper(paper_before).find("Хляб Добруджа"), std::string::npos) << Paper(paper_before);
  EXPECT_EQ(Messages(), "");
}

TEST_F(WineCom, UnregisterRemovesWhatRegistrationWrote) {
  ASSERT_EQ(Wine({"regsvr32", "/u", "/s", "C:\\NEV\\NEVComServer.dll"}).status, 0);
  Client({"unregistered"});
  EXPECT_EQ(Register(), "") << "registered again for whatever runs next";
}

}  // namespace
