// NEVComServer.dll as Windows programs meet it, run under Wine: a private Wine prefix whose COM1
// is the pseudo-terminal of a simulator, regsvr32, a late-bound C++ client, a VBScript run by
// Wine's own script host, and the exports of both DLLs read with objdump.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nevsim/simulator.h"

namespace {

namespace fs = std::filesystem;

struct ProgramRun {
  int status = -1;  // exit code; -1 when the program did not end normally or in time
  std::string output;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a program with extra environment, its standard output and error going to one file.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env, const fs::path& output_file,
                      int timeout_s) {
  ProgramRun run;
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    const int fd = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      run.output = ReadFile(output_file) + "\n[killed after " + std::to_string(timeout_s) + " s]";
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.output = ReadFile(output_file);
  return run;
}

std::string ToCp1251(const std::string& utf8) {
  iconv_t cd = iconv_open("CP1251", "UTF-8");
  std::string in = utf8;
  std::string out(utf8.size() * 2 + 4, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

// A path as Windows programs in the prefix see it (drive Z: is the root folder).
std::string WindowsPath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// The lines of a client's or script's output that report a failed check.
std::string Failures(const std::string& output) {
  std::string failed;
  for (const auto& line : Lines(output)) {
    if (line.rfind("FAIL", 0) == 0) failed += line + "\n";
  }
  return failed;
}

struct Frame {
  int cmd;
  std::string data;
  bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& f) {
  out << "{0x" << std::hex << f.cmd << std::dec << ", \"";
  for (unsigned char c : f.data) {
    if (c == '\t') {
      out << "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      out << "\\x" << std::hex << static_cast<int>(c) << std::dec;
    } else {
      out << c;
    }
  }
  return out << "\"}";
}

std::vector<Frame> FramesOf(const nevsim::Simulator& sim) {
  std::vector<Frame> frames;
  for (const auto& r : sim.Frames()) {
    if (r.framed) frames.push_back({r.cmd, r.data});
  }
  return frames;
}

// --- the exports of both DLLs, without Wine ----------------------------------------------------

struct Exports {
  std::string format;
  std::map<int, std::string> by_ordinal;
  std::set<std::string> imported_dlls;
};

Exports ReadExports(const std::string& objdump, const std::string& dll, const fs::path& scratch) {
  Exports result;
  const ProgramRun run = RunProgram({objdump, "-p", dll}, {}, scratch, 60);
  const std::regex format_line(R"(file format (\S+))");
  const std::regex export_line(
      R"(^\s*\[\s*(\d+)\]\s+\+base\[\s*(\d+)\]\s+[0-9a-fA-F]+\s+Export RVA)");
  const std::regex name_line(R"(^\s*\[\s*(\d+)\]\s+(\w+)\s*$)");
  const std::regex dll_line(R"(DLL Name:\s*(\S+))");
  std::smatch m;
  std::map<int, int> ordinal_of_index;
  bool in_names = false;
  for (const auto& line : Lines(run.output)) {
    if (std::regex_search(line, m, format_line)) result.format = m[1];
    if (std::regex_search(line, m, dll_line)) {
      std::string name = m[1];
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      result.imported_dlls.insert(name);
    }
    if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) in_names = true;
    if (std::regex_search(line, m, export_line)) {
      ordinal_of_index[std::stoi(m[1])] = std::stoi(m[2]);
    } else if (in_names && std::regex_search(line, m, name_line)) {
      const int index = std::stoi(m[1]);
      result.by_ordinal[ordinal_of_index.count(index) ? ordinal_of_index[index] : -index] = m[2];
    }
  }
  return result;
}

TEST(ComExports, BothDllsExportTheFourEntryPointsByOrdinalAndNeedOnlySystemDlls) {
  const fs::path scratch = fs::path(NEV_COM_WORK).parent_path() / "objdump.txt";
  fs::create_directories(scratch.parent_path());
  const std::map<int, std::string> expected{{1, "DllCanUnloadNow"},
                                            {2, "DllGetClassObject"},
                                            {3, "DllRegisterServer"},
                                            {4, "DllUnregisterServer"}};
  // What any Windows offers; a runtime DLL of the compiler here would be missing on a till.
  const std::set<std::string> system{"kernel32.dll", "user32.dll",   "advapi32.dll",
                                     "ole32.dll",    "oleaut32.dll", "msvcrt.dll"};
  const struct {
    const char* dll;
    const char* objdump;
    const char* format;
  } builds[] = {{NEV_COM_DLL_X64, NEV_OBJDUMP_X64, "pei-x86-64"},
                {NEV_COM_DLL_X86, NEV_OBJDUMP_X86, "pei-i386"}};
  for (const auto& build : builds) {
    SCOPED_TRACE(build.dll);
    ASSERT_TRUE(fs::exists(build.dll))
        << "build the mingw presets first (scripts/test does): cmake --preset mingw-x64 && "
           "cmake --build --preset mingw-x64, the same for mingw-x86";
    const Exports exports = ReadExports(build.objdump, build.dll, scratch);
    EXPECT_EQ(exports.format, build.format);
    EXPECT_EQ(exports.by_ordinal, expected);
    for (const auto& dll : exports.imported_dlls) {
      EXPECT_TRUE(system.count(dll)) << "imports " << dll;
    }
  }
}

// --- the server under Wine ---------------------------------------------------------------------

class WineCom : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    work_ = NEV_COM_WORK;
    setup_error_ = Prepare();
  }

