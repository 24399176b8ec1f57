#include "service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/socket.h>

#include <cctype>
#include <cmath>
#include <iostream>
#include <optional>
#include <random>
#include <set>

#include "nev/nev.h"
#include "nev/receipt.h"

namespace nevd {

using nlohmann::json;
namespace rc = nev::receipt;

namespace {

struct HostPort {
  std::string name;  // lower case, an IPv6 address without its brackets
  int port = 80;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "name", "name:port", "[v6]" or "[v6]:port", as a Host header or an origin's authority holds it.
std::optional<HostPort> ParseHost(const std::string& text) {
  HostPort h;
  std::string rest;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return std::nullopt;
    h.name = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    const std::size_t colon = text.find(':');
    h.name = text.substr(0, colon);
    if (colon != std::string::npos) rest = text.substr(colon);
  }
  if (h.name.empty()) return std::nullopt;
  if (!rest.empty()) {
    const std::string port = rest.substr(1);
    if (rest[0] != ':' || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    h.port = std::stoi(port);
  }
  h.name = Lower(h.name);
  return h;
}

bool IsAddressLiteral(const std::string& name) {
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, name.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

// A request refused before it reaches a printer.
struct ApiError {
  int status;
  std::string code, message, field;
};

json ErrorBody(const std::string& code, const std::string& message, const std::string& field) {
  json e = {{"code", code}, {"message", message}};
  if (!field.empty()) e["field"] = field;
  return {{"error", e}};
}

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                  "application/json");
}

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

Handler Guarded(Handler inner) {
  return [inner](const httplib::Request& req, httplib::Response& res) {
    try {
      inner(req, res);
    } catch (const ApiError& e) {
      SendJson(res, e.status, ErrorBody(e.code, e.message, e.field));
    } catch (const std::exception& e) {
      SendJson(res, 500, ErrorBody("internal", e.what(), ""));
    }
  };
}

std::string NewId() {
  static std::mutex m;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard<std::mutex> lock(m);
  char buf[24];
  std::snprintf(buf, sizeof buf, "nevd-%016llx", static_cast<unsigned long long>(rng()));
  return buf;
}

// The request body as a JSON object; an empty body is an empty object when allowed.
json ParseBody(const httplib::Request& req, bool empty_ok) {
  if (req.body.empty() && empty_ok) return json::object();
  json body;
  try {
    body = json::parse(req.body);
  } catch (const json::exception& e) {
    throw ApiError{400, "bad-json", std::string("the body is not JSON: ") + e.what(), ""};
  }
  if (!body.is_object()) throw ApiError{400, "bad-json", "the body must be a JSON object", ""};
  return body;
}

double WaitSeconds(const httplib::Request& req) {
  if (!req.has_param("wait")) return 30;
  const std::string text = req.get_param_value("wait");
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v) || v < 0 || v > 300) {
    throw ApiError{400, "bad-parameter", "wait must be a number of seconds from 0 to 300", "wait"};
  }
  return v;
}

std::optional<long> ZNumber(const httplib::Request& req, const char* name) {
  if (!req.has_param(name)) return std::nullopt;
  const std::string text = req.get_param_value(name);
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    throw ApiError{400, "bad-parameter",
                   std::string(name) + " must be a Z report number from 0 to 999999", name};
  }
  return std::stol(text);
}

bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > 64) return false;
  for (char c : key) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '-' || c == '_' || c == '.' || c == ':' || c == '/';
    if (!ok) return false;
  }
  return true;
}

json ResultBody(const rc::Result& r) {
  return json::parse(rc::ResultJson(r));
}

// The state of a fiscal-memory report being streamed: the worker adds lines, the handler
// thread writes them out.
struct FmStream {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  bool done = false;
  std::atomic<bool> cancelled{false};
  void Add(const json& line, bool last = false) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    if (last) done = true;
    changed.notify_all();
  }
};

}  // namespace

