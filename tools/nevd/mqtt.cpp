#include "mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "jobs.h"
#include "nev/receipt.h"
#include "printer.h"
#include "request.h"
#include "tasks.h"

namespace nevd {

using nlohmann::json;
namespace rc = nev::receipt;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxMessage = 1 << 20;         // a job message's largest payload
constexpr double kFinishedKeptSeconds = 30 * 86400;  // how long ended jobs answer redeliveries
constexpr int kMaxBackoff = 30;                      // seconds between reconnection attempts

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The connector's journal: one row per job received, with its result and whether the broker
// acknowledged the result. Every commit is synchronous (on disk when it returns).
class JobJournal {
 public:
  struct Row {
    long long seq = 0;
    std::string printer, id, kind, message, state, result;
    double received = 0;
  };

  explicit JobJournal(const std::string& path) : path_(path) {
    std::error_code ec;  // the state folder may not exist yet; a failure shows at the open
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "cannot open";
      sqlite3_close(db_);
      throw std::runtime_error("mqtt journal: cannot open " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
      Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=FULL");
      Exec(
          "CREATE TABLE IF NOT EXISTS jobs("
          " seq INTEGER PRIMARY KEY AUTOINCREMENT, printer TEXT NOT NULL, id TEXT NOT NULL,"
          " kind TEXT NOT NULL, message TEXT NOT NULL, received REAL NOT NULL,"
          " state TEXT NOT NULL, result TEXT, published INTEGER NOT NULL DEFAULT 0,"
          " UNIQUE(printer, id))");
    } catch (...) {
      sqlite3_close(db_);
      throw;
    }
  }
  ~JobJournal() { sqlite3_close(db_); }

