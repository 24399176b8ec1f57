#include "service.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <sstream>
#include <tuple>

#include "diagnostics.h"
#include "jobs.h"
#include "metrics.h"
#include "mqtt.h"
#include "nev/receipt.h"
#include "request.h"

namespace nevd {

using nlohmann::json;
namespace rc = nev::receipt;
using Headers = std::vector<std::pair<std::string, std::string>>;

namespace {

void SendJson(const std::shared_ptr<http::Responder>& to, const Headers& cors, int status,
              const json& body, Headers headers = {}) {
  metrics::Count("nevd_http_answers_total", {{"code", std::to_string(status)}});
  http::Response r = JsonResponse(status, body);
  r.headers = std::move(headers);
  r.headers.insert(r.headers.end(), cors.begin(), cors.end());
  to->Answer(std::move(r));
}

}  // namespace

// One request being handled: what was asked, the segments its route captured, and where its
// answer goes (with the CORS headers every answer carries).
struct Service::Call {
  http::Request& request;
  std::shared_ptr<http::Responder> responder;
  Headers cors;
  std::map<std::string, std::string> params;

  void Answer(int status, const json& body, Headers headers = {}) const {
    SendJson(responder, cors, status, body, std::move(headers));
  }
};

const Service::Route Service::kRoutes[] = {
    {"GET", "/api/v1/printers", &Service::ListPrinters},
    {"GET", "/api/v1/printers/{printer}", &Service::ShowPrinter},
    {"GET", "/api/v1/printers/{printer}/paper", &Service::Paper},
    {"GET", "/api/v1/printers/{printer}/diagnostics", &Service::Diagnostics},
    {"POST", "/api/v1/printers/{printer}/receipts", &Service::PostReceipt},
    {"POST", "/api/v1/printers/{printer}/cash", &Service::PostCash},
    {"POST", "/api/v1/printers/{printer}/reports/z", &Service::PostZ},
    {"POST", "/api/v1/printers/{printer}/reports/fm", &Service::PostFmReport},
    {"POST", "/api/v1/printers/{printer}/duplicate", &Service::PostDuplicate},
    {"POST", "/api/v1/printers/{printer}/void-open", &Service::PostVoidOpen},
    {"POST", "/api/v1/printers/{printer}/journal/accept", &Service::PostJournalAccept},
    {"POST", "/api/v1/printers/{printer}/release", &Service::PostRelease},
    {"GET", "/api/v1/tasks/{task}", &Service::ShowTask},
    {"GET", "/api/v1/tasks/{task}/stream", &Service::StreamTask},
    {"GET", "/api/v1/openapi.json", &Service::Page},
    {"GET", "/", &Service::Page},
    {"GET", "/index.html", &Service::Page},
    {"GET", "/app.js", &Service::Page},
    {"GET", "/style.css", &Service::Page},
    {"GET", "/livez", &Service::Livez},
    {"GET", "/readyz", &Service::Readyz},
    {"GET", "/metrics", &Service::Metrics},
};

namespace {

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> out;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    out.push_back(path.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return out;
}

// Whether the path fits the pattern's segments; the {name} segments it captured.
bool Match(const std::vector<std::string>& want, const std::vector<std::string>& path,
           std::map<std::string, std::string>& captured) {
  if (want.size() != path.size()) return false;
  std::map<std::string, std::string> found;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (!want[i].empty() && want[i].front() == '{') {
      if (path[i].empty()) return false;
      found[want[i].substr(1, want[i].size() - 2)] = path[i];
    } else if (want[i] != path[i]) {
      return false;
    }
  }
  captured = std::move(found);
  return true;
}

Asked AskedOf(const http::Request& r) {
  return {r.method,
          r.path,
          r.Header("host"),
          r.Header("origin"),
          r.Header("sec-fetch-site"),
          r.Header("authorization")};
}

bool SamePrinters(const std::vector<PrinterConfig>& a, const std::vector<PrinterConfig>& b) {
  auto fields = [](const PrinterConfig& p) {
    return std::tie(p.id, p.port, p.baud, p.journal, p.log_dir, p.sim_pacing, p.shared);
  };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](const auto& x, const auto& y) { return fields(x) == fields(y); });
}