Service::Service(Config config) : config_(std::move(config)) {
  server_ = std::make_unique<httplib::Server>();
  // The library's own options set SO_REUSEPORT, with which a second nevd on the same port would
  // bind too and take a share of the connections; SO_REUSEADDR alone makes it fail instead. The
  // socket is kept to raise the backlog after bind.
  server_->set_socket_options([this](int fd) {
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listen_fd_ = fd;
  });
  Routes();
}

Service::WaitSlot::WaitSlot(Service& service, const std::string& printer)
    : service_(service), printer_(printer) {
  std::lock_guard<std::mutex> lock(service_.waiting_mutex_);
  int& mine = service_.waiting_[printer_];
  if (mine < kMaxWaitingPerPrinter && service_.waiting_total_ < kMaxWaiting) {
    ++mine;
    ++service_.waiting_total_;
    taken_ = true;
  }
}

Service::WaitSlot::~WaitSlot() {
  if (!taken_) return;
  std::lock_guard<std::mutex> lock(service_.waiting_mutex_);
  --service_.waiting_[printer_];
  --service_.waiting_total_;
}

Service::~Service() {
  Stop();
  server_.reset();
  printers_.clear();
}

int Service::Bind() {
  int port = config_.port;
  if (port == 0) {
    port = server_->bind_to_any_port(config_.host);
    if (port <= 0) throw std::runtime_error("cannot listen on " + config_.host);
  } else if (!server_->bind_to_port(config_.host, port)) {
    throw std::runtime_error("cannot listen on " + config_.host + ":" + std::to_string(port));
  }
  // The library listens with a backlog of 5, too few for a burst of tills: connections past it
  // are dropped. Listening again on the bound socket raises it.
  if (listen_fd_ < 0 || ::listen(listen_fd_, SOMAXCONN) != 0) {
    throw std::runtime_error("cannot raise the listen backlog on " + config_.host + ":" +
                             std::to_string(port));
  }
  port_ = port;
  // The printers start once the port is ours: a nevd that cannot listen never opens a device
  // or a journal that another one serves.
  for (const PrinterConfig& p : config_.printers) {
    printers_[p.id] = std::make_unique<Printer>(p, config_, tasks_);
  }
  return port;
}

void Service::Serve() {
  server_->listen_after_bind();
}

void Service::Stop() {
  // Handler threads waiting for their tasks would hold the stop up for as long as their wait.
  tasks_.EndWaits();
  if (server_) server_->stop();
}