  static void TearDownTestSuite() {
    if (!work_.empty()) {
      RunProgram({NEV_WINESERVER, "-k"}, Env(), work_ / "wineserver.txt", 30);
    }
    if (sim_) sim_->Stop();
    sim_.reset();
  }

  void SetUp() override {
    ASSERT_TRUE(setup_error_.empty()) << setup_error_;
    sim_->ClearFaults();
    sim_->ClearRecord();
    fs::remove(work_ / "messages.txt");
  }

  static std::map<std::string, std::string> Env() {
    return {{"WINEPREFIX", (work_ / "prefix").string()},
            {"WINEDEBUG", "-all"},
            // No Mono or Gecko installers while the prefix is made.
            {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"NEVCOM_MESSAGES", WindowsPath(work_ / "messages.txt")},
            {"NEVCOM_CODEPAGE", "1251"},
            {"LC_ALL", "C"}};
  }

  static ProgramRun Wine(std::vector<std::string> args, int timeout_s = 120) {
    args.insert(args.begin(), NEV_WINE);
    return RunProgram(args, Env(), work_ / "output.txt", timeout_s);
  }

  static std::string Messages() { return ReadFile(work_ / "messages.txt"); }

  static std::string Describe(const ProgramRun& run) {
    return "exit " + std::to_string(run.status) + ", output:\n" + run.output;
  }

  // Registers the DLL once; the unregistration case registers it again afterwards.
  static void EnsureRegistered() {
    if (registered_) return;
    const ProgramRun run = Wine({"regsvr32", "/s", "C:\\NEV\\NEVComServer.dll"});
    ASSERT_EQ(run.status, 0) << Describe(run);
    registered_ = true;
  }

