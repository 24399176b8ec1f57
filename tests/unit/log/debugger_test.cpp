// The diagnostics log against real files in temporary folders, with a pinned clock.
#include "log/debugger.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
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

const std::string kSep(1, platform::kPathSeparator);

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
  void SetUp() override {
    platform::SetDecimalSymbolOverride(".");
    platform::InjectAppendFailures(0);
  }
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
  // 100-byte lines "Lnnnnn xxx...\r\n".
  static std::vector<std::string> Lines(int count) {
    std::vector<std::string> lines;
    for (int n = 0; n < count; ++n) {
      char head[16];
      std::snprintf(head, sizeof head, "L%05d ", n);
      lines.push_back(head + std::string(98 - 7, 'x') + "\r\n");
    }
    return lines;
  }
  static std::string Join(const std::vector<std::string>& lines, size_t from) {
    std::string out;
    for (size_t n = from; n < lines.size(); ++n) out += lines[n];
    return out;
  }

  nevtest::TempDir dir;
  const fs::path base = dir.path();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  const std::string stamp =
      "01-02-2031 03" + platform::TimeSeparator() + "04" + platform::TimeSeparator() + "05";
  const std::string start = "Debug Session Start: " + stamp + "\r\n";
  const std::string end = "Debug Session End: " + stamp + "\r\n";
};

// --- Sessions ------------------------------------------------------------------------------------

TEST_F(LogTest, FirstUseCreatesLogsFolderAndSessionLinesWithElapsedPrefix) {
  {
    CDebugger log(clock, base.string());
    EXPECT_EQ(log.Level(), 3);
    EXPECT_TRUE(log.Profiler());
    EXPECT_EQ(log.MaxFileSize(), 512);
    EXPECT_EQ(log.ShrinkFileSize(), 500);
    EXPECT_EQ(log.FileNameSuffix(), "");
    EXPECT_EQ(log.FileName(), platform::ModuleStem());
    EXPECT_EQ(log.LogFile(), "");
    log.FileName("test");
    log.FileNameSuffix("");  // without a session: no session end, the profiler stays on
    EXPECT_FALSE(fs::exists(base / "Logs"));

    clock->seconds += 1.25;  // measured from the object's creation
    log.Information("NEV", "entering", "StopConnection");
    EXPECT_TRUE(fs::is_directory(base / "Logs"));
    EXPECT_EQ(log.LogFile(), base.string() + kSep + "Logs" + kSep + "test.log");
    clock->seconds += 2;
  }
  EXPECT_EQ(ReadFile(LogPath()),
            "Secs: 1.250\tDebug Session Start: " + stamp + "\r\n" +  //
                "Secs: 0.000\t" + stamp + "\t(i)\tNEV\tStopConnection\tentering\r\n" +
                "Secs: 2.000\tDebug Session End: " + stamp + "\r\n");
}

TEST_F(LogTest, ElapsedPrefixWrapsAtMidnightAndUsesTheDecimalSymbol) {
  clock->seconds = 86399.5;
  auto log = MakeLog(true);
  clock->seconds = 0.5;
  log->Information();
  clock->seconds = 3.25;
  platform::SetDecimalSymbolOverride(",");
  log->Information();
  const std::string text = ReadFile(LogPath());
  EXPECT_EQ(text, "Secs: 1.000\tDebug Session Start: " + stamp + "\r\n" +  //
                      "Secs: 0.000\t" + stamp + "\t(i)\r\n" +              //
                      "Secs: 2,750\t" + stamp + "\t(i)\r\n");
}

TEST_F(LogTest, SuffixChangeEndsTheSessionAndTheNextLineStartsANewFile) {
  auto log = MakeLog(true);
  log->Information("NEV", "one");
  log->FileName("renamed");  // takes effect at the next session only
  log->Information("NEV", "two");
  log->FileNameSuffix("_2");
  EXPECT_EQ(log->FileNameSuffix(), "_2");
  EXPECT_FALSE(log->Profiler());
  EXPECT_FALSE(fs::exists(LogPath("renamed_2")));
  log->Information("NEV", "three");
  EXPECT_EQ(log->LogFile(), (base / "Logs" / "renamed_2.log").string());
  log.reset();

  EXPECT_EQ(ReadFile(LogPath()), "Secs: 0.000\tDebug Session Start: " + stamp + "\r\n" +
                                     "Secs: 0.000\t" + stamp + "\t(i)\tNEV\tone\r\n" +
                                     "Secs: 0.000\t" + stamp + "\t(i)\tNEV\ttwo\r\n" +
                                     "Secs: 0.000\tDebug Session End: " + stamp + "\r\n");
  // After the switch the profiler is off: no prefixes in the new file.
  EXPECT_EQ(ReadFile(LogPath("renamed_2")), start + stamp + "\t(i)\tNEV\tthree\r\n" + end);
  EXPECT_FALSE(fs::exists(LogPath("renamed")));
}

