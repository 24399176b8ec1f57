// The log's file layer on POSIX: open(2) with O_APPEND, one write(2) per line.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include "nev/error.h"
#include "platform/log_file.h"

namespace nev::platform {

namespace {

std::atomic<int> g_injected_append_failures{0};

// Automation file-error numbers for an errno; `creating` tells an open that may create the file
// (a missing entry then means a missing folder).
[[noreturn]] void RaiseFileError(int err, bool creating) {
  switch (err) {
    case ENOENT:
      if (creating) Raise(kErrPathNotFound);
      Raise(kErrFileNotFound);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      Raise(kErrPathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      Raise(kErrPermissionDenied);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      Raise(kErrDiskFull);
    case EMFILE:
    case ENFILE:
      Raise(kErrTooManyFiles);
    case ENOMEM:
      Raise(kErrOutOfMemory);
    default:
      Raise(kErrPathFileAccess);
  }
}

// A path with an embedded NUL would silently name another file.
void CheckPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) Raise(kErrBadFileName);
}

// How long a writer waits for the log's lock before the write counts as failed.
constexpr int kLockWaitMs = 2000;

// Takes the file's exclusive lock, waiting for another writer up to kLockWaitMs.
void LockFile(int fd) {
  for (int waited = 0;; ++waited) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
    if (errno != EWOULDBLOCK && errno != EINTR) RaiseFileError(errno, false);
    if (waited >= kLockWaitMs) Raise(kErrPermissionDenied);
    struct timespec ms {
      0, 1000000
    };
    ::nanosleep(&ms, nullptr);
  }
}

// Writes all of data (in as many writes as it takes).
void WriteAll(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, false);
    }
    done += static_cast<size_t>(n);
  }
}

// Reads up to `count` bytes from `offset` (fewer if the file ends sooner).
std::string ReadAt(int fd, int64_t offset, int64_t count) {
  std::string out(static_cast<size_t>(count), '\0');
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, out.size() - done,
                              static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, false);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

class Fd {
 public:
  Fd(const std::string& path, int flags, bool creating) {
    CheckPath(path);
    do {
      fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) RaiseFileError(errno, creating);
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

  int64_t Length() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) RaiseFileError(errno, false);
    if (S_ISDIR(st.st_mode)) RaiseFileError(EISDIR, false);
    return static_cast<int64_t>(st.st_size);
  }

  void WriteAll(std::string_view data) const { platform::WriteAll(fd_, data); }
  std::string ReadAt(int64_t offset, int64_t count) const {
    return platform::ReadAt(fd_, offset, count);
  }

 private:
  int fd_ = -1;
};

}  // namespace

LogFile::LogFile(const std::string& path) : path_(path) {
  Open();
}

LogFile::~LogFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void LogFile::Open() {
  CheckPath(path_);
  int fd;
  do {
    fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) RaiseFileError(errno, true);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    RaiseFileError(err, false);
  }
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = fd;
}

namespace {

// The file's exclusive lock for one append or one cut.
class HeldLock {
 public:
  explicit HeldLock(int fd) : fd_(fd) { LockFile(fd); }
  ~HeldLock() { ::flock(fd_, LOCK_UN); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  int fd_;
};

struct stat StatOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) RaiseFileError(errno, false);
  return st;
}

}  // namespace

int64_t LogFile::Append(std::string_view data) {
  int pending = g_injected_append_failures.load();
  while (pending > 0 && !g_injected_append_failures.compare_exchange_weak(pending, pending - 1)) {
  }
  if (pending > 0) Raise(kErrPermissionDenied);

  // Removed under the handle (by a person or a rotation): the lines go to the path again.
  if (StatOf(static_cast<int>(handle_)).st_nlink == 0) Open();
  const int fd = static_cast<int>(handle_);
  const HeldLock lock(fd);
  const int64_t before = static_cast<int64_t>(StatOf(fd).st_size);
  ssize_t n;
  do {
    n = ::write(fd, data.data(), data.size());
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  if (n >= 0 && static_cast<size_t>(n) == data.size()) return before + n;
  // A torn line would have the next one glued to it: take the piece back.
  if (n > 0 && ::ftruncate(fd, static_cast<off_t>(before)) != 0) {
    // Nothing more can be done for the piece: the error below still reports the failure.
  }
  RaiseFileError(n < 0 ? err : ENOSPC, false);
}

bool LogFile::Cut(int64_t limit, int64_t keep, const std::function<void(std::string&)>& shape) {
  if (StatOf(static_cast<int>(handle_)).st_nlink == 0) Open();
  const int fd = static_cast<int>(handle_);
  const HeldLock lock(fd);
  const int64_t length = static_cast<int64_t>(StatOf(fd).st_size);
  if (length <= limit) return false;
  const int64_t count = keep < 0 || keep > length ? length : keep;
  std::string text = ReadAt(fd, length - count, count);
  shape(text);
  if (::ftruncate(fd, 0) != 0) RaiseFileError(errno, false);
  // The handle appends: after the truncation each write lands where the last one ended.
  WriteAll(fd, text);
  return true;
}

std::optional<int64_t> FileLength(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

std::string ReadWholeFile(const std::string& path) {
  Fd fd(path, O_RDONLY, false);
  return fd.ReadAt(0, fd.Length());
}

FileTail ReadFileTail(const std::string& path, int64_t tail_bytes) {
  Fd fd(path, O_RDONLY, false);
  FileTail tail;
  tail.length = fd.Length();
  const int64_t count = tail_bytes < 0 ? 0 : (tail_bytes < tail.length ? tail_bytes : tail.length);
  tail.bytes = fd.ReadAt(tail.length - count, count);
  return tail;
}

void RewriteFile(const std::string& path, std::string_view data) {
  Fd fd(path, O_WRONLY | O_CREAT | O_TRUNC, true);
  fd.WriteAll(data);
}

bool FolderExists(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void CreateFolder(const std::string& path) {
  CheckPath(path);
  if (::mkdir(path.c_str(), 0777) != 0) RaiseFileError(errno, true);
}

LocalTime LocalTimeNow() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  LocalTime t;
  const time_t secs = now.tv_sec;
  ::localtime_r(&secs, &t.date);
  t.seconds_since_midnight = t.date.tm_hour * 3600.0 + t.date.tm_min * 60.0 + t.date.tm_sec +
                             static_cast<double>(now.tv_nsec) / 1e9;
  return t;
}

void InjectAppendFailures(int count) {
  g_injected_append_failures.store(count < 0 ? 0 : count);
}

}  // namespace nev::platform