  std::optional<Row> Find(const std::string& printer, const std::string& id) {
    return One(
        "SELECT seq, printer, id, kind, message, received, state, IFNULL(result, '')"
        " FROM jobs WHERE printer = ?1 AND id = ?2",
        {printer, id});
  }
  // The oldest job of the printer that has not ended.
  std::optional<Row> Next(const std::string& printer) {
    return One(
        "SELECT seq, printer, id, kind, message, received, state, IFNULL(result, '')"
        " FROM jobs WHERE printer = ?1 AND state != 'done' ORDER BY seq LIMIT 1",
        {printer});
  }
  long Waiting(const std::string& printer) {
    Stmt s(db_, "SELECT COUNT(*) FROM jobs WHERE printer = ?1 AND state != 'done'");
    s.Bind(1, printer);
    return s.Step() ? static_cast<long>(sqlite3_column_int64(s.s, 0)) : 0;
  }
  // The ended jobs whose result the broker has not acknowledged.
  std::vector<Row> Unpublished() {
    std::vector<Row> rows;
    Stmt s(db_,
           "SELECT seq, printer, id, kind, message, received, state, IFNULL(result, '')"
           " FROM jobs WHERE state = 'done' AND published = 0 ORDER BY seq");
    while (s.Step()) rows.push_back(Read(s));
    return rows;
  }
  long long Insert(const Row& r) {
    Stmt s(db_,
           "INSERT INTO jobs(printer, id, kind, message, received, state, result)"
           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    s.Bind(1, r.printer).Bind(2, r.id).Bind(3, r.kind).Bind(4, r.message);
    sqlite3_bind_double(s.s, 5, r.received);
    s.Bind(6, r.state);
    if (r.result.empty()) {
      sqlite3_bind_null(s.s, 7);
    } else {
      s.Bind(7, r.result);
    }
    s.Done();
    return sqlite3_last_insert_rowid(db_);
  }
  // durable: on disk when it returns; else it survives the process's death but perhaps not the
  // machine's (a job marked queued again, or a result published again, is harmless).
  void SetState(long long seq, const std::string& state, bool durable) {
    Sync sync(*this, durable);
    Stmt s(db_, "UPDATE jobs SET state = ?1 WHERE seq = ?2");
    s.Bind(1, state);
    sqlite3_bind_int64(s.s, 2, seq);
    s.Done();
  }
  void SetResult(long long seq, const std::string& result) {
    Stmt s(db_, "UPDATE jobs SET state = 'done', result = ?1, published = 0 WHERE seq = ?2");
    s.Bind(1, result);
    sqlite3_bind_int64(s.s, 2, seq);
    s.Done();
  }
  void SetPublished(long long seq, bool published) {
    Sync sync(*this, false);
    Stmt s(db_, "UPDATE jobs SET published = ?1 WHERE seq = ?2");
    sqlite3_bind_int(s.s, 1, published ? 1 : 0);
    sqlite3_bind_int64(s.s, 2, seq);
    s.Done();
  }
  // Jobs that were running when the process ended: a document runs again (its printer's
  // journal answers what it printed); what is not idempotent ends as unknown.
  std::vector<Row> Running() {
    std::vector<Row> rows;
    Stmt s(db_,
           "SELECT seq, printer, id, kind, message, received, state, IFNULL(result, '')"
           " FROM jobs WHERE state = 'running' ORDER BY seq");
    while (s.Step()) rows.push_back(Read(s));
    return rows;
  }
  void Prune(double before) {
    Stmt s(db_, "DELETE FROM jobs WHERE state = 'done' AND published = 1 AND received < ?1");
    sqlite3_bind_double(s.s, 1, before);
    s.Done();
  }
  const std::string& path() const { return path_; }

 private:
  // Lowers the commit's durability for one write, then restores it.
  struct Sync {
    JobJournal& j;
    bool durable;
    Sync(JobJournal& journal, bool d) : j(journal), durable(d) {
      if (!durable) j.Exec("PRAGMA synchronous=NORMAL");
    }
    ~Sync() {
      if (!durable) {
        try {
          j.Exec("PRAGMA synchronous=FULL");
        } catch (...) {
        }
      }
    }
  };
  struct Stmt {
    sqlite3_stmt* s = nullptr;
    sqlite3* db;
    Stmt(sqlite3* d, const char* sql) : db(d) {
      if (sqlite3_prepare_v2(d, sql, -1, &s, nullptr) != SQLITE_OK) Throw();
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt& Bind(int i, const std::string& v) {
      sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      return *this;
    }
    bool Step() {
      const int rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) return true;
      if (rc != SQLITE_DONE) Throw();
      return false;
    }
    void Done() { Step(); }
    [[noreturn]] void Throw() const {
      throw std::runtime_error(std::string("mqtt journal: ") + sqlite3_errmsg(db));
    }
  };
  static std::string Col(sqlite3_stmt* s, int i) {
    const auto* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
             : std::string();
  }
  static Row Read(Stmt& s) {
    Row r;
    r.seq = sqlite3_column_int64(s.s, 0);
    r.printer = Col(s.s, 1);
    r.id = Col(s.s, 2);
    r.kind = Col(s.s, 3);
    r.message = Col(s.s, 4);
    r.received = sqlite3_column_double(s.s, 5);
    r.state = Col(s.s, 6);
    r.result = Col(s.s, 7);
    return r;
  }
  std::optional<Row> One(const char* sql, const std::vector<std::string>& args) {
    Stmt s(db_, sql);
    for (std::size_t i = 0; i < args.size(); ++i) s.Bind(static_cast<int>(i + 1), args[i]);
    if (!s.Step()) return std::nullopt;
    return Read(s);
  }
  void Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string why = err ? err : "failed";
      sqlite3_free(err);
      throw std::runtime_error("mqtt journal: " + path_ + ": " + why);
    }
  }

  std::string path_;
  sqlite3* db_ = nullptr;
};

std::optional<TaskKind> KindOf(const std::string& kind) {
  if (kind == "receipt") return TaskKind::kReceipt;
  if (kind == "cash") return TaskKind::kCash;
  if (kind == "z") return TaskKind::kZ;
  if (kind == "duplicate") return TaskKind::kDuplicate;
  return std::nullopt;
}

