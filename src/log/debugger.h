// CDebugger: the diagnostics log. Appends dated, level-filtered lines to Logs/<name>.log beside
// the module; one open-append-close per line; never lets a failure reach its caller.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nev/error.h"

namespace nev {

// Date and time of day for the log; tests inject a fixed clock.
class LogClock {
 public:
  virtual ~LogClock() = default;
  virtual std::tm LocalNow() = 0;             // local date and time
  virtual double SecondsSinceMidnight() = 0;  // time of day with fraction
  static std::shared_ptr<LogClock> System();
};

class CDebugger {
 public:
  // FileName defaults to the module's stem and the base folder to the module's folder.
  CDebugger();
  CDebugger(std::shared_ptr<LogClock> clock, std::string base_folder);
  ~CDebugger();  // ends an open session
  CDebugger(const CDebugger&) = delete;
  CDebugger& operator=(const CDebugger&) = delete;

  void Level(int32_t value);
  int32_t Level() const;
  std::string LastErrDescription() const;
  void Profiler(bool value);
  bool Profiler() const;
  void MaxFileSize(int32_t kb);
  int32_t MaxFileSize() const;
  void ShrinkFileSize(int32_t kb);
  int32_t ShrinkFileSize() const;
  void FileNameSuffix(const std::string& suffix);
  std::string FileNameSuffix() const;
  std::string FileName() const;
  void FileName(const std::string& name);

  // Cls is the caller's class name ("NEV"), or nullopt for none. Texts are UTF-8.
  void Information(std::optional<std::string_view> Cls = std::nullopt,
                   std::string_view InfoMsg = "", std::string_view FuncName = "");
  void Warning(std::optional<std::string_view> Cls = std::nullopt, std::string_view WarningMsg = "",
               std::string_view FuncName = "", const ErrorRecord* argErr = nullptr);
  void Critical(std::optional<std::string_view> Cls = std::nullopt,
                std::string_view CriticalMsg = "", std::string_view FuncName = "",
                const ErrorRecord* argErr = nullptr);
  // A support trace entry, written only at level 4 and above ("(t)" mark, same layout as an
  // information entry): frames on the line and the outcome of each call.
  void Trace(std::optional<std::string_view> Cls = std::nullopt, std::string_view TraceMsg = "",
             std::string_view FuncName = "");
  // The tail of the log file as whole lines. Throws RuntimeError on failure.
  std::string GetLastKB(int32_t KB);

  // Full path of the current log file (empty before the first session).
  std::string LogFile() const;
  // The folder in which "Logs" is made.
  std::string BaseFolder() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace nev
