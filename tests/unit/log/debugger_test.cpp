// The diagnostics log against real files in temporary folders, with a pinned clock; and the log
// file shared by several writers: a cut never loses or tears another writer's line, a failed
// append leaves nothing behind, and a long session keeps to the size limit.
#include "log/debugger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/event_loop.h"
#include "platform/log_file.h"
#include "platform/module.h"
#include "platform/regional.h"
#include "support/helpers.h"

namespace nev {
namespace {

namespace fs = std::filesystem;
using nevtest::ReadFile;
using nevtest::WriteFile;

// Single-digit fields everywhere, so every line checks the zero padding of the date.
class FakeClock : public LogClock {
 public:
  std::tm LocalNow() override {
    std::tm t{};  // 01-02-2031 03:04:05
    t.tm_year = 131, t.tm_mon = 1, t.tm_mday = 1, t.tm_hour = 3, t.tm_min = 4, t.tm_sec = 5;
    return t;
  }
  double SecondsSinceMidnight() override { return seconds; }
  double seconds = 36902.0;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetDecimalSymbolOverride("."); }
  void TearDown() override {
    platform::SetDecimalSymbolOverride(std::nullopt);
    platform::InjectAppendFailures(0);
  }

  std::unique_ptr<CDebugger> MakeLog(bool profiler = false) {
    auto log = std::make_unique<CDebugger>(clock, base.string());
    log->FileName("test");
    log->Profiler(profiler);
    return log;
  }
  fs::path LogPath(const std::string& name = "test") const {
    return base / "Logs" / (name + ".log");
  }
  // The 100-byte lines "Lnnnnn xxx...\r\n" numbered from to to - 1.
  static std::string Lines(int from, int to) {
    std::string text;
    for (char head[16]; from < to; ++from) {
      std::snprintf(head, sizeof head, "L%05d ", from);
      text += head + std::string(91, 'x') + "\r\n";
    }
    return text;
  }

  nevtest::TempDir dir;
  const fs::path base = dir.path();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  const std::string stamp =
      "01-02-2031 03" + platform::TimeSeparator() + "04" + platform::TimeSeparator() + "05";
  const std::string start = "Debug Session Start: " + stamp + "\r\n";
  const std::string end = "Debug Session End: " + stamp + "\r\n";
};

TEST_F(LogTest, SessionsFromFirstUseToASuffixChange) {
  clock->seconds = 86399.5;
  {
    CDebugger log(clock, base.string());
    EXPECT_EQ(std::tuple(log.Level(), log.Profiler(), log.MaxFileSize(), log.ShrinkFileSize(),
                         log.FileNameSuffix(), log.FileName(), log.LogFile()),
              std::tuple(3, true, 512, 500, "", platform::ModuleStem(), ""));
    log.FileName("test");
    log.FileNameSuffix("");  // without a session: no session end, the profiler stays on
    EXPECT_FALSE(fs::exists(base / "Logs"));
    clock->seconds = 0.75;  // measured from the object's creation, across midnight
    log.Information("NEV", "entering", "StopConnection");
    log.FileName("renamed");  // takes effect at the next session only
    clock->seconds = 3.5;
    platform::SetDecimalSymbolOverride(",");
    log.Information("NEV", "two");
    log.FileNameSuffix("_2");  // ends the session, and the profiler
    EXPECT_FALSE(fs::exists(LogPath("renamed_2")));
    log.Information("NEV", "three");
  }
  EXPECT_EQ(ReadFile(LogPath()), "Secs: 1.250\t" + start + "Secs: 0.000\t" + stamp +
                                     "\t(i)\tNEV\tStopConnection\tentering\r\n" + "Secs: 2,750\t" +
                                     stamp + "\t(i)\tNEV\ttwo\r\n" + "Secs: 0,000\t" + end);
  EXPECT_EQ(ReadFile(LogPath("renamed_2")), start + stamp + "\t(i)\tNEV\tthree\r\n" + end);
}

// A session holds its file open from its first line to its end (a day's rotation by suffix ends
// it); a file removed under the session is made again by the next line, not written unseen.
TEST_F(LogTest, ASessionHoldsItsFileOpenAndMakesItAgainWhenRemoved) {
  auto held = [&](const std::string& name) {  // how often this process holds the file open
    int count = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      count += fs::read_symlink(fd.path(), ec) == fs::canonical(LogPath(name));
    }
    return count;
  };
  auto log = MakeLog();
  log->Information("NEV", "one");
  log->Information("NEV", "two");
  EXPECT_EQ(held("test"), 1);
  fs::remove(LogPath());
  log->Information("NEV", "three");
  EXPECT_EQ(ReadFile(LogPath()), stamp + "\t(i)\tNEV\tthree\r\n");
  log->FileNameSuffix("_02");
  EXPECT_EQ(held("test"), 0);
  log->Information("NEV", "four");
  EXPECT_EQ(held("test_02"), 1);
  log.reset();
  EXPECT_EQ(ReadFile(LogPath("test_02")), start + stamp + "\t(i)\tNEV\tfour\r\n" + end);
}