// A job's document, checked as the HTTP API checks a posted one; throws ApiError.
rc::Document DocumentOf(const json& message, TaskKind kind, const std::string& id) {
  json body = message.contains("document") ? message["document"] : json::object();
  if (!body.is_object())
    throw ApiError{400, "bad-document", "document: must be an object", "document"};
  if (!body.contains("id")) {
    body["id"] = id;
  } else if (body["id"] != id) {
    throw ApiError{409, "id-conflict", "the document id and the job id differ", "id"};
  }
  const std::string want = kind == TaskKind::kReceipt ? "sale" : Name(kind);
  if (body.contains("kind") && body["kind"] != want) {
    throw ApiError{400, "bad-document", "kind: must be " + want + " here", "kind"};
  }
  if (kind != TaskKind::kReceipt) body["kind"] = want;
  try {
    return rc::ParseDocument(body.dump());
  } catch (const rc::DocumentError& e) {
    throw ApiError{400, "bad-document", e.what(), e.path()};
  }
}

// The result published for a job: the HTTP answer's body with the job's id, the printer, the
// HTTP status it stands for and whether it was answered from a journal.
json ResultOf(const std::string& printer, const std::string& id, const std::string& kind,
              const Reply& reply) {
  json r = reply.body.is_object() ? reply.body : json{{"body", reply.body}};
  r["id"] = id;
  r["printer"] = printer;
  r["kind"] = kind;
  r["status"] = reply.status;
  if (reply.replayed) r["replayed"] = true;
  return r;
}

// The decoded status flags, from the printer's own list when it gives one.
json FlagsOf(const json& described) {
  if (described.contains("flags") && described["flags"].is_array()) return described["flags"];
  json flags = json::array();
  const json& s = described.value("status", json(nullptr));
  if (!s.is_object()) return flags;
  if (s.value("noPaper", false)) flags.push_back("no paper");
  if (s.value("generalError", false)) flags.push_back("general error");
  if (s.value("fiscalReceiptOpen", false)) flags.push_back("fiscal receipt open");
  if (s.value("nonfiscalReceiptOpen", false)) flags.push_back("non-fiscal receipt open");
  return flags;
}

}  // namespace

std::string JobResultName(const json& body, int status) {
  if (body.is_object()) {
    if (body.contains("state") && body["state"].is_string()) return body["state"];
    if (body.contains("error") && body["error"].is_object() && body["error"].contains("code") &&
        body["error"]["code"].is_string()) {
      return body["error"]["code"];
    }
  }
  return status < 300 ? "ok" : "failed";
}

struct Connector::Impl {
  MqttConfig config;
  std::map<std::string, Printer*> printers;
  TaskStore& tasks;
  JobJournal journal;
  mutable std::mutex journal_mutex;
  std::string journal_problem;  // under journal_mutex

  mosquitto* mosq = nullptr;
  std::atomic<bool> connected{false}, stopping{false};
  std::atomic<int> connections{0};

  std::mutex mutex;  // what follows, and the two threads' waits
  std::condition_variable wake;
  std::map<int, long long> in_flight;  // published result's message id -> the job's seq
  std::set<long long> sent;            // seqs whose result is with the library, unacknowledged
  struct Done {
    long long seq;
    std::shared_ptr<Task> task;
  };
  std::deque<Done> done;                           // tasks ended, for the dispatcher
  std::map<std::string, long long> busy;           // printer -> the seq of its job on the printer
  std::map<std::string, std::string> status_sent;  // printer -> the status last published
  bool republish = false;                          // connected anew: send what is pending
  bool fresh = false;                              // a job was journaled: start it

  std::thread loop_thread, dispatch_thread;

  Impl(const MqttConfig& c, std::map<std::string, Printer*> p, TaskStore& t)
      : config(c), printers(std::move(p)), tasks(t), journal(c.journal) {}

