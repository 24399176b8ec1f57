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
      if (creating) Raise(76);
      Raise(53);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      Raise(76);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      Raise(70);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      Raise(61);
    case EMFILE:
    case ENFILE:
      Raise(67);
    case ENOMEM:
      Raise(7);
    default:
      Raise(75);
  }
}

// A path with an embedded NUL would silently name another file.
void CheckPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) Raise(52);
}

// How long a writer waits for the log's lock before the write counts as failed.
constexpr int kLockWaitMs = 2000;

// The file's exclusive lock for one append or one cut; released when the descriptor closes.
void LockFile(int fd) {
  for (int waited = 0;; ++waited) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
    if (errno != EWOULDBLOCK && errno != EINTR) RaiseFileError(errno, false);
    if (waited >= kLockWaitMs) Raise(70);
    struct timespec ms {
      0, 1000000
    };
    ::nanosleep(&ms, nullptr);
  }
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

  void WriteAll(std::string_view data) const {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        RaiseFileError(errno, false);
      }
      done += static_cast<size_t>(n);
    }
  }

  // Reads up to `count` bytes from `offset` (fewer if the file ends sooner).
  std::string ReadAt(int64_t offset, int64_t count) const {
    std::string out(static_cast<size_t>(count), '\0');
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
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

 private:
  int fd_ = -1;
};

}  // namespace

int64_t AppendToFile(const std::string& path, std::string_view data) {
  int pending = g_injected_append_failures.load();
  while (pending > 0 && !g_injected_append_failures.compare_exchange_weak(pending, pending - 1)) {
  }
  if (pending > 0) Raise(70);

  Fd fd(path, O_WRONLY | O_APPEND | O_CREAT, true);
  LockFile(fd.get());
  const int64_t before = fd.Length();
  ssize_t n;
  do {
    n = ::write(fd.get(), data.data(), data.size());
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  if (n >= 0 && static_cast<size_t>(n) == data.size()) return before + n;
  // A torn line would have the next one glued to it: take the piece back.
  if (n > 0 && ::ftruncate(fd.get(), static_cast<off_t>(before)) != 0) {
    // Nothing more can be done for the piece: the error below still reports the failure.
  }
  RaiseFileError(n < 0 ? err : ENOSPC, false);
}

bool CutFile(const std::string& path, int64_t limit, int64_t keep,
             const std::function<void(std::string&)>& shape) {
  Fd fd(path, O_RDWR, false);
  LockFile(fd.get());
  const int64_t length = fd.Length();
  if (length <= limit) return false;
  const int64_t count = keep < 0 || keep > length ? length : keep;
  std::string text = fd.ReadAt(length - count, count);
  shape(text);
  if (::ftruncate(fd.get(), 0) != 0) RaiseFileError(errno, false);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n =
        ::pwrite(fd.get(), text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, false);
    }
    done += static_cast<size_t>(n);
  }
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