void Service::Routes() {
  httplib::Server& s = *server_;
  s.set_payload_max_length(kBodyLimit);
  // Handler threads wait for their printers; the caps on waiting (see WaitSlot) keep some free
  // for the requests of the other printers and for the GETs.
  s.new_task_queue = [] { return new httplib::ThreadPool(kHandlerThreads); };
  s.set_read_timeout(10);
  s.set_write_timeout(10);

  auto allowed_origin = [this](const httplib::Request& req) -> std::string {
    if (!req.has_header("Origin")) return {};
    const std::string origin = req.get_header_value("Origin");
    for (const std::string& o : config_.origins) {
      if (o == origin) return origin;
    }
    return {};
  };

  // The host names of the configured origins: a request may name one of them as its Host.
  std::set<std::string> origin_hosts;
  for (const std::string& o : config_.origins) {
    const std::string authority = o.substr(o.find("://") + 3);
    if (auto h = ParseHost(authority.substr(0, authority.find('/')))) origin_hosts.insert(h->name);
  }
  // Whether a Host names this service itself: the listen address (any address literal when it
  // listens on all of them), a loopback address or localhost, with the port bound. A name that
  // merely resolves here does not count: a page could rebind its own name to this machine.
  auto own_host = [this](const HostPort& h) {
    if (h.port != port_) return false;
    const std::string listen = Lower(config_.host);
    if (h.name == listen || IsLoopback(h.name)) return true;
    return (listen == "0.0.0.0" || listen == "::" || listen.empty()) && IsAddressLiteral(h.name);
  };

  s.set_pre_routing_handler([this, allowed_origin, origin_hosts, own_host](
                                const httplib::Request& req, httplib::Response& res) {
    // A Host that is not ours nor a configured origin's is a name rebound to this machine.
    bool own = false;
    if (req.has_header("Host")) {
      const std::string host = req.get_header_value("Host");
      const std::optional<HostPort> h = ParseHost(host);
      own = h && own_host(*h);
      if (!own && !(h && origin_hosts.count(h->name))) {
        SendJson(
            res, 403,
            ErrorBody("host-not-allowed", "requests for host " + host + " are not served", "Host"));
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    // A browser page from elsewhere may not drive the printers: its origin must be our own
    // page or one configured.
    if (req.has_header("Origin")) {
      const std::string origin = req.get_header_value("Origin");
      const bool own_page = own && Lower(origin) == "http://" + Lower(req.get_header_value("Host"));
      if (!own_page && allowed_origin(req).empty()) {
        SendJson(res, 403,
                 ErrorBody("origin-not-allowed", "requests from " + origin + " are not allowed",
                           "Origin"));
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    // A preflight; Access-Control-Allow-Origin and Vary come from the post-routing handler, as
    // for every answer.
    if (req.method == "OPTIONS") {
      res.status = 204;
      if (!allowed_origin(req).empty()) {
        res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
        res.set_header("Access-Control-Allow-Headers",
                       "Authorization, Content-Type, Idempotency-Key");
        res.set_header("Access-Control-Max-Age", "600");
      }
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!config_.token.empty() && req.path.rfind("/api/", 0) == 0 &&
        req.path != "/api/v1/openapi.json") {
      if (req.get_header_value("Authorization") != "Bearer " + config_.token) {
        res.set_header("WWW-Authenticate", "Bearer");
        SendJson(res, 401,
                 ErrorBody("unauthorized", "a valid bearer token is required", "Authorization"));
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  // Runs for every answer, those of the pre-routing handler too: the one place the origin is
  // allowed.
  s.set_post_routing_handler([allowed_origin](const httplib::Request& req, httplib::Response& res) {
    const std::string origin = allowed_origin(req);
    if (!origin.empty()) {
      res.set_header("Access-Control-Allow-Origin", origin);
      res.set_header("Vary", "Origin");
    }
  });

  s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
                                                              httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    switch (res.status) {
      case 413:
        SendJson(
            res, 413,
            ErrorBody("body-too-large",
                      "the request body is over " + std::to_string(kBodyLimit) + " bytes", ""));
        break;
      case 400:
        SendJson(res, 400,
                 ErrorBody("bad-request",
                           "the request could not be read (a POST needs a body, or "
                           "Content-Length: 0)",
                           ""));
        break;
      case 404:
        SendJson(res, 404, ErrorBody("not-found", "no such resource", ""));
        break;
      default:
        SendJson(res, res.status,
                 ErrorBody("http-" + std::to_string(res.status), "the request was refused", ""));
    }
    return httplib::Server::HandlerResponse::Handled;
  }));

  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    SendJson(res, 500, ErrorBody("internal", "the request failed inside the service", ""));
  });

  auto printer_of = [this](const httplib::Request& req) -> Printer& {
    auto it = printers_.find(req.matches[1].str());
    if (it == printers_.end()) {
      throw ApiError{404, "unknown-printer", "no printer " + req.matches[1].str(), ""};
    }
    return *it->second;
  };

  // Queues a task and answers with its result when it ends within ?wait, else 202.
  auto run = [this](const httplib::Request& req, httplib::Response& res, Printer& printer,
                    std::shared_ptr<Task> task, Printer::Job job, bool joined) {
    const double wait = WaitSeconds(req);
    if (!joined) {
      std::string why;
      if (!printer.Enqueue(task, std::move(job), why)) {
        throw ApiError{503, "printer-unavailable", why, ""};
      }
    }
    // Over the caps the request does not wait: it answers 202 as when its wait has passed.
    auto ms = std::chrono::milliseconds(static_cast<long long>(wait * 1000));
    WaitSlot slot(*this, printer.id());
    if (!slot.taken()) ms = std::chrono::milliseconds(0);
    struct Woken {
      std::mutex mutex;
      std::condition_variable cv;
      bool woken = false;
    };
    auto w = std::make_shared<Woken>();
    tasks_.Watch(task, [w] {
      std::lock_guard<std::mutex> lock(w->mutex);
      w->woken = true;
      w->cv.notify_all();
    });
    {
      std::unique_lock<std::mutex> lock(w->mutex);
      w->cv.wait_for(lock, ms, [&] { return w->woken; });
    }
    const json described = tasks_.Describe(*task);
    if (described["state"] == Name(TaskState::kDone)) {
      if (task->reply.replayed) res.set_header("Idempotent-Replayed", "true");
      res.set_header("X-Task-Id", task->id);
      SendJson(res, task->reply.status, task->reply.body);
    } else {
      res.set_header("Location", "/api/v1/tasks/" + task->id);
      SendJson(res, 202, described);
    }
  };

  // Receipts, cash in/out and the Z report: documents run as transactions with the journal.
  auto document = [this, printer_of, run](const char* kind) {
    return Guarded([this, printer_of, run, kind](const httplib::Request& req,
                                                 httplib::Response& res) {
      Printer& printer = printer_of(req);
      const std::string k = kind;
      json body = ParseBody(req, k == "z");
      WaitSeconds(req);
      const std::string key = req.get_header_value("Idempotency-Key");
      if (req.has_header("Idempotency-Key") && !ValidKey(key)) {
        throw ApiError{400, "bad-parameter",
                       "Idempotency-Key must have 1 to 64 letters, digits or - _ . : /",
                       "Idempotency-Key"};
      }
      if (body.contains("id")) {
        if (!key.empty() && body["id"].is_string() && body["id"].get<std::string>() != key) {
          throw ApiError{409, "id-conflict", "the document id and the Idempotency-Key differ",
                         "id"};
        }
      } else {
        body["id"] = key.empty() ? NewId() : key;
      }
      if (k == "sale") {
        if (body.contains("kind") && body["kind"] != "sale") {
          throw ApiError{400, "bad-document", "kind: must be sale here", "kind"};
        }
      } else {
        if (body.contains("kind") && body["kind"] != k) {
          throw ApiError{400, "bad-document", "kind: must be " + k + " here", "kind"};
        }
        body["kind"] = k;
      }
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
                         "document " + doc.id + " is already being printed with other content",
                         "id"};
        }
        run(req, res, printer, first, nullptr, true);
        return;
      }
      auto task = tasks_.New(printer.id(), k == "sale"   ? TaskKind::kReceipt
                                           : k == "cash" ? TaskKind::kCash
                                                         : TaskKind::kZ);
      task->key = doc.id;
      task->document = doc.source;
      run(
          req, res, printer, task,
          [doc](JobContext& ctx) -> Reply {
            if (auto entry = ctx.journal.Find(doc.id)) {
              if (entry->document != doc.source) {
                return {409,
                        ErrorBody("id-conflict",
                                  "document " + doc.id + " was printed earlier with other content",
                                  "id"),
                        false};
              }
              if (entry->state && entry->result) {
                return {200, ResultBody(rc::ResultFromJson(*entry->result)), true};
              }
            }
            const rc::Result r = rc::Submit(ctx.nev, ctx.line, ctx.journal, doc, ctx.policy);
            return {200, ResultBody(r), r.from_journal};
          },
          false);
    });
  };

  s.Get("/api/v1/printers", Guarded([this](const httplib::Request&, httplib::Response& res) {
          json list = json::array();
          for (const auto& [id, p] : printers_) list.push_back(p->Describe());
          SendJson(res, 200, list);
        }));
  s.Get(R"(/api/v1/printers/([^/]+))",
        Guarded([printer_of](const httplib::Request& req, httplib::Response& res) {
          SendJson(res, 200, printer_of(req).Describe());
        }));
  s.Get(R"(/api/v1/printers/([^/]+)/paper)",
        Guarded([printer_of](const httplib::Request& req, httplib::Response& res) {
          Printer& p = printer_of(req);
          if (!p.simulated()) {
            throw ApiError{404, "not-simulated", "only a simulated printer has a till roll", ""};
          }
          res.set_content(p.Paper(), "text/plain; charset=utf-8");
        }));
  s.Post(R"(/api/v1/printers/([^/]+)/receipts)", document("sale"));
  s.Post(R"(/api/v1/printers/([^/]+)/cash)", document("cash"));
  s.Post(R"(/api/v1/printers/([^/]+)/reports/z)", document("z"));
  // A job of the printer that takes no document: an optional empty body, then the queue.
  auto device_job = [this, printer_of, run](TaskKind kind, Printer::Job job) {
    return Guarded(
        [this, printer_of, run, kind, job](const httplib::Request& req, httplib::Response& res) {
          Printer& printer = printer_of(req);
          ParseBody(req, true);
          WaitSeconds(req);
          run(req, res, printer, tasks_.New(printer.id(), kind), job, false);
        });
  };
  s.Post(R"(/api/v1/printers/([^/]+)/duplicate)",
         device_job(TaskKind::kDuplicate, [](JobContext& ctx) -> Reply {
           const bool ok = ctx.nev.Dublicate();
           const nev::CallRecord& call = ctx.nev.LastCall();
           return {
               ok ? 200 : 409,
               {{"member", "Dublicate"}, {"ok", ok}, {"outcome", nev::OutcomeName(call.outcome)}},
               false};
         }));
  // The operator's remedies when the journal and the device disagree.
  s.Post(R"(/api/v1/printers/([^/]+)/void-open)",
         device_job(TaskKind::kVoidOpen, [](JobContext& ctx) -> Reply {
           const rc::Result r = rc::VoidOpen(ctx.nev, ctx.line, ctx.journal, ctx.policy);
           return {r.state == rc::State::kVoided ? 200 : 409, ResultBody(r), false};
         }));
  s.Post(R"(/api/v1/printers/([^/]+)/journal/accept)",
         device_job(TaskKind::kJournalAccept, [](JobContext& ctx) -> Reply {
           try {
             return {200,
                     {{"accepted", rc::AcceptDevice(ctx.nev, ctx.line, ctx.journal, ctx.policy)}},
                     false};
           } catch (const std::runtime_error& e) {
             return {409, ErrorBody("not-accepted", e.what(), ""), false};
           }
         }));
  s.Post(R"(/api/v1/printers/([^/]+)/release)",
         Guarded([printer_of](const httplib::Request& req, httplib::Response& res) {
           Printer& printer = printer_of(req);
           json body = ParseBody(req, true);
           double seconds = 60;
           if (body.contains("seconds")) {
             if (!body["seconds"].is_number() || !std::isfinite(body["seconds"].get<double>()) ||
                 body["seconds"].get<double>() < 1 || body["seconds"].get<double>() > 3600) {
               throw ApiError{400, "bad-parameter", "seconds must be a number from 1 to 3600",
                              "seconds"};
             }
             seconds = body["seconds"].get<double>();
           }
           printer.Release(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
           SendJson(res, 202, {{"id", printer.id()}, {"state", "released"}, {"seconds", seconds}});
         }));
  s.Get(R"(/api/v1/printers/([^/]+)/reports/fm)",
        Guarded([this, printer_of](const httplib::Request& req, httplib::Response& res) {
          Printer& printer = printer_of(req);
          const auto from = ZNumber(req, "from");
          const auto to = ZNumber(req, "to");
          if (from && to && *from > *to) {
            throw ApiError{400, "bad-parameter", "from must not be after to", "from"};
          }
          std::string range;
          if (from || to)
            range = std::to_string(from.value_or(0)) + "-" + std::to_string(to.value_or(999999));
          auto stream = std::make_shared<FmStream>();
          auto task = tasks_.New(printer.id(), TaskKind::kFmReport);
          std::string why;
          const bool queued = printer.Enqueue(
              task,
              [stream, range](JobContext& ctx) -> Reply {
                std::string piece = ctx.nev.GetFirstFMReport(range);
                long n = 0;
                std::string outcome = nev::OutcomeName(ctx.nev.LastCall().outcome);
                if (!ctx.nev.LastCall().ok()) {
                  json e =
                      ErrorBody("device-refused", "the report was not given (" + outcome + ")", "");
                  stream->Add(e, true);
                  return {409, e, false};
                }
                while (!piece.empty() && n < 100000 && !stream->cancelled) {
                  stream->Add({{"piece", ++n}, {"text", piece}});
                  piece = ctx.nev.GetNextFMReport();
                  // The empty piece ends the report; a dead line breaks it off.
                  const nev::Outcome next = ctx.nev.LastCall().outcome;
                  if (next == nev::Outcome::kTimeout || next == nev::Outcome::kPortError ||
                      next == nev::Outcome::kNoConnection || next == nev::Outcome::kNak) {
                    outcome = nev::OutcomeName(ctx.nev.LastCall().outcome);
                    json e =
                        ErrorBody("device-failed", "the report broke off (" + outcome + ")", "");
                    e["pieces"] = n;
                    stream->Add(e, true);
                    return {502, e, false};
                  }
                }
                json end = {{"done", true}, {"pieces", n}};
                stream->Add(end, true);
                return {200, end, false};
              },
              why);
          if (!queued) throw ApiError{503, "printer-unavailable", why, ""};
          res.set_header("X-Task-Id", task->id);
          res.set_chunked_content_provider(
              "application/x-ndjson",
              [stream, task, this](size_t, httplib::DataSink& sink) {
                std::unique_lock<std::mutex> lock(stream->mutex);
                stream->changed.wait_for(lock, std::chrono::seconds(1),
                                         [&] { return !stream->lines.empty() || stream->done; });
                while (!stream->lines.empty()) {
                  const std::string line = std::move(stream->lines.front());
                  stream->lines.pop_front();
                  if (!sink.write(line.data(), line.size())) {
                    stream->cancelled = true;
                    return false;
                  }
                }
                if (stream->done) {
                  sink.done();
                } else if (!sink.is_writable()) {
                  stream->cancelled = true;
                  return false;
                }
                return true;
              },
              [stream](bool) { stream->cancelled = true; });
        }));
  s.Get(R"(/api/v1/tasks/([^/]+))",
        Guarded([this](const httplib::Request& req, httplib::Response& res) {
          auto task = tasks_.Find(req.matches[1].str());
          if (!task) throw ApiError{404, "unknown-task", "no task " + req.matches[1].str(), ""};
          SendJson(res, 200, tasks_.Describe(*task));
        }));

  auto resource = [](const std::string& path) {
    return [path](const httplib::Request&, httplib::Response& res) {
      const Resource* r = FindResource(path);
      if (r == nullptr) {
        SendJson(res, 404, ErrorBody("not-found", "no such resource", ""));
        return;
      }
      res.set_header("Cache-Control", "no-cache");
      res.set_content(r->body, r->type);
    };
  };
  s.Get("/api/v1/openapi.json", resource("/openapi.json"));
  s.Get("/", resource("/index.html"));
  s.Get(R"(/(index\.html|app\.js|style\.css))",
        [resource](const httplib::Request& req, httplib::Response& res) {
          resource("/" + req.matches[1].str())(req, res);
        });
}

}  // namespace nevd