  std::string Topic(const std::string& rest) const { return config.prefix + "/" + rest; }

  // Runs a journal call under its lock (a write that returns nothing is timed); a failure is kept
  // for /readyz and thrown on.
  template <class Fn>
  auto Journal(Fn&& fn) {
    std::lock_guard<std::mutex> lock(journal_mutex);
    const auto start = Clock::now();
    try {
      if constexpr (std::is_void_v<decltype(fn(journal))>) {
        fn(journal);
        metrics::Observe("nevd_journal_write_seconds", {},
                         std::chrono::duration<double>(Clock::now() - start).count());
        journal_problem.clear();
      } else {
        auto r = fn(journal);
        journal_problem.clear();
        return r;
      }
    } catch (const std::exception& e) {
      journal_problem = e.what();
      throw;
    }
  }

  void Publish(const std::string& topic, const std::string& payload, bool retain,
               std::optional<long long> seq = std::nullopt) {
    int mid = 0;
    std::lock_guard<std::mutex> lock(mutex);
    const int rc = mosquitto_publish_v5(mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), 1, retain, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return;  // sent again once connected
    const std::string kind = topic.substr(topic.rfind('/') + 1);
    metrics::Count("nevd_mqtt_messages_sent_total", {{"topic", kind}});
    if (seq) {
      in_flight[mid] = *seq;
      sent.insert(*seq);
    }
  }

