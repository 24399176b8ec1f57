#include "log/debugger.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <new>
#include <utility>

#include "platform/codepage.h"
#include "platform/event_loop.h"
#include "platform/log_file.h"
#include "platform/module.h"
#include "platform/regional.h"

namespace nev {

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr int kWriteAttempts = 3;
constexpr float kSecondsPerDay = 86400.0f;

class SystemClock : public LogClock {
 public:
  std::tm LocalNow() override { return platform::LocalTimeNow().date; }
  double SecondsSinceMidnight() override { return platform::LocalTimeNow().seconds_since_midnight; }
};

bool FitsInt32(int64_t value) {
  return value >= std::numeric_limits<int32_t>::min() &&
         value <= std::numeric_limits<int32_t>::max();
}

// Sizes are kilobytes in signed 32-bit arithmetic: nullopt when KB x 1024 overflows.
std::optional<int32_t> KilobytesToBytes(int32_t kb) {
  const int64_t bytes = static_cast<int64_t>(kb) * 1024;
  if (!FitsInt32(bytes)) return std::nullopt;
  return static_cast<int32_t>(bytes);
}

// Keeps the last `count` characters (all of them when shorter). A negative count is an invalid
// argument: false, and the text stays as it was.
bool KeepRight(std::string& text, int64_t count) {
  if (count < 0) return false;
  if (static_cast<uint64_t>(count) < text.size()) text.erase(0, text.size() - count);
  return true;
}

// Drops the first, partial line: everything up to and including the first CR LF, or only the
// first character when there is none. False (text untouched) when the text is empty.
bool DropFirstLine(std::string& text) {
  const size_t found = text.find(kCrLf);
  const int64_t p = found == std::string::npos ? 0 : static_cast<int64_t>(found) + 1;
  return KeepRight(text, static_cast<int64_t>(text.size()) - p - 1);
}

std::string Two(int value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", value);
  return buf;
}

std::string SafeModuleFolder() {
  try {
    return platform::ModuleFolder();
  } catch (...) {
    return {};
  }
}

std::string SafeModuleStem() {
  try {
    return platform::ModuleStem();
  } catch (...) {
    return {};
  }
}

}  // namespace

std::shared_ptr<LogClock> LogClock::System() {
  static const std::shared_ptr<LogClock> clock = std::make_shared<SystemClock>();
  return clock;
}

struct CDebugger::Impl {
  std::shared_ptr<LogClock> clock;
  std::string base_folder;

  int32_t level = 3;
  bool profiler = true;
  std::string file_name;
  std::string last_err_description;
  std::string log_file;
  std::string file_name_suffix;
  float last_time = 0;
  bool session_open = false;
  int32_t max_file_size = 512;
  int32_t shrink_file_size = 500;
  int64_t last_length = -1;  // the file's length after this log's last append
  // The session's file, opened at its first cut or line and held until the session ends.
  std::unique_ptr<platform::LogFile> file;
  // The base folder is the module's own (not set by the caller): when it cannot be written (an
  // installed program), the log moves to the user's state folder instead of losing its lines.
  bool may_fall_back = false;
  bool fell_back = false;

