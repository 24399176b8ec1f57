// CDebugger: the diagnostics log. Appends dated, level-filtered lines to Logs/<name>.log beside
// the module; the file is opened once per session and takes one write per line; never lets a
// failure reach its caller.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nev/error.h"
#include "nev/log.h"

namespace nev {

// Date and time of day for the log; tests inject a fixed clock.
class LogClock {
 public:
  virtual ~LogClock() = default;
  virtual std::tm LocalNow() = 0;             // local date and time
  virtual double SecondsSinceMidnight() = 0;  // time of day with fraction
  static std::shared_ptr<LogClock> System();
};

class CDebugger : public LogSettings {
 public:
  // FileName defaults to the module's stem and the base folder to the module's folder.
  CDebugger();
  CDebugger(std::shared_ptr<LogClock> clock, std::string base_folder);
  ~CDebugger() override;  // ends an open session
  CDebugger(const CDebugger&) = delete;
  CDebugger& operator=(const CDebugger&) = delete;

  void Level(int32_t value) override;
  int32_t Level() const override;
  std::string LastErrDescription() const;
  void Profiler(bool value) override;
  bool Profiler() const override;
  void MaxFileSize(int32_t kb) override;
  int32_t MaxFileSize() const override;
  void ShrinkFileSize(int32_t kb) override;
  int32_t ShrinkFileSize() const override;
  void FileNameSuffix(const std::string& suffix) override;
  std::string FileNameSuffix() const override;
  std::string FileName() const override;
  void FileName(const std::string& name) override;

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
  std::string LogFile() const override;
  // The folder in which "Logs" is made.
  std::string BaseFolder() const override;
  // Ends an open session; the next line starts a new session in the new folder.
  void BaseFolder(const std::string& folder) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace nev
