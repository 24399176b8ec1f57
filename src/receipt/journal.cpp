// The journal: SQLite in WAL mode with full sync, so that each write-ahead point is on disk
// before the step it announces is sent.
#include <sqlite3.h>

#include <ctime>
#include <stdexcept>

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

}  // namespace

std::string UtcTimestamp() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

Journal::Impl::Impl(const std::string& path) : db(new Db) {
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
    Exec(db->handle, "PRAGMA synchronous=FULL");
    Exec(db->handle, kSchema);
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
  Statement s(db->handle,
              "INSERT INTO receipts (id, step, last_before, fiscal_before, voided_before, "
              "receipt_number, expected_total, change, steps, updated, kind, document, created) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?10)");
  BindProgress(s, p);
  s.Text(11, p.kind).Text(12, p.document);
  s.Step();
}

void Journal::Impl::Update(const Progress& p) {
  Statement s(db->handle,
              "UPDATE receipts SET step = ?2, last_before = ?3, fiscal_before = ?4, "
              "voided_before = ?5, receipt_number = ?6, expected_total = ?7, change = ?8, "
              "steps = ?9, updated = ?10 WHERE id = ?1");
  BindProgress(s, p);
  s.Step();
}

void Journal::Impl::Finish(const Progress& p, State state, const std::string& result_json) {
  Statement s(db->handle,
              "UPDATE receipts SET step = ?2, last_before = ?3, fiscal_before = ?4, "
              "voided_before = ?5, receipt_number = ?6, expected_total = ?7, change = ?8, "
              "steps = ?9, updated = ?10, state = ?11, result = ?12 WHERE id = ?1");
  BindProgress(s, p);
  s.Text(11, StateName(state)).Text(12, result_json);
  s.Step();
}

std::vector<Progress> Journal::Impl::Unfinished() const {
  Statement s(db->handle,
              "SELECT id, kind, step, document, last_before, fiscal_before, voided_before, "
              "receipt_number, expected_total, change, steps FROM receipts WHERE state IS NULL "
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
    rows.push_back(std::move(p));
  }
  return rows;
}

std::vector<JournalEntry> Journal::Impl::List(const std::string* id) const {
  Statement s(db->handle,
              id ? "SELECT id, kind, step, state, document, result, updated FROM receipts WHERE "
                   "id = ?1"
                 : "SELECT id, kind, step, state, document, result, updated FROM receipts "
                   "ORDER BY created, rowid");
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