  static std::string Prepare() {
    for (const char* needed : {NEV_COM_DLL_X64, NEV_COM_DLL_X86, NEV_COM_CLIENT}) {
      if (!fs::exists(needed)) {
        return std::string("missing ") + needed +
               "; build the mingw presets first (scripts/test does)";
      }
    }
    std::error_code ignored;
    fs::remove_all(work_, ignored);
    fs::create_directories(work_);

    nevsim::Options options;
    options.link_path = (work_ / "com1").string();
    options.paper_path = (work_ / "paper.txt").string();
    sim_ = std::make_unique<nevsim::Simulator>(options);
    sim_->Start();

    ProgramRun run = Wine({"wineboot", "-i"}, 180);
    if (run.status != 0) return "wineboot -i failed: " + Describe(run);
    // No display here: the null graphics driver. COM1 is the simulator's line; Wine makes its
    // dosdevices link from this entry whenever the prefix starts.
    run =
        Wine({"reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f"});
    if (run.status != 0) return "reg add Graphics failed: " + Describe(run);
    run = Wine({"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/d",
                (work_ / "com1").string(), "/f"});
    if (run.status != 0) return "reg add COM1 failed: " + Describe(run);
    run = RunProgram({NEV_WINESERVER, "-w"}, Env(), work_ / "wineserver.txt", 60);
    if (run.status != 0) return "wineserver -w failed: " + Describe(run);

    const fs::path folder = work_ / "prefix" / "drive_c" / "NEV";
    fs::create_directories(folder);
    fs::copy_file(NEV_COM_DLL_X64, folder / "NEVComServer.dll");
    fs::copy_file(NEV_COM_CLIENT, folder / "nevcom_client.exe");
    fs::create_directories(folder / "x86");
    fs::copy_file(NEV_COM_DLL_X86, folder / "x86" / "NEVComServer.dll");
    // The script host reads scripts in the ANSI code page with Windows line ends.
    std::string script;
    for (char c : ReadFile(NEV_COM_SCRIPT)) {
      if (c == '\n') script += '\r';
      script += c;
    }
    std::ofstream(folder / "receipt.vbs", std::ios::binary) << script;
    return {};
  }

  static inline fs::path work_;
  static inline std::string setup_error_;
  static inline std::unique_ptr<nevsim::Simulator> sim_;
  static inline bool registered_ = false;
};

TEST_F(WineCom, RegistrationVersionBlockAndEntryPoints) {
  EnsureRegistered();
  const ProgramRun run =
      Wine({"C:\\NEV\\nevcom_client.exe", "registry", "C:\\NEV\\NEVComServer.dll"});
  EXPECT_EQ(Failures(run.output), "");
  EXPECT_EQ(run.status, 0) << Describe(run);
  EXPECT_NE(run.output.find("registry: 0 failure(s)"), std::string::npos) << run.output;
}

TEST_F(WineCom, TypeLibraryMatchesTheMemberTable) {
  EnsureRegistered();
  const ProgramRun run = Wine({"C:\\NEV\\nevcom_client.exe", "typelib"});
  EXPECT_EQ(Failures(run.output), "");
  EXPECT_EQ(run.status, 0) << Describe(run);
  EXPECT_NE(run.output.find("typelib: 0 failure(s)"), std::string::npos) << run.output;
}

// Only 64-bit Wine runs here, but the shipping 32-bit DLL's type library can still be read.
TEST_F(WineCom, TypeLibraryOfTheShippingX86DllMatchesTheMemberTable) {
  const ProgramRun run =
      Wine({"C:\\NEV\\nevcom_client.exe", "typelib-of", "C:\\NEV\\x86\\NEVComServer.dll", "win32"});
  EXPECT_EQ(Failures(run.output), "");
  EXPECT_EQ(run.status, 0) << Describe(run);
  EXPECT_NE(run.output.find("typelib-of: 0 failure(s)"), std::string::npos) << run.output;
}