// A task's answer: its result once done, else 202 pointing to it.
void AnswerTask(const std::shared_ptr<http::Responder>& to, const Headers& cors,
                const TaskStore& tasks, const Task& task, bool joined) {
  const std::optional<Reply> reply = tasks.ReplyOf(task);
  if (!reply) {
    SendJson(to, cors, 202, tasks.Describe(task), {{"Location", "/api/v1/tasks/" + task.id}});
    return;
  }
  Headers h = {{"X-Task-Id", task.id}};
  // A retry that joined the first submission prints nothing of its own.
  if (reply->replayed || joined) h.emplace_back("Idempotent-Replayed", "true");
  SendJson(to, cors, reply->status, reply->body, std::move(h));
}

// The printer's stream of a task, as the HTTP server reads it.
class StreamSource : public http::ChunkSource {
 public:
  explicit StreamSource(std::shared_ptr<TaskStream> stream) : stream_(std::move(stream)) {}
  void OnReady(std::function<void()> ready) override { stream_->OnData(std::move(ready)); }
  Chunk Take() override {
    TaskStream::Chunk c = stream_->Take();
    return {std::move(c.text), c.done};
  }
  void Cancel() override { stream_->Cancel(); }

 private:
  std::shared_ptr<TaskStream> stream_;
};

}  // namespace

Service::Service(Config config, http::Limits limits) : config_(std::move(config)) {
  server_ = std::make_unique<http::Server>(
      limits,
      [this](http::Request& request, std::shared_ptr<http::Responder> responder) {
        Handle(request, std::move(responder));
      },
      [limits](int status, const std::string&) {
        switch (status) {
          case 413:
            return JsonResponse(
                413, ErrorBody("body-too-large", "the request body is over " +
                                                     std::to_string(limits.body) + " bytes"));
          case 431:
            return JsonResponse(
                431, ErrorBody("head-too-large", "the request head is over " +
                                                     std::to_string(limits.head) + " bytes"));
          default:
            return JsonResponse(400, ErrorBody("bad-request", "the request could not be read"));
        }
      });
}

Service::~Service() {
  Stop();
  mqtt_.reset();      // it hands jobs to the printers
  printers_.clear();  // their workers answer what they still hold
}

int Service::Bind() {
  port_ = server_->Bind(config_.host, config_.port);
  {
    std::lock_guard<std::mutex> lock(policy_mutex_);
    policy_ = std::make_shared<AccessPolicy>(AccessPolicy::From(config_, port_));
  }
  // The printers start once the port is ours: a nevd that cannot listen never opens a device
  // or a journal that another one serves.
  for (const PrinterConfig& p : config_.printers) {
    printers_[p.id] = std::make_unique<Printer>(p, config_, tasks_);
  }
  if (config_.mqtt) {
    std::map<std::string, Printer*> printers;
    for (const auto& [id, p] : printers_) printers[id] = p.get();
    mqtt_ = std::make_unique<Connector>(*config_.mqtt, std::move(printers), tasks_);
  }
  return port_;
}

void Service::Serve() {
  server_->Run();
}

void Service::Stop() {
  tasks_.EndWaits();  // requests waiting for their tasks answer with the task now
  server_->Stop();
}

std::vector<std::string> Service::Reload(const Config& config) {
  std::vector<std::string> need_restart;
  if (config.host != config_.host || config.port != config_.port) need_restart.push_back("listen");
  if (config.probe_seconds != config_.probe_seconds) need_restart.push_back("probeSeconds");
  if (config.max_backoff_seconds != config_.max_backoff_seconds) {
    need_restart.push_back("maxBackoffSeconds");
  }
  if (!SamePrinters(config.printers, config_.printers)) need_restart.push_back("printers");
  if (config.mqtt != config_.mqtt) need_restart.push_back("mqtt");
  std::lock_guard<std::mutex> lock(policy_mutex_);
  config_.token = config.token;
  config_.origins = config.origins;
  policy_ = std::make_shared<AccessPolicy>(AccessPolicy::From(config_, port_));
  return need_restart;
}

std::shared_ptr<const AccessPolicy> Service::Policy() const {
  std::lock_guard<std::mutex> lock(policy_mutex_);
  return policy_;
}

void Service::Handle(http::Request& request, std::shared_ptr<http::Responder> responder) {
  const std::shared_ptr<const AccessPolicy> policy = Policy();
  const Asked asked = AskedOf(request);
  Call call{request, std::move(responder), CorsHeaders(*policy, asked), {}};
  if (auto refusal = Check(*policy, asked)) {
    Headers h;
    if (refusal->status == 401) h.emplace_back("WWW-Authenticate", "Bearer");
    call.Answer(refusal->status, ErrorBody(refusal->code, refusal->message, refusal->field),
                std::move(h));
    return;
  }
  if (request.method == "OPTIONS") {  // a preflight: the CORS headers are the answer
    http::Response r;
    r.status = 204;
    r.headers = call.cors;
    call.responder->Answer(std::move(r));
    return;
  }
  try {
    Dispatch(call);
  } catch (const ApiError& e) {
    call.Answer(e.status, ErrorBody(e.code, e.message, e.field));
  } catch (const std::exception& e) {
    call.Answer(500, ErrorBody("internal", e.what()));
  }
}