  void PublishResult(long long seq, const std::string& printer, const std::string& result) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (sent.count(seq)) return;  // the library still holds it and sends it again itself
    }
    Publish(Topic("printers/" + printer + "/results"), result, false, seq);
  }

  // A refusal for a message that could not be journaled (no id, an unknown printer): published
  // once, not recorded; a redelivered message is refused again.
  void Refuse(const std::string& printer, const json& id, const std::string& code,
              const std::string& message, int status, const std::string& field = {}) {
    json r = ErrorBody(code, message, field);
    r["id"] = id;
    r["printer"] = printer;
    r["status"] = status;
    Publish(Topic("printers/" + printer + "/results"), r.dump(), false);
  }

  // The network thread's callback: a job arrives. Its acknowledgement goes out after this returns.
  void OnMessage(const mosquitto_message* m) {
    metrics::Count("nevd_mqtt_messages_received_total");
    const std::string topic = m->topic ? m->topic : "";
    const std::string head = config.prefix + "/printers/";
    const std::string tail = "/jobs";
    if (topic.size() <= head.size() + tail.size() || topic.rfind(head, 0) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
      return;
    }
    const std::string printer = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    if (printer.find('/') != std::string::npos) return;
    if (static_cast<std::size_t>(m->payloadlen) > kMaxMessage) {
      return Refuse(printer, nullptr, "body-too-large", "the job is over 1 MiB", 413);
    }
    json message;
    try {
      message = ParseBody(std::string(static_cast<const char*>(m->payload),
                                      static_cast<std::size_t>(m->payloadlen)),
                          false);
    } catch (const ApiError& e) {
      return Refuse(printer, nullptr, e.code, e.message, e.status, e.field);
    }
    const json id_field = message.value("id", json(nullptr));
    if (!id_field.is_string() || !ValidKey(id_field.get<std::string>())) {
      return Refuse(printer, id_field, "bad-parameter",
                    "id: must have 1 to 64 letters, digits or - _ . : /", 400, "id");
    }
    const std::string id = id_field.get<std::string>();
    if (!printers.count(printer)) {
      return Refuse(printer, id, "unknown-printer", "no printer " + printer, 404);
    }
    const std::string kind_text = message.contains("kind") && message["kind"].is_string()
                                      ? message["kind"].get<std::string>()
                                      : "";
    JobJournal::Row row;
    row.printer = printer;
    row.id = id;
    row.kind = kind_text;
    row.received = Now();
    row.state = "queued";
    std::optional<Reply> refused;
    const std::optional<TaskKind> kind = KindOf(kind_text);
    if (!kind) {
      refused = Reply{
          400, ErrorBody("bad-parameter", "kind: must be receipt, cash, z or duplicate", "kind")};
      row.message = json{{"kind", message.value("kind", json(nullptr))}}.dump();
    } else if (*kind == TaskKind::kDuplicate) {
      row.message = json{{"kind", kind_text}}.dump();
    } else {
      try {
        row.message =
            json{{"kind", kind_text}, {"document", DocumentOf(message, *kind, id).source}}.dump();
      } catch (const ApiError& e) {
        refused = Reply{e.status, ErrorBody(e.code, e.message, e.field)};
        row.message = message.dump();
      }
    }
    if (refused) {
      row.state = "done";
      row.result = ResultOf(printer, id, kind_text, *refused).dump();
    }
    try {
      std::optional<JobJournal::Row> before =
          Journal([&](JobJournal& j) { return j.Find(printer, id); });
      if (before) {
        if (before->message != row.message) {
          return Refuse(printer, id, "id-conflict",
                        "job " + id + " was received earlier with other content", 409, "id");
        }
        metrics::Count("nevd_mqtt_redeliveries_total");
        if (before->state == "done") PublishResult(before->seq, printer, before->result);
        return;  // still running: its result comes when it ends
      }
      const auto start = Clock::now();
      row.seq = Journal([&](JobJournal& j) { return j.Insert(row); });
      metrics::Observe("nevd_journal_write_seconds", {},
                       std::chrono::duration<double>(Clock::now() - start).count());
    } catch (const std::exception& e) {
      // Not journaled, so not to be acknowledged: the connection is cut before the library can
      // send the acknowledgement, and the broker sends the job again after the reconnection.
      std::cerr << "nevd: mqtt: job " << id << " for printer " << printer
                << " not journaled, so not acknowledged: " << e.what() << std::endl;
      ::shutdown(mosquitto_socket(mosq), SHUT_RDWR);
      return;
    }
    if (refused) {
      PublishResult(row.seq, printer, row.result);
      metrics::Count("nevd_jobs_total",
                     {{"source", "mqtt"},
                      {"kind", kind_text.empty() ? "-" : kind_text},
                      {"result", JobResultName(refused->body, refused->status)}});
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      fresh = true;
    }
    wake.notify_all();
  }

  void OnConnect(int rc) {
    if (rc != 0) {
      std::cerr << "nevd: mqtt: the broker refused the connection: " << mosquitto_reason_string(rc)
                << std::endl;
      return;
    }
    connected = true;
    if (connections++ > 0) metrics::Count("nevd_mqtt_reconnects_total");
    std::cerr << "nevd: mqtt: connected to " << config.url << " as " << config.client_id
              << std::endl;
    mosquitto_subscribe_v5(mosq, nullptr, Topic("printers/+/jobs").c_str(), 1, 0, nullptr);
    json printer_ids = json::array();
    for (const auto& [id, p] : printers) printer_ids.push_back(id);
    Publish(Topic("state"),
            json{{"state", "online"},
                 {"clientId", config.client_id},
                 {"printers", printer_ids},
                 {"since", rc::UtcTimestamp()}}
                .dump(),
            true);
    {
      std::lock_guard<std::mutex> lock(mutex);
      republish = true;
      status_sent.clear();  // the retained state is sent again: the broker may have lost it
    }
    wake.notify_all();
  }

  void OnPublish(int mid) {
    long long seq = -1;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = in_flight.find(mid);
      if (it == in_flight.end()) return;
      seq = it->second;
      in_flight.erase(it);
      sent.erase(seq);
    }
    try {
      Journal([&](JobJournal& j) { j.SetPublished(seq, true); });
    } catch (const std::exception&) {
      // Left unpublished: the result goes out again later, which the back office absorbs.
    }
  }

  // The network loop: connects, serves the connection until it breaks, waits and connects again
  // with a doubling delay.
  void Loop() {
    mosquitto_property* props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 7 * 86400);
    int backoff = 1;
    bool said = false;
    while (!stopping) {
      int rc = mosquitto_connect_bind_v5(mosq, config.host.c_str(), config.port,
                                         config.keepalive_seconds, nullptr, props);
      if (rc == MOSQ_ERR_SUCCESS) {
        said = false;
        while (!stopping && (rc = mosquitto_loop(mosq, 1000, 1)) == MOSQ_ERR_SUCCESS) {
          if (connected) backoff = 1;
        }
      }
      if (connected.exchange(false) || !said) {
        std::cerr << "nevd: mqtt: "
                  << (rc == MOSQ_ERR_ERRNO ? "connection lost or refused" : mosquitto_strerror(rc))
                  << "; trying again within " << kMaxBackoff << " s" << std::endl;
        said = true;
      }
      if (stopping) break;
      mosquitto_disconnect(mosq);
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait_for(lock, std::chrono::seconds(backoff), [&] { return stopping.load(); });
      backoff = std::min(backoff * 2, kMaxBackoff);
    }
    mosquitto_property_free_all(&props);
    if (connected) {
      // The shop says it goes offline itself (the will is for a connection that breaks).
      int mid = 0;
      const std::string off = json{{"state", "offline"}, {"clientId", config.client_id}}.dump();
      mosquitto_publish_v5(mosq, &mid, Topic("state").c_str(), static_cast<int>(off.size()),
                           off.data(), 1, true, nullptr);
      const auto end = Clock::now() + std::chrono::seconds(2);
      while (Clock::now() < end && mosquitto_want_write(mosq)) mosquitto_loop(mosq, 100, 1);
      mosquitto_disconnect(mosq);
      mosquitto_loop(mosq, 100, 1);
    }
  }

  // Starts the printer's oldest waiting job when the printer is free and takes work.
  void StartNext(const std::string& id, Printer& printer) {
    if (busy.count(id)) return;
    std::optional<JobJournal::Row> row = Journal([&](JobJournal& j) { return j.Next(id); });
    if (!row) return;
    const TaskKind kind = *KindOf(row->kind);
    if (Now() - row->received > config.hold_seconds) {
      std::string why;
      printer.Accepting(why);
      Finish(*row, Reply{503, ErrorBody("printer-unavailable",
                                        "the job waited " +
                                            std::to_string(static_cast<long>(config.hold_seconds)) +
                                            " s for the printer: " + why)});
      return;
    }
    std::string why;
    if (!printer.Accepting(why)) return;  // tried again at the next wake
    const json message = json::parse(row->message);
    auto task = tasks.New(id, kind);
    Printer::Job job;
    if (kind == TaskKind::kDuplicate) {
      job = jobs::Duplicate();
    } else {
      rc::Document doc = rc::ParseDocument(message["document"].get<std::string>());
      task->key = doc.id;
      task->document = doc.source;
      job = jobs::Document(std::move(doc));
    }
    Journal([&](JobJournal& j) { j.SetState(row->seq, "running", kind == TaskKind::kDuplicate); });
    if (!printer.Enqueue(task, std::move(job), why)) {
      Journal([&](JobJournal& j) { j.SetState(row->seq, "queued", false); });
      return;
    }
    busy[id] = row->seq;
    const long long seq = row->seq;
    tasks.Watch(task, [this, seq, task] {
      {
        std::lock_guard<std::mutex> lock(mutex);
        done.push_back({seq, task});
      }
      wake.notify_all();
    });
  }

  // Records the job's result, then publishes it.
  void Finish(const JobJournal::Row& row, const Reply& reply) {
    const std::string result = ResultOf(row.printer, row.id, row.kind, reply).dump();
    Journal([&](JobJournal& j) { j.SetResult(row.seq, result); });
    metrics::Count("nevd_jobs_total", {{"source", "mqtt"},
                                       {"kind", row.kind},
                                       {"result", JobResultName(reply.body, reply.status)}});
    if (row.kind == "receipt") {
      metrics::Observe("nevd_receipt_latency_seconds", {{"source", "mqtt"}}, Now() - row.received);
    }
    PublishResult(row.seq, row.printer, result);
  }

  void Ended(const Done& d) {
    std::string printer = d.task->printer;
    busy.erase(printer);
    const std::optional<Reply> reply = tasks.ReplyOf(*d.task);
    std::optional<JobJournal::Row> row = Journal([&](JobJournal& j) {
      std::optional<JobJournal::Row> r;
      // Looked up by seq through the printer's next job: the one that was running.
      r = j.Next(printer);
      return r && r->seq == d.seq ? r : std::nullopt;
    });
    if (!row) return;
    // A job the printer never ran (it went away meanwhile) waits for it again; one that met the
    // service's stop stays running and is taken up after the restart.
    if (!reply || stopping) return;
    if (reply->status == 503 && reply->body.is_object() && reply->body.contains("error") &&
        reply->body["error"].value("code", "") == "printer-unavailable") {
      Journal([&](JobJournal& j) { j.SetState(row->seq, "queued", false); });
      return;
    }
    Finish(*row, *reply);
  }

  void PublishStatus() {
    for (const auto& [id, p] : printers) {
      const json d = p->Describe();
      json s = {{"printer", id},
                {"state", d.value("state", "")},
                {"online", d.value("online", false)},
                {"flags", FlagsOf(d)},
                {"queue", d.value("queue", 0) + Waiting(id) - (busy.count(id) ? 1 : 0)},
                {"lastError", d.value("lastError", json(nullptr))},
                {"since", d.value("since", "")}};
      if (d.contains("error")) s["error"] = d["error"];
      const std::string text = s.dump();
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (status_sent[id] == text) continue;
      }
      if (!connected) continue;
      Publish(Topic("printers/" + id + "/status"), text, true);
      std::lock_guard<std::mutex> lock(mutex);
      status_sent[id] = text;
    }
  }

  long Waiting(const std::string& printer) {
    try {
      return Journal([&](JobJournal& j) { return j.Waiting(printer); });
    } catch (const std::exception&) {
      return 0;
    }
  }

  // The dispatcher: hands each printer its jobs in order, records their results, publishes
  // results and status. It wakes for new jobs and ended tasks, and once a second for printers
  // that were away and for changes of status.
  void Dispatch() {
    auto last_prune = Clock::now() - std::chrono::hours(2);
    auto last_status = Clock::now() - std::chrono::hours(1);
    while (!stopping) {
      try {
        std::deque<Done> ended;
        bool again = false;
        {
          std::lock_guard<std::mutex> lock(mutex);
          ended.swap(done);
          again = std::exchange(republish, false);
          fresh = false;
        }
        for (const Done& d : ended) Ended(d);
        if (again) {
          for (const JobJournal::Row& r : Journal([&](JobJournal& j) { return j.Unpublished(); })) {
            PublishResult(r.seq, r.printer, r.result);
          }
        }
        for (const auto& [id, p] : printers) StartNext(id, *p);
        // The status at most every half second: a busy printer changes its queue at every job.
        if (Clock::now() - last_status >= std::chrono::milliseconds(500)) {
          last_status = Clock::now();
          PublishStatus();
        }
        if (Clock::now() - last_prune > std::chrono::hours(1)) {
          last_prune = Clock::now();
          Journal([&](JobJournal& j) { j.Prune(Now() - kFinishedKeptSeconds); });
        }
      } catch (const std::exception& e) {
        std::cerr << "nevd: mqtt: " << e.what() << std::endl;
      }
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait_for(lock, std::chrono::seconds(1),
                    [&] { return stopping.load() || !done.empty() || republish || fresh; });
    }
  }
};