// Through the public settings interface: a new folder ends the open session in the old one, the
// next line starts a session in the new one, and the profiler stays as it was.
TEST_F(LogTest, BaseFolderChangeMovesTheNextSessionAndKeepsTheProfiler) {
  auto log = MakeLog(true);
  LogSettings& settings = *log;
  clock->seconds = 36902.25;
  log->Information("NEV", "one");
  const fs::path moved = base / "moved";
  fs::create_directory(moved);
  settings.BaseFolder(moved.string());
  EXPECT_EQ(settings.BaseFolder(), moved.string());
  EXPECT_TRUE(settings.Profiler());
  log->Information("NEV", "two");
  EXPECT_EQ(settings.LogFile(), (moved / "Logs" / "test.log").string());
  EXPECT_EQ(ReadFile(LogPath()), "Secs: 0.250\t" + start + "Secs: 0.000\t" + stamp +
                                     "\t(i)\tNEV\tone\r\n" + "Secs: 0.000\t" + end);
  EXPECT_EQ(ReadFile(moved / "Logs" / "test.log"),
            "Secs: 0.000\t" + start + "Secs: 0.000\t" + stamp + "\t(i)\tNEV\ttwo\r\n");
  // Without an open session nothing is written anywhere; the folder is only stored.
  auto quiet = MakeLog();
  quiet->BaseFolder((base / "never").string());
  EXPECT_FALSE(fs::exists(base / "never"));
}

TEST_F(LogTest, EntryLayoutsOfTheThreeKinds) {
  auto log = MakeLog();
  const ErrorRecord err{6, "Overflow", "NEVComServer"};
  log->Information();
  log->Critical();
  log->Warning();
  log->Information("NEV", "", "PaperFeed");
  log->Information(std::nullopt, "just a message");
  log->Warning("NEV", "Няма хартия", "GetStatus", &err);
  log->Critical("NEV", "", "PaperFeed", &err);
  log->Critical(std::nullopt, "msg", "Func");
  log->Information("NEV", "", "");

  const std::string errors =
      "\r\n\tErr_No: 6\r\n\tErr_Description: Overflow\r\n\tErr_Source: NEVComServer\r\n";
  EXPECT_EQ(ReadFile(LogPath()),
            start +                                                               //
                stamp + "\t(i)\r\n" +                                             //
                stamp + "\t(c)\t\r\n" +                                           //
                stamp + "\t(w)\r\n" +                                             //
                stamp + "\t(i)\tNEV\tPaperFeed\r\n" +                             //
                stamp + "\t(i)\tjust a message\r\n" +                             //
                stamp + "\t(w)\tNEV\tGetStatus\tНяма хартия" + errors + "\r\n" +  //
                stamp + "\t(c)\t\tNEV\tPaperFeed" + errors + "\r\n" +             //
                stamp + "\t(c)\t\tFunc\tmsg\r\n" +                                //
                stamp + "\t(i)\tNEV\r\n");
}

TEST_F(LogTest, LevelFiltersEntriesAndSessionLines) {
  const std::string i = stamp + "\t(i)\r\n", c = stamp + "\t(c)\t\r\n";
  const std::string w =
      stamp + "\t(w)\r\n\tErr_No: 5\r\n\tErr_Description: bad\r\n\tErr_Source: src\r\n\r\n";
  const std::string expected[] = {"", start + c + end, start + w + c + end,
                                  start + i + w + c + end};
  const ErrorRecord err{5, "bad", "src"};
  for (int level = 0; level <= 3; ++level) {
    SCOPED_TRACE(level);
    auto log = MakeLog();
    log->FileName("level" + std::to_string(level));
    log->Level(level);
    log->Information();
    log->Warning(std::nullopt, "", "", &err);
    // A warning below the level sets nothing, not even LastErrDescription.
    EXPECT_EQ(log->LastErrDescription(), level >= 2 ? "bad" : "");
    log->Critical();
    log.reset();
    const fs::path path = LogPath("level" + std::to_string(level));
    EXPECT_EQ(fs::exists(path) ? ReadFile(path) : "", expected[level]);
  }
  EXPECT_FALSE(fs::exists(LogPath("level0")));
}

