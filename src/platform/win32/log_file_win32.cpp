// The log's file layer on Windows: wide-character APIs from UTF-8 paths; a session's handle
// writes each line as one WriteFile at the end of the file, under the lock every writer takes.
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
      if (creating) Raise(kErrPathNotFound);
      Raise(kErrFileNotFound);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      Raise(kErrPathNotFound);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      Raise(kErrPermissionDenied);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      Raise(kErrDiskFull);
    case ERROR_TOO_MANY_OPEN_FILES:
      Raise(kErrTooManyFiles);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      Raise(kErrOutOfMemory);
    default:
      Raise(kErrPathFileAccess);
  }
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty() || utf8.find('\0') != std::string::npos) Raise(kErrBadFileName);
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) Raise(kErrBadFileName);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      out.data(), n);
  return out;
}

// Writes all of data at the file pointer, in WriteFile calls of at most 4 GiB less one byte.
void WriteAll(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!WriteFile(h, data.data(), chunk, &written, nullptr)) RaiseFileError(GetLastError(), false);
    if (written == 0) RaiseFileError(ERROR_DISK_FULL, false);
    data.remove_prefix(written);
  }
}

// Reads up to `count` bytes from `offset` (fewer if the file ends sooner).
std::string ReadAt(HANDLE h, int64_t offset, int64_t count) {
  LARGE_INTEGER pos{};
  pos.QuadPart = offset;
  if (!SetFilePointerEx(h, pos, nullptr, FILE_BEGIN)) RaiseFileError(GetLastError(), false);
  std::string out(static_cast<size_t>(count), '\0');
  size_t done = 0;
  while (done < out.size()) {
    const size_t left = out.size() - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!ReadFile(h, out.data() + done, chunk, &got, nullptr))
      RaiseFileError(GetLastError(), false);
    if (got == 0) break;
    done += got;
  }
  out.resize(done);
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

  void WriteAll(std::string_view data) const { platform::WriteAll(h_, data); }
  std::string ReadAt(int64_t offset, int64_t count) const {
    return platform::ReadAt(h_, offset, count);
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
      if (waited >= kLockWaitMs) Raise(kErrPermissionDenied);
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

LogFile::LogFile(const std::string& path) : path_(path) {
  Open();
}

LogFile::~LogFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void LogFile::Open() {
  // Shared for reading, writing and deleting, as every other writer and reader opens it. Each
  // write goes to the end of the file under the lock, which every writer takes.
  const std::wstring wide = Wide(path_);
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) RaiseFileError(GetLastError(), true);
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = reinterpret_cast<intptr_t>(h);
}

namespace {

int64_t LengthOf(HANDLE h) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) RaiseFileError(GetLastError(), false);
  return static_cast<int64_t>(size.QuadPart);
}

void MoveTo(HANDLE h, int64_t offset) {
  LARGE_INTEGER pos{};
  pos.QuadPart = offset;
  if (!SetFilePointerEx(h, pos, nullptr, FILE_BEGIN)) RaiseFileError(GetLastError(), false);
}

}  // namespace

int64_t LogFile::Append(std::string_view data) {
  int pending = g_injected_append_failures.load();
  while (pending > 0 && !g_injected_append_failures.compare_exchange_weak(pending, pending - 1)) {
  }
  if (pending > 0) Raise(kErrPermissionDenied);

  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  if (data.size() > 0xFFFFFFFEu) RaiseFileError(ERROR_NOT_ENOUGH_MEMORY, false);
  const FileLock lock(h);
  const int64_t before = LengthOf(h);
  MoveTo(h, before);
  DWORD written = 0;
  const BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  const DWORD err = ok ? ERROR_DISK_FULL : GetLastError();
  if (ok && written == data.size()) return before + written;
  // A torn line would have the next one glued to it: take the piece back.
  if (written > 0) {
    MoveTo(h, before);
    SetEndOfFile(h);
  }
  RaiseFileError(err, false);
}

bool LogFile::Cut(int64_t limit, int64_t keep, const std::function<void(std::string&)>& shape) {
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  const FileLock lock(h);
  const int64_t length = LengthOf(h);
  if (length <= limit) return false;
  const int64_t count = keep < 0 || keep > length ? length : keep;
  std::string text = ReadAt(h, length - count, count);
  shape(text);
  MoveTo(h, 0);
  WriteAll(h, text);
  if (!SetEndOfFile(h)) RaiseFileError(GetLastError(), false);
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