// --- Entries, levels and the level-change line ---------------------------------------------------

TEST_F(LogTest, EntryLayoutsOfTheThreeKinds) {
  auto log = MakeLog();
  const ErrorRecord err{6, "Overflow", "NEVComServer"};
  log->Information();
  log->Critical();
  log->Warning();
  log->Information("NEV", "", "PaperFeed");
  log->Information(std::nullopt, "just a message");
  log->Warning("NEV", "Няма хартия", "GetStatus", &err);
  EXPECT_EQ(log->LastErrDescription(), "Overflow");
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
  EXPECT_EQ(log->Level(), 0);
  log->Critical();
  log->Level(-7);  // any non-zero level writes the session end
  log.reset();
  EXPECT_EQ(ReadFile(LogPath()), start + stamp + "\t(c)\t\r\n" + "Debug Level Changed: from 2to 2" +
                                     stamp + "\r\n" + "Debug Level Changed: from 2to 0" + stamp +
                                     "\r\n" + "Debug Level Changed: from 0to -7" + stamp + "\r\n" +
                                     end);
}

// --- Size cut at session start -------------------------------------------------------------------

class LogCutTest : public LogTest {
 protected:
  // The log after one session on a file that held `before`.
  std::string SessionAfter(const std::string& before, int32_t max_kb = 512,
                           int32_t shrink_kb = 500) {
    fs::create_directories(base / "Logs");
    WriteFile(LogPath(), before);
    auto log = MakeLog();
    log->MaxFileSize(max_kb);
    log->ShrinkFileSize(shrink_kb);
    log->Critical();
    return ReadFile(LogPath());
  }
  const std::string session = start + stamp + "\t(c)\t\r\n";
};

TEST_F(LogCutTest, FileOfExactlyTheLimitIsKeptAndOneByteMoreIsCutToWholeLines) {
  const std::vector<std::string> lines = Lines(5242);  // 524,200 bytes
  const std::string exact = std::string(86, 'f') + "\r\n" + Join(lines, 0);
  ASSERT_EQ(exact.size(), 524288u);
  EXPECT_EQ(SessionAfter(exact), exact + session);
  // One byte more: the last 512,000 characters start on a line boundary, yet that first line is
  // still dropped; the kept text gets one more CR LF.
  EXPECT_EQ(SessionAfter("+" + exact), Join(lines, 5242 - 5119) + "\r\n" + session);
  // Limit 2 KB, keep 1 KB = the last 10 lines and 24 bytes of the one before, which goes.
  EXPECT_EQ(SessionAfter(Join(Lines(30), 0), 2, 1), Join(Lines(30), 20) + "\r\n" + session);
}

TEST_F(LogCutTest, HugeSettingsOverflowLikeSigned32BitArithmetic) {
  const std::string small = "first\r\nsecond\r\nthird\r\n";
  const struct {
    int32_t max_kb, shrink_kb;
    std::string before, kept;
  } cases[] = {
      {2097152, 0, small, small},  // MaxFileSize x 1024 overflows: no cut (a negative limit would)
      {2097151, 0, small, small},  // the largest that fits: still no cut of a small file
      {0, 2097152, small, "second\r\nthird\r\n\r\n"},  // keep overflows: less the first line
      {0, -1, small, "second\r\nthird\r\n\r\n"},       // a negative keep: the same
      {0, 0, small, "\r\n"},                           // keeping nothing: only the added CR LF
      {0, 500, "abcdef", "bcdef\r\n"},  // no CR LF in the kept text: only its first character goes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.max_kb << " " << c.shrink_kb << " " << c.before);
    EXPECT_EQ(SessionAfter(c.before, c.max_kb, c.shrink_kb), c.kept + session);
  }
}

// --- Failures never reach the caller -------------------------------------------------------------

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

  auto note = [](int n) {
    return "Write To File Attempt " + std::to_string(n) +
           ": FAILED. \r\n\tErr_No: 70\r\n\tErr_Description: Permission denied\r\n"
           "\tErr_Source: NEVComServer\r\n\r\n";
  };
  const std::string note1 = note(1), note2 = note(2);
  EXPECT_EQ(ReadFile(LogPath()), before + note1 + "Secs: 0.500\t" + stamp + "\t(i)\tNEV\tonce\r\n" +
                                     note2 + note1 + "Secs: 0.000\t" + stamp +
                                     "\t(w)\tNEV\ttwice\r\n");

  // Three failures: the line is lost, the next one is written normally.
  platform::InjectAppendFailures(3);
  const std::string kept = ReadFile(LogPath());
  log->Critical("NEV", "lost");
  EXPECT_EQ(ReadFile(LogPath()), kept);
  log->Critical("NEV", "kept");
  EXPECT_EQ(ReadFile(LogPath()), kept + "Secs: 0.000\t" + stamp + "\t(c)\t\tNEV\tkept\r\n");
}