  // "dd-mm-yyyy hh:mm:ss" with the system time separator.
  std::string DateStamp() {
    const std::tm now = clock->LocalNow();
    const std::string sep = platform::TimeSeparator();
    char date[48];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d ", now.tm_mday, now.tm_mon + 1,
                  now.tm_year + 1900);
    return date + Two(now.tm_hour) + sep + Two(now.tm_min) + sep + Two(now.tm_sec);
  }

  static std::string ErrorText(const ErrorRecord& err) {
    return "\tErr_No: " + std::to_string(err.number) + kCrLf +
           "\tErr_Description: " + err.description + kCrLf + "\tErr_Source: " + err.source + kCrLf;
  }

  // Seconds with three decimals and the system decimal symbol ("0.000").
  static std::string FormatSeconds(float seconds) {
    char buf[80];
    const auto result = std::to_chars(buf, buf + sizeof buf, static_cast<double>(seconds),
                                      std::chars_format::fixed, 3);
    std::string text(buf, result.ec == std::errc() ? result.ptr : buf);
    const size_t dot = text.find('.');
    if (dot != std::string::npos) text.replace(dot, 1, platform::DecimalSymbol());
    return text;
  }

  std::string LogFolder() const {
    std::string folder = base_folder;
    if (folder.empty() || folder.back() != platform::kPathSeparator) {
      folder += platform::kPathSeparator;
    }
    return folder + "Logs";
  }

  // Opens the session. False when the "Logs" folder could not be made: the session stays open
  // on a path that cannot be written, so nothing is logged from then on.
  bool StartSession() {
    session_open = true;
    fell_back = false;
    file.reset();
    const std::string folder = LogFolder();
    log_file = folder + platform::kPathSeparator;
    try {
      if (!platform::FolderExists(folder)) platform::CreateFolder(folder);
      log_file += file_name + file_name_suffix + ".log";
    } catch (...) {
      if (!FallBack()) return false;
    }
    if (level == 0) return true;
    SkipOnError([&] { CutFile(); });
    SkipOnError([&] { WriteToFile("Debug Session Start: " + DateStamp()); });
    return true;
  }

  // Moves the session's file to the user's state folder, once, when the module's folder failed.
  bool FallBack() {
    if (!may_fall_back || fell_back) return false;
    std::string folder;
    SkipOnError([&] { folder = platform::UserStateFolder(); });
    if (folder.empty()) return false;
    log_file = folder + platform::kPathSeparator + file_name + file_name_suffix + ".log";
    file.reset();
    fell_back = true;
    last_length = -1;
    return true;
  }

  // A file longer than MaxFileSize KB keeps the whole lines of its last ShrinkFileSize KB. Only
  // that tail is read, and the cut holds the file's lock, so other writers lose no line.
  void CutFile() {
    const std::optional<int32_t> limit = KilobytesToBytes(max_file_size);
    if (!limit) return;
    const std::optional<int32_t> keep = KilobytesToBytes(shrink_file_size);
    const int64_t keep_bytes = keep && *keep >= 0 ? *keep : -1;  // otherwise all of it
    File().Cut(*limit, keep_bytes, [](std::string& text) {
      DropFirstLine(text);
      text += kCrLf;
    });
    last_length = -1;
  }

  // A long session obeys the size limit too: once an append left the file past MaxFileSize,
  // the next line cuts it first, by the same rule as a session start.
  void CutIfGrown() {
    const std::optional<int32_t> limit = KilobytesToBytes(max_file_size);
    if (limit && last_length > *limit) SkipOnError([&] { CutFile(); });
  }

  void EndSession() {
    SkipOnError([&] {
      if (level != 0) WriteToFile("Debug Session End: " + DateStamp());
    });
    profiler = false;
    session_open = false;
    file.reset();
  }

  // The session's file, opened when first needed. Throws RuntimeError when it cannot be opened.
  platform::LogFile& File() {
    if (!file) file = std::make_unique<platform::LogFile>(log_file);
    return *file;
  }

  void WriteToFile(std::string text) {
    if (!session_open) {
      if (!StartSession()) return;
    } else {
      CutIfGrown();
    }
    SkipOnError([&] {
      if (profiler) {
        const float now = static_cast<float>(clock->SecondsSinceMidnight());
        float elapsed = now - last_time;
        if (elapsed < 0) elapsed += kSecondsPerDay;
        last_time = now;
        text = "Secs: " + FormatSeconds(elapsed) + "\t" + text;
      }
    });
    for (int attempt = 1; attempt <= kWriteAttempts; ++attempt) {
      ErrorRecord error;
      try {
        std::string line = text + kCrLf;
        try {
          line = platform::ToSystemText(line);
        } catch (const RuntimeError&) {
        }
        last_length = File().Append(line);
        return;
      } catch (...) {
        error = RecordOf(std::current_exception());
        file.reset();  // the next attempt opens the file afresh
      }
      // The module's folder takes no file (no right to write there): the same line, once more,
      // in the user's state folder, not counted as an attempt.
      if (error.number == kErrPermissionDenied && FallBack()) {
        --attempt;
        continue;
      }
      SkipOnError([&] { platform::DoEvents(); });
      SkipOnError([&] {
        text = "Write To File Attempt " + std::to_string(attempt) + ": FAILED. " + kCrLf +
               ErrorText(error) + kCrLf + text;
      });
    }
  }

  // One entry of a kind that needs at least min_level; nothing of it reaches the caller.
  void Entry(int32_t min_level, const char* mark, std::optional<std::string_view> cls,
             std::string_view func, std::string_view msg, const ErrorRecord* err) noexcept {
    SkipOnError([&] {
      if (level < min_level) return;
      WriteEntry(DateStamp() + mark, cls, func, msg, err);
    });
  }

  void WriteEntry(std::string head, std::optional<std::string_view> cls, std::string_view func,
                  std::string_view msg, const ErrorRecord* err) {
    std::string text = std::move(head);
    if (cls) text.append("\t").append(*cls);
    if (!func.empty()) text.append("\t").append(func);
    if (!msg.empty()) text.append("\t").append(msg);
    if (err) {
      text += kCrLf + ErrorText(*err);
      last_err_description = err->description;
    }
    WriteToFile(std::move(text));
  }
};

CDebugger::CDebugger() : CDebugger(LogClock::System(), SafeModuleFolder()) {
  impl_->may_fall_back = true;
}