TEST_F(LogTest, LevelChangeLineOnlyWhileASessionIsOpen) {
  auto log = MakeLog();
  log->Level(2);  // no session yet: no line
  log->Critical();
  log->Level(2);  // written even when unchanged
  log->Level(0);  // and when switching off
  log->Critical();
  log->Level(-7);  // any non-zero level writes the session end
  log.reset();
  EXPECT_EQ(ReadFile(LogPath()), start + stamp + "\t(c)\t\r\n" + "Debug Level Changed: from 2to 2" +
                                     stamp + "\r\n" + "Debug Level Changed: from 2to 0" + stamp +
                                     "\r\n" + "Debug Level Changed: from 0to -7" + stamp + "\r\n" +
                                     end);
}

TEST_F(LogTest, SessionStartCutsAnOversizeFileToWholeLines) {
  const auto session_after = [&](const std::string& before, int32_t max_kb, int32_t shrink_kb) {
    fs::create_directories(base / "Logs");
    WriteFile(LogPath(), before);
    auto log = MakeLog();
    log->MaxFileSize(max_kb);
    log->ShrinkFileSize(shrink_kb);
    log->Critical();
    return ReadFile(LogPath());
  };
  const std::string exact = std::string(86, 'f') + "\r\n" + Lines(0, 5242);
  ASSERT_EQ(exact.size(), 524288u);
  const std::string small = "first\r\nsecond\r\nthird\r\n", less_first = "second\r\nthird\r\n\r\n";
  const struct {
    int32_t max_kb, shrink_kb;
    std::string before, kept;
  } cases[] = {
      {512, 500, exact, exact},  // exactly the limit: kept
      // One byte more: the last 512,000 characters start on a line boundary, yet that first line
      // is still dropped; the kept text gets one more CR LF.
      {512, 500, "+" + exact, Lines(123, 5242) + "\r\n"},
      // Limit 2 KB, keep 1 KB = the last 10 lines and 24 bytes of the one before, which goes.
      {2, 1, Lines(0, 30), Lines(20, 30) + "\r\n"},
      // Signed 32-bit arithmetic: MaxFileSize x 1024 overflows, so no cut (a negative limit
      // would); the largest that fits still keeps a small file; an overflowing or negative keep
      // loses the first line; keeping nothing leaves only the added CR LF; no CR LF in the kept
      // text: only its first character goes.
      {2097152, 0, small, small},
      {2097151, 0, small, small},
      {0, 2097152, small, less_first},
      {0, -1, small, less_first},
      {0, 0, small, "\r\n"},
      {0, 500, "abcdef", "bcdef\r\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.max_kb << " " << c.shrink_kb << " " << c.before.size());
    EXPECT_EQ(session_after(c.before, c.max_kb, c.shrink_kb),
              c.kept + start + stamp + "\t(c)\t\r\n");
  }
}

TEST_F(LogTest, WriteRetriedAfterFailuresWithNotesInFrontOfTheEntry) {
  auto log = MakeLog(true);
  log->Information("NEV", "ready");
  const std::string before = ReadFile(LogPath());
  bool events_ran = false;
  platform::PostEvent([&] { events_ran = true; });
  platform::InjectAppendFailures(1);
  clock->seconds += 0.5;
  log->Information("NEV", "once");
  EXPECT_TRUE(events_ran);  // the thread's events ran between the attempts
  platform::InjectAppendFailures(2);
  log->Warning("NEV", "twice");
  platform::InjectAppendFailures(3);  // three failures: the line is lost, the next one is written
  log->Critical("NEV", "lost");
  log->Critical("NEV", "kept");

  const auto note = [](char n) {
    return std::string("Write To File Attempt ") + n +
           ": FAILED. \r\n\tErr_No: 70\r\n\tErr_Description: Permission denied\r\n"
           "\tErr_Source: NEVComServer\r\n\r\n";
  };
  const std::string secs = "Secs: 0.000\t";
  EXPECT_EQ(ReadFile(LogPath()), before + note('1') + "Secs: 0.500\t" + stamp +
                                     "\t(i)\tNEV\tonce\r\n" + note('2') + note('1') + secs + stamp +
                                     "\t(w)\tNEV\ttwice\r\n" + secs + stamp +
                                     "\t(c)\t\tNEV\tkept\r\n");
}

TEST_F(LogTest, UnwritablePlacesAndHostileInputNeverReachTheCaller) {
  fs::create_directories(LogPath());  // a folder where the file should be
  auto log = MakeLog();
  log->Information("NEV", "a");
  log->FileNameSuffix("_ok");
  log->Critical("NEV", "c");
  log.reset();
  EXPECT_TRUE(fs::is_empty(LogPath()));
  EXPECT_EQ(ReadFile(LogPath("test_ok")), start + stamp + "\t(c)\t\tNEV\tc\r\n" + end);

  // "Logs" exists as a plain file, so the folder cannot be made; the file stays untouched.
  fs::remove_all(base / "Logs");
  WriteFile(base / "Logs", "in the way");
  log = MakeLog();
  log->Critical("NEV", "", "PaperFeed");
  log->Level(1);
  EXPECT_THROW(log->GetLastKB(1), RuntimeError);
  log.reset();
  EXPECT_EQ(ReadFile(base / "Logs"), "in the way");

  // Hostile names and texts.
  fs::remove(base / "Logs");
  log = MakeLog();
  log->FileName(std::string("evil\0name", 9));  // must not be cut short at the NUL
  log->Critical("NEV", "x");
  EXPECT_FALSE(fs::exists(LogPath("evil")));
  log = MakeLog();
  const std::string big = std::string(300000, 'Z') + std::string("\0tail", 5);
  log->Information("NEV", big);
  EXPECT_NE(ReadFile(LogPath()).find(stamp + "\t(i)\tNEV\t" + big + "\r\n"), std::string::npos);
}

TEST_F(LogTest, GetLastKBReturnsWholeLinesWithoutTheFinalLineEnd) {
  auto log = MakeLog();
  EXPECT_THROW(log->GetLastKB(1), RuntimeError);  // no session, no file name yet
  log->Information("NEV", "second");
  log->Information("NEV", "third");
  EXPECT_EQ(log->GetLastKB(1), stamp + "\t(i)\tNEV\tsecond\r\n" + stamp + "\t(i)\tNEV\tthird");
  // 20 lines of 100 bytes: the last KB starts inside line 10, which is dropped.
  WriteFile(LogPath(), Lines(0, 20));
  EXPECT_EQ(log->GetLastKB(1), Lines(10, 20).substr(0, 998));
  EXPECT_EQ(nevtest::ErrorOf([&] { log->GetLastKB(2097152); }), kErrOverflow);
  for (int32_t kb : {-1, 0}) EXPECT_THROW(log->GetLastKB(kb), RuntimeError) << kb;
  fs::remove(LogPath());
  EXPECT_THROW(log->GetLastKB(1), RuntimeError);
}

TEST_F(LogTest, TwoProcessesAppendingNeverInterleaveLines) {
  const std::string payload(20000, 'p');
  fs::create_directories(base / "Logs");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  auto log = MakeLog();
  log->MaxFileSize(1 << 20);  // no cut at the second session's start
  for (int n = 0; n < 300; ++n) log->Information(child ? "parent" : "child", payload);
  log.reset();
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  const auto lines =
      nevtest::LogEntries(LogPath());  // whole lines only: 600 entries, 4 session lines
  EXPECT_EQ(lines.size(), 604u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "(i)\tchild\t" + payload), 300);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "(i)\tparent\t" + payload), 300);
}