void Service::Dispatch(Call& call) {
  // The routes' patterns are split once, not at every request.
  static const std::vector<std::vector<std::string>> patterns = [] {
    std::vector<std::vector<std::string>> out;
    for (const auto& route : kRoutes) out.push_back(Segments(route.pattern));
    return out;
  }();
  const std::vector<std::string> path = Segments(call.request.path);
  std::string allow;
  for (std::size_t i = 0; i < std::size(kRoutes); ++i) {
    const Route& route = kRoutes[i];
    if (!Match(patterns[i], path, call.params)) continue;
    if (call.request.method == route.method) return (this->*route.handle)(call);
    allow += std::string(allow.empty() ? "" : ", ") + route.method;
  }
  if (allow.empty()) throw ApiError{404, "not-found", "no such resource", ""};
  call.Answer(405,
              ErrorBody("method-not-allowed",
                        call.request.method + " is not allowed here; use " + allow, ""),
              {{"Allow", allow + ", OPTIONS"}});
}

Printer& Service::PrinterOf(Call& call) {
  const std::string& id = call.params["printer"];
  auto it = printers_.find(id);
  if (it == printers_.end()) throw ApiError{404, "unknown-printer", "no printer " + id, ""};
  return *it->second;
}

namespace {

// A request checks this once its body is read, before the work of checking a document: a
// flood of requests for a printer that is away stays cheap.
void RequireAccepting(const Printer& printer) {
  std::string why;
  if (!printer.Accepting(why)) throw ApiError{503, "printer-unavailable", why, ""};
}

}  // namespace

std::shared_ptr<Task> Service::TaskOf(Call& call) {
  const std::string& id = call.params["task"];
  auto task = tasks_.Find(id);
  if (!task) throw ApiError{404, "unknown-task", "no task " + id, ""};
  return task;
}

void Service::Queue(Call& call, Printer& printer, std::shared_ptr<Task> task, Printer::Job job) {
  // Counted once the task ends: its kind, its final state and a receipt's latency.
  tasks_.Watch(task, [this, task] {
    const std::optional<Reply> reply = tasks_.ReplyOf(*task);
    if (!reply) return;
    metrics::Count("nevd_jobs_total", {{"source", "http"},
                                       {"kind", Name(task->kind)},
                                       {"result", JobResultName(reply->body, reply->status)}});
    if (task->kind == TaskKind::kReceipt) {
      metrics::Observe("nevd_receipt_latency_seconds", {{"source", "http"}},
                       std::chrono::duration<double>(task->finished - task->created).count());
    }
  });
  std::string why;
  if (!printer.Enqueue(task, std::move(job), why)) {
    throw ApiError{503, "printer-unavailable", why, ""};
  }
  Await(call, std::move(task), false);
}

void Service::Await(Call& call, std::shared_ptr<Task> task, bool joined) {
  const auto wait = std::chrono::milliseconds(
      static_cast<long long>(std::llround(WaitSeconds(call.request) * 1000)));
  // Whichever comes first answers: the task's end or the wait's.
  auto once = std::make_shared<std::atomic<bool>>(false);
  const TaskStore& tasks = tasks_;
  auto answer = [once, task, joined, &tasks, to = call.responder, cors = call.cors] {
    if (!once->exchange(true)) AnswerTask(to, cors, tasks, *task, joined);
  };
  if (wait.count() > 0) tasks_.Watch(task, answer);
  call.responder->After(wait, answer);
}

void Service::ListPrinters(Call& call) {
  json list = json::array();
  for (const auto& [id, p] : printers_) list.push_back(p->Describe());
  call.Answer(200, list);
}

void Service::ShowPrinter(Call& call) {
  call.Answer(200, PrinterOf(call).Describe());
}

void Service::Diagnostics(Call& call) {
  Printer& printer = PrinterOf(call);
  if (call.request.query.count("bundle") == 0) return call.Answer(200, Diagnose(printer));
  http::Response r;
  r.type = "application/x-tar";
  Config config;
  {
    std::lock_guard<std::mutex> lock(policy_mutex_);  // a reload may change the token meanwhile
    config = config_;
  }
  r.body = SupportBundle(printer, config);
  r.headers = call.cors;
  r.headers.emplace_back("Content-Disposition",
                         "attachment; filename=\"nev-support-" + printer.id() + ".tar\"");
  call.responder->Answer(std::move(r));
}

