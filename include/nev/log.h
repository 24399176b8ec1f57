// Tuning the NEV object's diagnostics log: level, profiler, file name, folder and size limits.
//
// The log appends one line per entry to <BaseFolder>/Logs/<FileName><FileNameSuffix>.log. Level 0
// writes nothing, 1 failed methods in silent mode, 2 adds device warnings, 3 (the default) adds
// progress notes, 4 adds a trace: one line per frame written and per reply or control byte
// received (hex and the command's name) and one per call's outcome. A session starts with the
// first line written; at its start a file longer than MaxFileSize KB is cut back to the whole
// lines of its last ShrinkFileSize KB (a long session cuts the same way at the next line once the
// file passes it). A log failure never reaches the caller.
#pragma once

#include <cstdint>
#include <string>

namespace nev {

class LogSettings {
 public:
  virtual ~LogSettings() = default;

  // Lowest level that writes an entry kind: 1 critical, 2 warning, 3 information (default 3),
  // 4 the trace of frames, bytes and outcomes.
  virtual void Level(int32_t value) = 0;
  virtual int32_t Level() const = 0;
  // Prefix every line with the seconds since the previous one (default on).
  virtual void Profiler(bool value) = 0;
  virtual bool Profiler() const = 0;
  // The size in KB past which the file is cut: at the start of a session, and in a long one at
  // the next line written once the file has passed it (default 512).
  virtual void MaxFileSize(int32_t kb) = 0;
  virtual int32_t MaxFileSize() const = 0;
  // How many KB of whole lines a cut keeps (default 500).
  virtual void ShrinkFileSize(int32_t kb) = 0;
  virtual int32_t ShrinkFileSize() const = 0;
  // File name without ".log" (default: the module's name); applies from the next session.
  virtual void FileName(const std::string& name) = 0;
  virtual std::string FileName() const = 0;
  // Appended to FileName; setting it ends the open session, the next line starts a new file.
  virtual void FileNameSuffix(const std::string& suffix) = 0;
  virtual std::string FileNameSuffix() const = 0;
  // The folder in which "Logs" is made (default: the module's folder); it must exist. Setting it
  // ends the open session; the next line starts a new session there.
  virtual void BaseFolder(const std::string& folder) = 0;
  virtual std::string BaseFolder() const = 0;
  // Full path of the current log file (empty before the first session).
  virtual std::string LogFile() const = 0;

 protected:
  LogSettings() = default;
  LogSettings(const LogSettings&) = default;
  LogSettings& operator=(const LogSettings&) = default;
};

}  // namespace nev