std::unique_ptr<CDebugger> Log(const fs::path& base, int32_t max_kb, int32_t shrink_kb) {
  auto log = std::make_unique<CDebugger>(LogClock::System(), base.string());
  log->FileName("shared");
  log->Profiler(false);
  log->MaxFileSize(max_kb);
  log->ShrinkFileSize(shrink_kb);
  return log;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(text.substr(at, end - at));
  }
  if (at < text.size()) lines.push_back(text.substr(at) + "<torn>");
  return lines;
}

// The numbers of the appender's lines ("... line N") found in the file, in file order.
std::vector<int> Numbered(const std::vector<std::string>& lines) {
  std::vector<int> numbers;
  for (const std::string& line : lines) {
    const auto at = line.find("\tline ");
    if (at != std::string::npos) numbers.push_back(std::stoi(line.substr(at + 6)));
  }
  return numbers;
}

TEST(LogSharing, CutsOfAnotherProcessLoseNoLineOfAnAppender) {
  nevtest::TempDir base;
  constexpr int kLines = 20000;
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe2(done, O_NONBLOCK), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char start;
    if (read(go[0], &start, 1) != 1) _exit(1);
    auto log = Log(base.path(), 2097151, 0);  // never cuts by itself
    for (int i = 0; i < kLines; ++i) log->Information("NEV", "line " + std::to_string(i), "Test");
    if (write(done[1], "d", 1) != 1) _exit(1);
    log.reset();
    _exit(0);
  }
  // Session starts that cut to the last 8 KB whenever the file passes 16 KB, for as long as the
  // appender runs.
  ASSERT_EQ(write(go[1], "g", 1), 1);
  // After each cut, what is left of the appender must be an unbroken run (a line still being
  // written at the very end is left out).
  // The cutter waits for the appender to add 2 KB between its sessions, so that a starved
  // appender on a loaded machine cannot see all its lines cut away by a run of cutter sessions.
  const fs::path file = base.path() / "Logs/shared.log";
  int sessions = 0;
  std::string gap;
  std::uintmax_t after_cut = 0;
  for (pollfd ended{done[0], POLLIN, 0}; poll(&ended, 1, 1) == 0;) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (!ec && size < after_cut + 2048) continue;
    Log(base.path(), 16, 12)->Information("NEV", "cutter", "Test");
    after_cut = fs::file_size(file, ec);
    if (sessions++ % 4 != 0) continue;
    std::vector<std::string> now = SplitLines(nevtest::ReadFile(file));
    if (!now.empty() && now.back().ends_with("<torn>")) now.pop_back();
    const std::vector<int> numbers = Numbered(now);
    for (std::size_t i = 1; i < numbers.size() && gap.empty(); ++i) {
      if (numbers[i] != numbers[i - 1] + 1)
        gap = "lost after line " + std::to_string(numbers[i - 1]);
    }
  }
  EXPECT_EQ(gap, "");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_GT(sessions, 10);

  const std::vector<std::string> lines =
      SplitLines(nevtest::ReadFile(base.path() / "Logs/shared.log"));
  for (const std::string& line : lines) {
    const bool known = line.empty() || line.rfind("Debug Session ", 0) == 0 ||
                       line.find("\t(i)\tNEV\tTest\t") != std::string::npos;
    ASSERT_TRUE(known) << "torn or glued: " << line;
  }
  // Cuts take the oldest lines only: what is left of the appender is an unbroken run to its end.
  const std::vector<int> numbers = Numbered(lines);
  ASSERT_FALSE(numbers.empty());
  EXPECT_GT(numbers.front(), 0);  // the cuts did take lines away
  EXPECT_EQ(numbers.back(), kLines - 1);
  for (std::size_t i = 1; i < numbers.size(); ++i) {
    ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "lost after line " << numbers[i - 1];
  }
}