void Service::Paper(Call& call) {
  Printer& p = PrinterOf(call);
  if (!p.simulated())
    throw ApiError{404, "not-simulated", "only a simulated printer has a till roll", ""};
  http::Response r;
  r.type = "text/plain; charset=utf-8";
  r.body = p.Paper();
  r.headers = call.cors;
  call.responder->Answer(std::move(r));
}

void Service::PostReceipt(Call& call) {
  PostDocument(call, TaskKind::kReceipt);
}
void Service::PostCash(Call& call) {
  PostDocument(call, TaskKind::kCash);
}
void Service::PostZ(Call& call) {
  PostDocument(call, TaskKind::kZ);
}

void Service::PostDocument(Call& call, TaskKind kind) {
  Printer& printer = PrinterOf(call);
  json body = ParseBody(call.request.body, kind == TaskKind::kZ);
  RequireAccepting(printer);
  WaitSeconds(call.request);
  const std::optional<std::string> key = call.request.Header("idempotency-key");
  if (key && !ValidKey(*key)) {
    throw ApiError{400, "bad-parameter",
                   "Idempotency-Key must have 1 to 64 letters, digits or - _ . : /",
                   "Idempotency-Key"};
  }
  if (!body.contains("id")) {
    body["id"] = key ? *key : RandomId("nevd-");
  } else if (key && body["id"].is_string() && body["id"].get<std::string>() != *key) {
    throw ApiError{409, "id-conflict", "the document id and the Idempotency-Key differ", "id"};
  }
  // The document's own kind: a receipt says "sale" (or nothing), the others their route's.
  const std::string want = kind == TaskKind::kReceipt ? "sale" : Name(kind);
  if (body.contains("kind") && body["kind"] != want) {
    throw ApiError{400, "bad-document", "kind: must be " + want + " here", "kind"};
  }
  if (kind != TaskKind::kReceipt) body["kind"] = want;
  rc::Document doc;
  try {
    doc = rc::ParseDocument(body.dump());
  } catch (const rc::DocumentError& e) {
    throw ApiError{400, "bad-document", e.what(), e.path()};
  }
  // A retry while the first submission is still queued or running joins it.
  bool conflict = false;
  if (std::shared_ptr<Task> first = printer.InFlight(doc.id, doc.source, conflict)) {
    if (conflict) {
      throw ApiError{409, "id-conflict",
                     "document " + doc.id + " is already being printed with other content", "id"};
    }
    return Await(call, first, true);
  }
  auto task = tasks_.New(printer.id(), kind);
  task->key = doc.id;
  task->document = doc.source;
  Queue(call, printer, task, jobs::Document(std::move(doc)));
}

void Service::PostDeviceJob(Call& call, TaskKind kind, Printer::Job job) {
  Printer& printer = PrinterOf(call);
  ParseBody(call.request.body, true);
  RequireAccepting(printer);
  WaitSeconds(call.request);
  Queue(call, printer, tasks_.New(printer.id(), kind), std::move(job));
}

void Service::PostDuplicate(Call& call) {
  PostDeviceJob(call, TaskKind::kDuplicate, jobs::Duplicate());
}
void Service::PostVoidOpen(Call& call) {
  PostDeviceJob(call, TaskKind::kVoidOpen, jobs::VoidOpen());
}
void Service::PostJournalAccept(Call& call) {
  PostDeviceJob(call, TaskKind::kJournalAccept, jobs::AcceptDevice());
}

void Service::PostRelease(Call& call) {
  Printer& printer = PrinterOf(call);
  const json body = ParseBody(call.request.body, true);
  double seconds = 60;
  if (body.contains("seconds")) {
    const json& s = body["seconds"];
    if (!s.is_number() || !std::isfinite(s.get<double>()) || s.get<double>() < 1 ||
        s.get<double>() > 3600) {
      throw ApiError{400, "bad-parameter", "seconds must be a number from 1 to 3600", "seconds"};
    }
    seconds = s.get<double>();
  }
  printer.Release(std::chrono::milliseconds(std::llround(seconds * 1000)));
  call.Answer(202, {{"id", printer.id()}, {"state", "released"}, {"seconds", seconds}});
}

