// The journal: SQLite in WAL mode. The intent of each transaction (before the device is changed)
// is synced to disk; the steps and the outcome only reach the operating system at once: they
// survive the end of the process, and what a power cut takes of them leaves the row unfinished,
// to be settled by asking the device, which can tell. The next intent's sync takes them along.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "receipt/journal_store.h"

namespace nev::receipt {

struct Journal::Impl::Db {
  sqlite3* handle = nullptr;
};

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS receipts (
  id TEXT PRIMARY KEY,
  kind TEXT NOT NULL,
  document TEXT NOT NULL,
  step TEXT NOT NULL,
  last_before INTEGER, fiscal_before INTEGER, voided_before INTEGER,
  receipt_number INTEGER,
  expected_total REAL,
  change REAL,
  steps TEXT NOT NULL DEFAULT '[]',
  state TEXT,
  result TEXT,
  created TEXT NOT NULL,
  updated TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS receipts_unfinished ON receipts (created) WHERE state IS NULL;
CREATE TABLE IF NOT EXISTS devices (
  serial TEXT PRIMARY KEY,
  z INTEGER NOT NULL, fiscal INTEGER NOT NULL, voided INTEGER NOT NULL,
  updated TEXT NOT NULL
))";

[[noreturn]] void Raise(sqlite3* db, const std::string& what) {
  throw std::runtime_error("journal: " + what + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string text = err ? err : "error";
    sqlite3_free(err);
    throw std::runtime_error(std::string("journal: ") + text);
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) Raise(db, "prepare");
  }
  ~Statement() { sqlite3_finalize(st_); }
  Statement& Text(int i, const std::string& v) {
    sqlite3_bind_text(st_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  template <class T>
  Statement& Opt(int i, const std::optional<T>& v) {
    if (!v) {
      sqlite3_bind_null(st_, i);
    } else if constexpr (std::is_same_v<T, double>) {
      sqlite3_bind_double(st_, i, *v);
    } else {
      sqlite3_bind_int64(st_, i, *v);
    }
    return *this;
  }
  bool Step() {
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Raise(db_, "write");
  }
  std::string Col(int i) const {
    const unsigned char* t = sqlite3_column_text(st_, i);
    return t ? reinterpret_cast<const char*>(t) : "";
  }
  bool Null(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }
  int64_t Int(int i) const { return sqlite3_column_int64(st_, i); }
  double Real(int i) const { return sqlite3_column_double(st_, i); }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

void BindProgress(Statement& s, const Progress& p) {
  s.Text(1, p.id).Text(2, p.step);
  s.Opt(3, p.before ? std::optional<int64_t>(p.before->last) : std::nullopt);
  s.Opt(4, p.before ? std::optional<int64_t>(p.before->fiscal) : std::nullopt);
  s.Opt(5, p.before ? std::optional<int64_t>(p.before->voided) : std::nullopt);
  s.Opt(6, p.receipt_number ? std::optional<int64_t>(*p.receipt_number) : std::nullopt);
  s.Opt(7, p.expected_total);
  s.Opt(8, p.change);
  s.Text(9, p.steps_json).Text(10, UtcTimestamp());
}

// Journals made before rows named their device gain the column.
void AddDeviceColumn(sqlite3* db) {
  Statement s(db, "SELECT 1 FROM pragma_table_info('receipts') WHERE name = 'device'");
  if (!s.Step()) Exec(db, "ALTER TABLE receipts ADD COLUMN device TEXT");
}

// A commit that must be on disk when it returns: the write-ahead log is synced at its commit.
template <class Write>
void Durably(sqlite3* db, Write&& write) {
  Exec(db, "PRAGMA synchronous=FULL");
  try {
    write();
  } catch (...) {
    Exec(db, "PRAGMA synchronous=NORMAL");
    throw;
  }
  Exec(db, "PRAGMA synchronous=NORMAL");
}

// Rolls an open transaction back unless it was committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { Exec(db, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

void WriteSeen(sqlite3* db, const std::string& serial, const Seen& seen) {
  Statement s(
      db,
      "INSERT INTO devices (serial, z, fiscal, voided, updated) VALUES (?1, ?2, ?3, ?4, ?5) "
      "ON CONFLICT(serial) DO UPDATE SET z = ?2, fiscal = ?3, voided = ?4, updated = ?5");
  s.Text(1, serial)
      .Opt(2, std::optional<int64_t>(seen.z))
      .Opt(3, std::optional<int64_t>(seen.fiscal))
      .Opt(4, std::optional<int64_t>(seen.voided))
      .Text(5, UtcTimestamp());
  s.Step();
}

}  // namespace

std::string UtcTimestamp() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

Journal::Impl::Impl(const std::string& journal_path) : path(journal_path), db(new Db) {
  if (sqlite3_open_v2(path.c_str(), &db->handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    const std::string why = db->handle ? sqlite3_errmsg(db->handle) : "cannot open";
    sqlite3_close(db->handle);
    delete db;
    throw std::runtime_error("journal: cannot open " + path + ": " + why);
  }
  try {
    sqlite3_busy_timeout(db->handle, 5000);
    Exec(db->handle, "PRAGMA journal_mode=WAL");
    Exec(db->handle, "PRAGMA synchronous=NORMAL");
    Exec(db->handle, kSchema);
    AddDeviceColumn(db->handle);
  } catch (...) {
    sqlite3_close(db->handle);
    delete db;
    throw;
  }
}

Journal::Impl::~Impl() {
  sqlite3_close(db->handle);
  delete db;
}

void Journal::Impl::Begin(const Progress& p) {
  Durably(db->handle, [&] {
    Statement s(db->handle,
                "INSERT INTO receipts (id, step, last_before, fiscal_before, voided_before, "
                "receipt_number, expected_total, change, steps, updated, kind, document, created, "
                "device) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?10, ?13)");
    BindProgress(s, p);
    s.Text(11, p.kind).Text(12, p.document);
    if (p.device.empty()) {
      s.Opt(13, std::optional<int64_t>());
    } else {
      s.Text(13, p.device);
    }
    s.Step();
  });
}

void Journal::Impl::Update(const Progress& p) {
  Statement s(db->handle,
              "UPDATE receipts SET step = ?2, last_before = ?3, fiscal_before = ?4, "
              "voided_before = ?5, receipt_number = ?6, expected_total = ?7, change = ?8, "
              "steps = ?9, updated = ?10 WHERE id = ?1");
  BindProgress(s, p);
  s.Step();
}

void Journal::Impl::Finish(const Progress& p, State state, const std::string& result_json,
                           const std::optional<Seen>& seen) {
  Transaction t(db->handle);
  Statement s(db->handle,
              "UPDATE receipts SET step = ?2, last_before = ?3, fiscal_before = ?4, "
              "voided_before = ?5, receipt_number = ?6, expected_total = ?7, change = ?8, "
              "steps = ?9, updated = ?10, state = ?11, result = ?12 WHERE id = ?1");
  BindProgress(s, p);
  s.Text(11, StateName(state)).Text(12, result_json);
  s.Step();
  if (seen && !p.device.empty()) WriteSeen(db->handle, p.device, *seen);
  t.Commit();
}

std::optional<Seen> Journal::Impl::DeviceSeen(const std::string& serial) const {
  Statement s(db->handle, "SELECT z, fiscal, voided FROM devices WHERE serial = ?1");
  s.Text(1, serial);
  if (!s.Step()) return std::nullopt;
  return Seen{static_cast<int>(s.Int(0)), static_cast<int>(s.Int(1)), static_cast<int>(s.Int(2))};
}

void Journal::Impl::RecordSeen(const std::string& serial, const Seen& seen) {
  const bool first = !DeviceSeen(serial);
  Durably(db->handle, [&] { WriteSeen(db->handle, serial, seen); });
  if (first) {
    // Into the main file at once: a journal that loses its log still knows the device.
    sqlite3_wal_checkpoint_v2(db->handle, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
}

JournalLock::~JournalLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor lets the lock go
}

JournalLock Journal::Impl::Lock(const std::string& serial, int wait_ms, std::string& holder) {
  const std::string lock_path = path + ".lock";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  const std::string mine = serial + " " + std::to_string(::getpid()) + "\n";
  for (;;) {
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      throw std::runtime_error("journal: cannot open " + lock_path + ": " + std::strerror(errno));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Who holds the journal, for a process that finds it taken.
      if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, mine.data(), mine.size(), 0) < 0) {
        // The text is a courtesy to the next process; the lock holds without it.
      }
      return JournalLock(fd);
    }
    char text[128] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    std::string other(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!other.empty() && other.back() == '\n') other.pop_back();
    const std::size_t space = other.find(' ');
    const std::string other_serial = other.substr(0, space);
    const std::string other_pid = space == std::string::npos ? "" : other.substr(space + 1);
    holder = "device " + (other_serial.empty() ? std::string("?") : other_serial) +
             (other_pid.empty() ? "" : ", process " + other_pid);
    if (!other_serial.empty() && other_serial != serial) return JournalLock();
    if (std::chrono::steady_clock::now() >= deadline) return JournalLock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<Progress> Journal::Impl::Unfinished() const {
  Statement s(db->handle,
              "SELECT id, kind, step, document, last_before, fiscal_before, voided_before, "
              "receipt_number, expected_total, change, steps, device FROM receipts "
              "WHERE state IS NULL "
              "ORDER BY created, rowid");
  std::vector<Progress> rows;
  while (s.Step()) {
    Progress p;
    p.id = s.Col(0);
    p.kind = s.Col(1);
    p.step = s.Col(2);
    p.document = s.Col(3);
    if (!s.Null(4)) {
      p.before = Counters{static_cast<int>(s.Int(4)), static_cast<int>(s.Int(5)),
                          static_cast<int>(s.Int(6))};
    }
    if (!s.Null(7)) p.receipt_number = static_cast<int>(s.Int(7));
    if (!s.Null(8)) p.expected_total = s.Real(8);
    if (!s.Null(9)) p.change = s.Real(9);
    p.steps_json = s.Col(10);
    p.device = s.Col(11);
    rows.push_back(std::move(p));
  }
  return rows;
}

std::vector<JournalEntry> Journal::Impl::List(const std::string* id) const {
  Statement s(db->handle,
              id ? "SELECT id, kind, step, state, document, result, updated, device FROM receipts "
                   "WHERE id = ?1"
                 : "SELECT id, kind, step, state, document, result, updated, device FROM "
                   "receipts ORDER BY created, rowid");
  if (id) s.Text(1, *id);
  std::vector<JournalEntry> rows;
  while (s.Step()) {
    JournalEntry e;
    e.id = s.Col(0);
    e.kind = s.Col(1);
    e.step = s.Col(2);
    if (!s.Null(3)) e.state = s.Col(3);
    e.document = s.Col(4);
    if (!s.Null(5)) e.result = s.Col(5);
    e.updated = s.Col(6);
    if (!s.Null(7)) e.device = s.Col(7);
    rows.push_back(std::move(e));
  }
  return rows;
}

Journal::Journal(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}
Journal::~Journal() = default;

std::vector<JournalEntry> Journal::List() const {
  return impl_->List(nullptr);
}

std::optional<JournalEntry> Journal::Find(const std::string& id) const {
  auto rows = impl_->List(&id);
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

}  // namespace nev::receipt
