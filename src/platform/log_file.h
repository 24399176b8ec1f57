// The small file layer and local clock of the diagnostics log.
//
// Paths are UTF-8. Failures throw nev::RuntimeError with an automation file-error number
// (53 "File not found", 61 "Disk full", 70 "Permission denied", 75 "Path/File access error",
// 76 "Path not found" ...) and the source "NEVComServer".
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nev::platform {

// Opens the file for appending (creating it if missing), writes `data` with ONE write call and
// closes it, so that lines of several writers never interleave. The write holds the file's lock
// (see CutFile). A short write is an error and leaves nothing of data behind where the platform
// can take it back. Returns the file's length after the append.
int64_t AppendToFile(const std::string& path, std::string_view data);

// When the file is longer than limit bytes: reads only its last keep bytes (keep < 0: all), lets
// shape turn them into the new content and rewrites the file with it; all under the file's
// exclusive lock, which every append also takes, so that no line of another writer is lost or
// torn by the cut. True when the file was cut. A lock held elsewhere for seconds is an error.
bool CutFile(const std::string& path, int64_t limit, int64_t keep,
             const std::function<void(std::string&)>& shape);

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

// Test hook: the next `count` calls of AppendToFile fail as if another writer held the file
// (error 70), without touching the file. 0 clears it.
void InjectAppendFailures(int count);

}  // namespace nev::platform