CDebugger::CDebugger(std::shared_ptr<LogClock> clock, std::string base_folder)
    : impl_(std::make_unique<Impl>()) {
  impl_->clock = clock ? std::move(clock) : LogClock::System();
  impl_->base_folder = std::move(base_folder);
  impl_->file_name = SafeModuleStem();
  SkipOnError([&] { impl_->last_time = static_cast<float>(impl_->clock->SecondsSinceMidnight()); });
}

CDebugger::~CDebugger() {
  SkipOnError([&] {
    if (impl_->session_open) impl_->EndSession();
  });
}

void CDebugger::Level(int32_t value) {
  SkipOnError([&] {
    if (impl_->session_open) {
      impl_->WriteToFile("Debug Level Changed: from " + std::to_string(impl_->level) + "to " +
                         std::to_string(value) + impl_->DateStamp());
    }
  });
  impl_->level = value;
}

int32_t CDebugger::Level() const {
  return impl_->level;
}

std::string CDebugger::LastErrDescription() const {
  return impl_->last_err_description;
}

void CDebugger::Profiler(bool value) {
  impl_->profiler = value;
}

bool CDebugger::Profiler() const {
  return impl_->profiler;
}

void CDebugger::MaxFileSize(int32_t kb) {
  impl_->max_file_size = kb;
}

int32_t CDebugger::MaxFileSize() const {
  return impl_->max_file_size;
}

void CDebugger::ShrinkFileSize(int32_t kb) {
  impl_->shrink_file_size = kb;
}

int32_t CDebugger::ShrinkFileSize() const {
  return impl_->shrink_file_size;
}

void CDebugger::FileNameSuffix(const std::string& suffix) {
  SkipOnError([&] {
    if (impl_->session_open) impl_->EndSession();
    impl_->file_name_suffix = suffix;
  });
}

std::string CDebugger::FileNameSuffix() const {
  return impl_->file_name_suffix;
}

std::string CDebugger::FileName() const {
  return impl_->file_name;
}

void CDebugger::FileName(const std::string& name) {
  SkipOnError([&] { impl_->file_name = name; });
}

void CDebugger::Information(std::optional<std::string_view> Cls, std::string_view InfoMsg,
                            std::string_view FuncName) {
  impl_->Entry(3, "\t(i)", Cls, FuncName, InfoMsg, nullptr);
}

void CDebugger::Trace(std::optional<std::string_view> Cls, std::string_view TraceMsg,
                      std::string_view FuncName) {
  impl_->Entry(4, "\t(t)", Cls, FuncName, TraceMsg, nullptr);
}

void CDebugger::Warning(std::optional<std::string_view> Cls, std::string_view WarningMsg,
                        std::string_view FuncName, const ErrorRecord* argErr) {
  impl_->Entry(2, "\t(w)", Cls, FuncName, WarningMsg, argErr);
}

void CDebugger::Critical(std::optional<std::string_view> Cls, std::string_view CriticalMsg,
                         std::string_view FuncName, const ErrorRecord* argErr) {
  impl_->Entry(1, "\t(c)\t", Cls, FuncName, CriticalMsg, argErr);
}

std::string CDebugger::GetLastKB(int32_t KB) {
  const int64_t n = static_cast<int64_t>(KB) * 1024;
  if (!FitsInt32(n)) Raise(kErrOverflow);
  // The last n + 1 bytes cover everything read below (from 1-based byte L - n).
  const platform::FileTail tail = platform::ReadFileTail(impl_->log_file, n >= 0 ? n + 1 : 0);
  const int64_t length = tail.length;
  const int64_t position = length > n ? length - n : 1;  // 1-based
  const int64_t count = length - position - 1;           // all but the final CR LF
  if (count < 0) Raise(kErrInvalidArgument);
  const int64_t first = (position - 1) - (length - static_cast<int64_t>(tail.bytes.size()));
  if (first < 0 || first + count > static_cast<int64_t>(tail.bytes.size())) {
    Raise(kErrPastEndOfFile);
  }
  std::string text = tail.bytes.substr(static_cast<size_t>(first), static_cast<size_t>(count));
  if (!DropFirstLine(text)) Raise(kErrInvalidArgument);
  return text;
}

std::string CDebugger::LogFile() const {
  return impl_->log_file;
}

std::string CDebugger::BaseFolder() const {
  return impl_->base_folder;
}

void CDebugger::BaseFolder(const std::string& folder) {
  SkipOnError([&] {
    // Ending the session switches the profiler off; a change of folder keeps it as it was.
    const bool profiler = impl_->profiler;
    if (impl_->session_open) impl_->EndSession();
    impl_->profiler = profiler;
    impl_->base_folder = folder;
    impl_->may_fall_back = false;
  });
}

}  // namespace nev