TEST_F(LogTest, UnwritablePlacesLoseLinesSilently) {
  fs::create_directories(LogPath());  // a folder where the file should be
  auto log = MakeLog();
  log->Information("NEV", "a");
  log->Critical("NEV", "b");
  log->FileNameSuffix("_ok");
  log->Critical("NEV", "c");
  log.reset();
  EXPECT_TRUE(fs::is_empty(LogPath()));
  EXPECT_EQ(ReadFile(LogPath("test_ok")), start + stamp + "\t(c)\t\tNEV\tc\r\n" + end);

  // "Logs" exists as a plain file, so the folder cannot be made; the file stays untouched.
  fs::remove_all(base / "Logs");
  WriteFile(base / "Logs", "in the way");
  log = MakeLog();
  EXPECT_NO_THROW(log->Critical("NEV", "", "PaperFeed"));
  EXPECT_EQ(log->LogFile(), base.string() + kSep + "Logs" + kSep);
  EXPECT_NO_THROW(log->Information("NEV", "later"));
  EXPECT_NO_THROW(log->Level(1));
  EXPECT_THROW(log->GetLastKB(1), RuntimeError);
  log.reset();
  EXPECT_EQ(ReadFile(base / "Logs"), "in the way");

  // A base folder that does not exist at all behaves the same.
  CDebugger missing(clock, (base / "no" / "such").string());
  EXPECT_NO_THROW(missing.Critical("NEV", "x"));
  EXPECT_FALSE(fs::exists(base / "no"));
}

TEST_F(LogTest, HostileNamesAndTexts) {
  auto log = MakeLog();
  log->FileName(std::string("evil\0name", 9));  // must not be cut short at the NUL
  log->Critical("NEV", "x");
  log.reset();
  EXPECT_FALSE(fs::exists(LogPath("evil")));

  log = MakeLog();
  const std::string big(300000, 'Z');
  log->Information("NEV", big + std::string("\0tail", 5));
  log.reset();
  const std::string text = ReadFile(LogPath());
  EXPECT_NE(text.find(stamp + "\t(i)\tNEV\t" + big + std::string("\0tail\r\n", 7)),
            std::string::npos);
}

// --- GetLastKB -----------------------------------------------------------------------------------

TEST_F(LogTest, GetLastKBReturnsWholeLinesWithoutTheFinalLineEnd) {
  auto log = MakeLog();
  EXPECT_THROW(log->GetLastKB(1), RuntimeError);  // no session, no file name yet
  log->Information("NEV", "second");
  log->Information("NEV", "third");
  EXPECT_EQ(log->GetLastKB(1), stamp + "\t(i)\tNEV\tsecond\r\n" + stamp + "\t(i)\tNEV\tthird");

  // 20 lines of 100 bytes: the last KB starts inside line 10, which is dropped.
  WriteFile(LogPath(), Join(Lines(20), 0));
  const std::string expected = Join(Lines(20), 10);
  EXPECT_EQ(log->GetLastKB(1), expected.substr(0, expected.size() - 2));

  try {
    log->GetLastKB(2097152);
    ADD_FAILURE() << "no overflow";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), kErrOverflow);
  }
  EXPECT_THROW(log->GetLastKB(-1), RuntimeError);
  EXPECT_THROW(log->GetLastKB(0), RuntimeError);

  fs::remove(LogPath());
  EXPECT_THROW(log->GetLastKB(1), RuntimeError);
}

// --- Two writers on one file ---------------------------------------------------------------------

TEST_F(LogTest, TwoProcessesAppendingNeverInterleaveLines) {
  constexpr int kLines = 300;
  const std::string payload(20000, 'p');
  auto write_lines = [&](const char* who) {
    CDebugger log(clock, base.string());
    log.FileName("shared");
    log.Profiler(false);
    log.MaxFileSize(1 << 20);  // no cut at the second session's start
    for (int n = 0; n < kLines; ++n) log.Information(who, payload, std::to_string(n));
  };
  fs::create_directories(base / "Logs");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    write_lines("child");
    _exit(0);
  }
  write_lines("parent");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  int entries[2] = {0, 0}, sessions = 0;
  for (const std::string& line : nevtest::LogEntries(LogPath("shared"))) {
    if (line.rfind("Debug Session", 0) == 0) {
      ++sessions;
      continue;
    }
    const bool from_child = line.rfind("(i)\tchild\t", 0) == 0;
    ASSERT_TRUE(from_child || line.rfind("(i)\tparent\t", 0) == 0) << line.substr(0, 80);
    ASSERT_TRUE(line.ends_with("\t" + payload)) << line.substr(0, 80);
    ++entries[from_child ? 1 : 0];
  }
  EXPECT_EQ(sessions, 4);
  EXPECT_EQ(entries[0], kLines);
  EXPECT_EQ(entries[1], kLines);
}

}  // namespace
}  // namespace nev