namespace {

std::once_flag g_lib_init;

}  // namespace

Connector::Connector(const MqttConfig& config, std::map<std::string, Printer*> printers,
                     TaskStore& tasks)
    : impl_(std::make_unique<Impl>(config, std::move(printers), tasks)) {
  std::call_once(g_lib_init, [] { mosquitto_lib_init(); });
  Impl& i = *impl_;
  // After a restart: results not acknowledged go out again; a job that was running when the
  // process ended runs again when it is a document (its printer's journal prints it at most
  // once), and ends as unknown when it is not.
  for (const JobJournal::Row& r : i.journal.Running()) {
    if (r.kind == "duplicate") {
      i.journal.SetResult(
          r.seq, ResultOf(r.printer, r.id, r.kind,
                          Reply{500, ErrorBody("outcome-unknown",
                                               "nevd stopped while the duplicate was printing; "
                                               "whether it printed is unknown")})
                     .dump());
    } else {
      i.journal.SetState(r.seq, "queued", true);
    }
  }
  i.mosq = mosquitto_new(config.client_id.c_str(), false, impl_.get());
  if (i.mosq == nullptr) throw std::runtime_error("mqtt: cannot make a client");
  mosquitto_int_option(i.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_int_option(i.mosq, MOSQ_OPT_TCP_NODELAY, 1);  // small packets, sent at once
  // The library then only queues its acknowledgements; this connector's own loop writes them
  // after the message callback has returned.
  mosquitto_threaded_set(i.mosq, true);
  if (config.tls) {
    if (config.ca_file.empty()) mosquitto_int_option(i.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    const int rc =
        mosquitto_tls_set(i.mosq, config.ca_file.empty() ? nullptr : config.ca_file.c_str(),
                          nullptr, config.cert_file.empty() ? nullptr : config.cert_file.c_str(),
                          config.key_file.empty() ? nullptr : config.key_file.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      mosquitto_destroy(i.mosq);
      throw std::runtime_error(std::string("mqtt: TLS: ") + mosquitto_strerror(rc));
    }
  }
  if (!config.username.empty()) {
    mosquitto_username_pw_set(i.mosq, config.username.c_str(),
                              config.password.empty() ? nullptr : config.password.c_str());
  }
  const std::string will = json{{"state", "offline"}, {"clientId", config.client_id}}.dump();
  mosquitto_will_set_v5(i.mosq, i.Topic("state").c_str(), static_cast<int>(will.size()),
                        will.data(), 1, true, nullptr);
  mosquitto_connect_v5_callback_set(
      i.mosq, [](mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
        static_cast<Impl*>(obj)->OnConnect(rc);
      });
  mosquitto_message_v5_callback_set(
      i.mosq, [](mosquitto*, void* obj, const mosquitto_message* m, const mosquitto_property*) {
        static_cast<Impl*>(obj)->OnMessage(m);
      });
  mosquitto_publish_v5_callback_set(
      i.mosq, [](mosquitto*, void* obj, int mid, int, const mosquitto_property*) {
        static_cast<Impl*>(obj)->OnPublish(mid);
      });
  i.loop_thread = std::thread([&i] { i.Loop(); });
  i.dispatch_thread = std::thread([&i] { i.Dispatch(); });
}

Connector::~Connector() {
  impl_->stopping = true;
  impl_->wake.notify_all();
  if (impl_->dispatch_thread.joinable()) impl_->dispatch_thread.join();
  if (impl_->loop_thread.joinable()) impl_->loop_thread.join();
  mosquitto_destroy(impl_->mosq);
}

bool Connector::Connected() const {
  return impl_->connected;
}

std::string Connector::JournalProblem() const {
  std::lock_guard<std::mutex> lock(impl_->journal_mutex);
  return impl_->journal_problem;
}

long Connector::Waiting(const std::string& printer) const {
  return impl_->Waiting(printer);
}

std::vector<metrics::Sample> Connector::Gauges() const {
  return {{"nevd_mqtt_connected", {}, impl_->connected ? 1.0 : 0.0}};
}

}  // namespace nevd