TEST_F(WineCom, LateBoundReceiptSendsExactlyTheseFrames) {
  EnsureRegistered();
  const size_t paper_before = sim_->Paper().size();
  const ProgramRun run = Wine({"C:\\NEV\\nevcom_client.exe", "receipt"});
  EXPECT_EQ(Failures(run.output), "");
  EXPECT_EQ(run.status, 0) << Describe(run);
  EXPECT_NE(run.output.find("subtotal 4.95 2.70 2.25 0 (vt 5 5)"), std::string::npos) << run.output;

  // The calls the binding refused in between sent nothing.
  const std::vector<Frame> expected{
      {0xFF, ""},
      {0x83, "010000\t"},
      {0x85, ToCp1251("Касова бележка\t")},
      {0x86, ToCp1251("Хляб\tБ\t2.00\t1.25\t")},
      {0x88, "2\t1\t3\t"},
      {0x89, "P-10\t"},
      {0x8A, ""},
      {0x8B, "0110.00\t"},
      {0x84, ""},
      {0x8F, "01"},
      {0xA1, ""},
  };
  EXPECT_EQ(FramesOf(*sim_), expected);
  const auto received = sim_->Frames();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.front().seq, 0x20) << "a new object starts its sequence at 0x20";
  EXPECT_EQ(Messages(), "") << "a receipt the device accepts shows no message";

  const std::string paper = sim_->Paper().substr(paper_before);
  EXPECT_NE(paper.find("Касова бележка"), std::string::npos) << paper;
  EXPECT_NE(paper.find("ОТСТЪПКА"), std::string::npos) << paper;
  // The log is written in a Logs folder beside the library, named after it.
  const std::string log =
      ReadFile(work_ / "prefix" / "drive_c" / "NEV" / "Logs" / "NEVComServer.log");
  EXPECT_NE(log.find("InitConnection"), std::string::npos) << log;
}

TEST_F(WineCom, SilentDeviceAndOversizeTextReachTheUserWithTheTitle) {
  EnsureRegistered();
  sim_->SetSilent(true);
  const ProgramRun run = Wine({"C:\\NEV\\nevcom_client.exe", "nodevice"});
  EXPECT_EQ(Failures(run.output), "");
  EXPECT_EQ(run.status, 0) << Describe(run);
  // The probe waited for its time-out on Timer1 and closed the port; the oversize text was
  // refused before anything was framed.
  const std::vector<std::string> messages = Lines(Messages());
  ASSERT_EQ(messages.size(), 2u) << Messages();
  EXPECT_EQ(messages[0], "[НЕВ COM Сървър] 16: Error opening COM Port!");
  EXPECT_EQ(messages[1].rfind("[НЕВ COM Сървър] 16: ", 0), 0u) << messages[1];
  EXPECT_GT(messages[1].size(), std::string("[НЕВ COM Сървър] 16: ").size());
  EXPECT_EQ(FramesOf(*sim_), (std::vector<Frame>{{0xFF, ""}}));
}

TEST_F(WineCom, VBScriptReceiptWithVariantVariablesPrintsOnThePaper) {
  EnsureRegistered();
  const size_t paper_before = sim_->Paper().size();
  const ProgramRun run = Wine({"cscript", "//nologo", "C:\\NEV\\receipt.vbs"});
  // The script host exits 0 even after a script error: the script's own verdict decides.
  EXPECT_EQ(Failures(run.output), "");
  EXPECT_NE(run.output.find("VERDICT: PASS"), std::string::npos) << Describe(run);
  std::vector<int> commands;
  for (const auto& f : FramesOf(*sim_)) commands.push_back(f.cmd);
  EXPECT_EQ(commands, (std::vector<int>{0xFF, 0x83, 0x85, 0x87, 0x86, 0x8A, 0x8B, 0x84}));
  const std::string paper = sim_->Paper().substr(paper_before);
  EXPECT_NE(paper.find("Welcome, dear customer!"), std::string::npos) << paper;
  EXPECT_NE(paper.find("Water 0.5 l"), std::string::npos) << paper;
  EXPECT_NE(paper.find("3.30"), std::string::npos) << paper;
  EXPECT_EQ(Messages(), "");
}

TEST_F(WineCom, UnregisterRemovesWhatRegistrationWrote) {
  EnsureRegistered();
  ProgramRun run = Wine({"regsvr32", "/u", "/s", "C:\\NEV\\NEVComServer.dll"});
  ASSERT_EQ(run.status, 0) << Describe(run);
  registered_ = false;
  run = Wine({"C:\\NEV\\nevcom_client.exe", "unregistered"});
  EXPECT_EQ(Failures(run.output), "");
  EXPECT_EQ(run.status, 0) << Describe(run);
  // Registered again for whatever runs next.
  EnsureRegistered();
}

}  // namespace
