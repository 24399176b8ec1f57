// The HTTP side of nevd: the /api/v1 routes, the web page and the rules on who may call. A
// request is validated and queued on its printer, never waited for on a thread: its answer
// goes out when the task ends or its wait has passed, whichever comes first.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "http_server.h"
#include "policy.h"
#include "printer.h"
#include "tasks.h"

namespace nevd {

class Connector;

class Service {
 public:
  explicit Service(Config config, http::Limits limits = {});
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds the listening socket, then starts the printers; the port actually bound (for port 0).
  // Throws std::runtime_error naming the address and the reason.
  int Bind();
  // Serves until Stop().
  void Serve();
  void Stop();
  // Takes from a new configuration what changes without a restart (the token and the CORS
  // origins); the names of the settings that differ and need one.
  std::vector<std::string> Reload(const Config& config);

 private:
  struct Call;
  struct Route {
    const char* method;
    const char* pattern;  // segments; "{printer}" and "{task}" match one segment each
    void (Service::*handle)(Call&);
  };
  static const Route kRoutes[];

  void Handle(http::Request& request, std::shared_ptr<http::Responder> responder);
  void Dispatch(Call& call);  // to the route that matches, else 404 or 405
  Printer& PrinterOf(Call& call);
  std::shared_ptr<Task> TaskOf(Call& call);
  // Queues the task (503 when the printer cannot take it) and answers as Await does.
  void Queue(Call& call, Printer& printer, std::shared_ptr<Task> task, Printer::Job job);
  // Answers with the task's result when it ends within the request's wait, else 202.
  void Await(Call& call, std::shared_ptr<Task> task, bool joined);

  void ListPrinters(Call& call);
  void ShowPrinter(Call& call);
  void Paper(Call& call);
  void Diagnostics(Call& call);  // diagnostics.h
  void PostReceipt(Call& call);
  void PostCash(Call& call);
  void PostZ(Call& call);
  void PostDocument(Call& call, TaskKind kind);
  void PostDuplicate(Call& call);
  void PostVoidOpen(Call& call);
  void PostJournalAccept(Call& call);
  void PostDeviceJob(Call& call, TaskKind kind, Printer::Job job);
  void PostRelease(Call& call);
  void PostFmReport(Call& call);
  void ShowTask(Call& call);
  void StreamTask(Call& call);
  void Page(Call& call);
  void Livez(Call& call);
  void Readyz(Call& call);
  void Metrics(Call& call);

  std::shared_ptr<const AccessPolicy> Policy() const;

  // First, so that it goes last: answers still held by tasks end on its sockets.
  std::unique_ptr<http::Server> server_;
  Config config_;
  mutable std::mutex policy_mutex_;
  std::shared_ptr<const AccessPolicy> policy_;
  TaskStore tasks_;
  std::map<std::string, std::unique_ptr<Printer>> printers_;
  std::unique_ptr<Connector> mqtt_;  // the MQTT connector, when configured; ends before printers_
  int port_ = 0;
};

// The embedded files: the web page and the OpenAPI document.
struct Resource {
  const char* path;
  const char* type;
  const char* body;
};
const Resource* FindResource(const std::string& path);

}  // namespace nevd