void Service::PostFmReport(Call& call) {
  Printer& printer = PrinterOf(call);
  const json body = ParseBody(call.request.body, true);
  RequireAccepting(printer);
  const auto from = ZNumber(body, "from");
  const auto to = ZNumber(body, "to");
  if (from && to && *from > *to) {
    throw ApiError{400, "bad-parameter", "from must not be after to", "from"};
  }
  std::string range;
  if (from || to) {
    range = std::to_string(from.value_or(0)) + "-" + std::to_string(to.value_or(999999));
  }
  auto task = tasks_.New(printer.id(), TaskKind::kFmReport);
  task->stream = std::make_shared<TaskStream>();
  std::string why;
  if (!printer.Enqueue(task, jobs::FmReport(task->stream, range), why)) {
    throw ApiError{503, "printer-unavailable", why, ""};
  }
  json described = tasks_.Describe(*task);
  described["stream"] = "/api/v1/tasks/" + task->id + "/stream";
  call.Answer(202, described, {{"Location", "/api/v1/tasks/" + task->id}});
}

void Service::ShowTask(Call& call) {
  call.Answer(200, tasks_.Describe(*TaskOf(call)));
}

void Service::StreamTask(Call& call) {
  auto task = TaskOf(call);
  if (!task->stream) {
    throw ApiError{404, "no-stream", "task " + task->id + " has no stream; read it at its href",
                   ""};
  }
  http::Response head;
  head.type = "application/x-ndjson";
  head.headers = call.cors;
  head.headers.emplace_back("X-Task-Id", task->id);
  call.responder->Stream(std::move(head), std::make_shared<StreamSource>(task->stream));
}

void Service::Page(Call& call) {
  std::string path = call.request.path;
  if (path == "/") path = "/index.html";
  if (path == "/api/v1/openapi.json") path = "/openapi.json";
  const Resource* r = FindResource(path);
  if (r == nullptr) throw ApiError{404, "not-found", "no such resource", ""};
  http::Response res;
  res.type = r->type;
  res.body = r->body;
  res.headers = call.cors;
  res.headers.emplace_back("Cache-Control", "no-cache");
  call.responder->Answer(std::move(res));
}

void Service::Livez(Call& call) {
  call.Answer(200, {{"status", "live"}});
}

// Ready when every printer has answered once and every journal takes writes.
void Service::Readyz(Call& call) {
  json reasons = json::array();
  for (const PrinterConfig& pc : config_.printers) {
    const json d = printers_.at(pc.id)->Describe();
    if (d.value("state", "") == "failed") {
      reasons.push_back("printer " + pc.id + ": " + d.value("lastError", std::string("failed")));
      continue;
    }
    if (d.value("status", json(nullptr)).is_null()) {
      reasons.push_back("printer " + pc.id + " has not been reached yet");
    }
    if (::access(JournalPath(pc).c_str(), W_OK) != 0) {
      reasons.push_back("printer " + pc.id + ": the journal " + JournalPath(pc) +
                        " is not writable");
    }
  }
  if (mqtt_) {
    const std::string problem = mqtt_->JournalProblem();
    if (!problem.empty()) reasons.push_back(problem);
    if (::access(config_.mqtt->journal.c_str(), W_OK) != 0) {
      reasons.push_back("the mqtt journal " + config_.mqtt->journal + " is not writable");
    }
  }
  if (reasons.empty()) return call.Answer(200, {{"status", "ready"}});
  call.Answer(503, {{"status", "not ready"}, {"reasons", reasons}});
}

void Service::Metrics(Call& call) {
  std::vector<metrics::Sample> gauges{{"nevd_up", {}, 1}};
  for (const auto& [id, p] : printers_) {
    const json d = p->Describe();
    const metrics::Labels printer{{"printer", id}};
    gauges.push_back({"nevd_printer_online", printer, d.value("online", false) ? 1.0 : 0.0});
    const json status = d.value("status", json(nullptr));
    if (status.is_object()) {
      gauges.push_back({"nevd_printer_paper", printer, status.value("noPaper", false) ? 0.0 : 1.0});
    }
    const double waiting = mqtt_ ? static_cast<double>(mqtt_->Waiting(id)) : 0.0;
    gauges.push_back({"nevd_printer_queue_length", printer, d.value("queue", 0) + waiting});
  }
  if (mqtt_) {
    for (metrics::Sample& s : mqtt_->Gauges()) gauges.push_back(std::move(s));
  }
  metrics::Count("nevd_http_answers_total", {{"code", "200"}});
  http::Response r;
  r.type = "text/plain; version=0.0.4; charset=utf-8";
  r.body = metrics::Render(gauges);
  r.headers = call.cors;
  call.responder->Answer(std::move(r));
}

}  // namespace nevd
