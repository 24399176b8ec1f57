// The log's file layer on Windows: wide-character APIs from UTF-8 paths; appends open the file
// with FILE_APPEND_DATA only, so every WriteFile lands at the end of the file as one piece.
#include <windows.h>

#include <atomic>
#include <ctime>

#include "nev/error.h"
#include "platform/log_file.h"

namespace nev::platform {

namespace {

std::atomic<int> g_injected_append_failures{0};

// Automation file-error numbers for a Win32 error code.
[[noreturn]] void RaiseFileError(DWORD err, bool creating) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
      if (creating) Raise(76);
      Raise(53);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      Raise(76);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      Raise(70);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      Raise(61);
    case ERROR_TOO_MANY_OPEN_FILES:
      Raise(67);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      Raise(7);
    default:
      Raise(75);
  }
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty() || utf8.find('\0') != std::string::npos) Raise(52);
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) Raise(52);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      out.data(), n);
  return out;
}

class Handle {
 public:
  Handle(const std::string& path, DWORD access, DWORD disposition) {
    const std::wstring wide = Wide(path);
    h_ = CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h_ == INVALID_HANDLE_VALUE) {
      RaiseFileError(GetLastError(), disposition != OPEN_EXISTING);
    }
  }
  ~Handle() { CloseHandle(h_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }

  int64_t Length() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h_, &size)) RaiseFileError(GetLastError(), false);
    return static_cast<int64_t>(size.QuadPart);
  }

  // One WriteFile call of at most 4 GiB less one byte; WriteAll repeats it for larger data.
  DWORD WriteOnce(std::string_view data) const {
    const DWORD chunk = data.size() > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!WriteFile(h_, data.data(), chunk, &written, nullptr))
      RaiseFileError(GetLastError(), false);
    return written;
  }

  void WriteAll(std::string_view data) const {
    while (!data.empty()) {
      const DWORD written = WriteOnce(data);
      if (written == 0) RaiseFileError(ERROR_DISK_FULL, false);
      data.remove_prefix(written);
    }
  }

  std::string ReadAt(int64_t offset, int64_t count) const {
    LARGE_INTEGER pos{};
    pos.QuadPart = offset;
    if (!SetFilePointerEx(h_, pos, nullptr, FILE_BEGIN)) RaiseFileError(GetLastError(), false);
    std::string out(static_cast<size_t>(count), '\0');
    size_t done = 0;
    while (done < out.size()) {
      const size_t left = out.size() - done;
      const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
      DWORD got = 0;
      if (!ReadFile(h_, out.data() + done, chunk, &got, nullptr)) {
        RaiseFileError(GetLastError(), false);
      }
      if (got == 0) break;
      done += got;
    }
    out.resize(done);
    return out;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// How long a writer waits for the log's lock before the write counts as failed.
constexpr int kLockWaitMs = 2000;

// The file's lock: one byte far beyond any data, locked exclusively by every append and cut, so
// that the data itself stays readable while a writer holds it.
class FileLock {
 public:
  explicit FileLock(HANDLE h) : h_(h) {
    for (int waited = 0;; ++waited) {
      OVERLAPPED at = Where();
      if (LockFileEx(h_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return;
      const DWORD err = GetLastError();
      if (err != ERROR_LOCK_VIOLATION && err != ERROR_IO_PENDING) RaiseFileError(err, false);
      if (waited >= kLockWaitMs) Raise(70);
      Sleep(1);
    }
  }
  ~FileLock() {
    OVERLAPPED at = Where();
    UnlockFileEx(h_, 0, 1, 0, &at);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  static OVERLAPPED Where() {
    OVERLAPPED at{};
    at.Offset = 0;
    at.OffsetHigh = 0x7FFFFFFF;
    return at;
  }
  HANDLE h_;
};

}  // namespace

int64_t AppendToFile(const std::string& path, std::string_view data) {
  int pending = g_injected_append_failures.load();
  while (pending > 0 && !g_injected_append_failures.compare_exchange_weak(pending, pending - 1)) {
  }
  if (pending > 0) Raise(70);

  // Read access lets the handle take the lock; without write access every write appends.
  Handle file(path, FILE_APPEND_DATA | GENERIC_READ, OPEN_ALWAYS);
  if (data.size() > 0xFFFFFFFEu) RaiseFileError(ERROR_NOT_ENOUGH_MEMORY, false);
  const FileLock lock(file.get());
  if (file.WriteOnce(data) != data.size()) RaiseFileError(ERROR_DISK_FULL, false);
  return file.Length();
}

bool CutFile(const std::string& path, int64_t limit, int64_t keep,
             const std::function<void(std::string&)>& shape) {
  Handle file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  const FileLock lock(file.get());
  const int64_t length = file.Length();
  if (length <= limit) return false;
  const int64_t count = keep < 0 || keep > length ? length : keep;
  std::string text = file.ReadAt(length - count, count);
  shape(text);
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
    RaiseFileError(GetLastError(), false);
  }
  file.WriteAll(text);
  if (!SetEndOfFile(file.get())) RaiseFileError(GetLastError(), false);
  return true;
}

std::optional<int64_t> FileLength(const std::string& path) {
  try {
    const std::wstring wide = Wide(path);
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return std::nullopt;
    }
    return (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  } catch (const RuntimeError&) {
    return std::nullopt;
  }
}

std::string ReadWholeFile(const std::string& path) {
  Handle file(path, GENERIC_READ, OPEN_EXISTING);
  return file.ReadAt(0, file.Length());
}

FileTail ReadFileTail(const std::string& path, int64_t tail_bytes) {
  Handle file(path, GENERIC_READ, OPEN_EXISTING);
  FileTail tail;
  tail.length = file.Length();
  const int64_t count = tail_bytes < 0 ? 0 : (tail_bytes < tail.length ? tail_bytes : tail.length);
  tail.bytes = file.ReadAt(tail.length - count, count);
  return tail;
}

void RewriteFile(const std::string& path, std::string_view data) {
  Handle file(path, GENERIC_WRITE, OPEN_ALWAYS);
  file.WriteAll(data);
  if (!SetEndOfFile(file.get())) RaiseFileError(GetLastError(), false);
}

bool FolderExists(const std::string& path) {
  try {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  } catch (const RuntimeError&) {
    return false;
  }
}

void CreateFolder(const std::string& path) {
  const std::wstring wide = Wide(path);
  if (!CreateDirectoryW(wide.c_str(), nullptr)) RaiseFileError(GetLastError(), true);
}

LocalTime LocalTimeNow() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  LocalTime t;
  t.date.tm_year = st.wYear - 1900;
  t.date.tm_mon = st.wMonth - 1;
  t.date.tm_mday = st.wDay;
  t.date.tm_hour = st.wHour;
  t.date.tm_min = st.wMinute;
  t.date.tm_sec = st.wSecond;
  t.date.tm_wday = st.wDayOfWeek;
  t.date.tm_isdst = -1;
  t.seconds_since_midnight =
      st.wHour * 3600.0 + st.wMinute * 60.0 + st.wSecond + st.wMilliseconds / 1000.0;
  return t;
}

void InjectAppendFailures(int count) {
  g_injected_append_failures.store(count < 0 ? 0 : count);
}

}  // namespace nev::platform
