// The small file layer and local clock of the diagnostics log.
//
// Paths are UTF-8. Failures throw nev::RuntimeError with one of the file-error numbers of
// nev/error.h (kErrFileNotFound, kErrDiskFull, kErrPermissionDenied, kErrPathFileAccess,
// kErrPathNotFound ...) and the source "NEVComServer".
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nev::platform {

// The log's file, held open for a whole log session: opened once (created when missing), then
// one write per line, so that lines of several writers (other objects, other processes) never
// interleave. Each append and each cut holds the file's exclusive lock, which every writer takes.
// A cut by another writer is seen at the next line; a file removed under the handle is opened
// again by its path (POSIX) before the next line.
class LogFile {
 public:
  // Opens the file, creating it if missing. Throws RuntimeError.
  explicit LogFile(const std::string& path);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  const std::string& path() const { return path_; }

  // Writes `data` at the end of the file with ONE write call. A short write is an error and
  // leaves nothing of data behind. Returns the file's length after the append.
  int64_t Append(std::string_view data);

  // When the file is longer than limit bytes: reads only its last keep bytes (keep < 0: all),
  // lets shape turn them into the new content and rewrites the file with it, so that no line of
  // another writer is lost or torn by the cut. True when the file was cut. A lock held elsewhere
  // for seconds is an error.
  bool Cut(int64_t limit, int64_t keep, const std::function<void(std::string&)>& shape);

 private:
  void Open();

  std::string path_;
  intptr_t handle_ = -1;  // the system's descriptor or handle
};

// Length in bytes, or nullopt when the file is missing or its size cannot be read.
std::optional<int64_t> FileLength(const std::string& path);

// The whole file's bytes.
std::string ReadWholeFile(const std::string& path);

// The file's length and its last min(tail_bytes, length) bytes, read through one open handle.
struct FileTail {
  int64_t length = 0;
  std::string bytes;
};
FileTail ReadFileTail(const std::string& path, int64_t tail_bytes);

// Replaces the file's content with `data` (creating it if missing).
void RewriteFile(const std::string& path, std::string_view data);

// True when `path` names an existing folder.
bool FolderExists(const std::string& path);
// Creates one folder level; its parent must exist.
void CreateFolder(const std::string& path);

// Local date and time, and the time of day in seconds since midnight with fraction, read from
// the same instant.
struct LocalTime {
  std::tm date{};
  double seconds_since_midnight = 0;
};
LocalTime LocalTimeNow();

// Test hook: the next `count` calls of LogFile::Append fail as if another writer held the file
// (kErrPermissionDenied), without touching the file. 0 clears it.
void InjectAppendFailures(int count);

}  // namespace nev::platform