TEST(LogSharing, AFailedAppendLeavesNoPartOfItsLine) {
  nevtest::TempDir base;
  auto log = Log(base.path(), 512, 500);
  log->Information("NEV", "before", "Test");
  const auto path = base.path() / "Logs/shared.log";
  const std::string before = nevtest::ReadFile(path);
  // A full disk: the file may grow by 10 bytes only, so the next write is cut short.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit tight = saved;
  tight.rlim_cur = before.size() + 10;
  setrlimit(RLIMIT_FSIZE, &tight);
  log->Information("NEV", "this line does not fit", "Test");
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_EQ(nevtest::ReadFile(path), before);
  log->Information("NEV", "after", "Test");
  const std::vector<std::string> lines = SplitLines(nevtest::ReadFile(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[2].find("\t(i)\tNEV\tTest\t"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("\tafter"), std::string::npos) << lines[2];
}

TEST(LogSharing, ALongSessionKeepsToTheSizeLimit) {
  nevtest::TempDir base;
  auto log = Log(base.path(), 4, 2);
  const auto path = base.path() / "Logs/shared.log";
  std::uintmax_t largest = 0;
  for (int i = 0; i < 1000; ++i) {
    log->Information("NEV", "line " + std::to_string(i), "Test");
    largest = std::max(largest, fs::file_size(path));
  }
  // Past 4 KB at most by the one line that crossed it.
  EXPECT_LE(largest, 4u * 1024 + 100);
  const std::vector<int> numbers = Numbered(SplitLines(nevtest::ReadFile(path)));
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), 999);
  EXPECT_LT(numbers.size(), 100u);
}

}  // namespace
}  // namespace nev
