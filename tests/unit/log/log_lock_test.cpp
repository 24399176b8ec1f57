// The log file shared by several writers: a cut never loses or tears another writer's line, a
// failed append leaves nothing behind, and a long session keeps to the size limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log/debugger.h"
#include "support/helpers.h"

namespace nev {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<CDebugger> Log(const fs::path& base, int32_t max_kb, int32_t shrink_kb) {
  auto log = std::make_unique<CDebugger>(LogClock::System(), base.string());
  log->FileName("shared");
  log->Profiler(false);
  log->MaxFileSize(max_kb);
  log->ShrinkFileSize(shrink_kb);
  return log;
}

std::vector<std::string> Lines(const std::string& text) {
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
    std::vector<std::string> now = Lines(nevtest::ReadFile(file));
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

  const std::vector<std::string> lines = Lines(nevtest::ReadFile(base.path() / "Logs/shared.log"));
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
  const std::vector<std::string> lines = Lines(nevtest::ReadFile(path));
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
  const std::vector<int> numbers = Numbered(Lines(nevtest::ReadFile(path)));
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), 999);
  EXPECT_LT(numbers.size(), 100u);
}

}  // namespace
}  // namespace nev
