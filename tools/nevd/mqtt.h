// nevd's MQTT connector: the shop end of a fleet whose back office talks to a broker. It keeps an
// outbound connection to the broker (persistent session, keepalive, reconnect with backoff, a
// last will that marks the shop offline), takes jobs from PREFIX/printers/+/jobs with QoS 1 and
// runs them on the printers like HTTP requests, and publishes their results and the printers'
// state.
//
// Exactly once: a job is written to the connector's own SQLite journal (synchronous commit) inside
// the message callback, and the callback runs on a network loop whose acknowledgement (PUBACK) is
// written only after the callback returns: a crash before the commit leaves the job
// unacknowledged, and the broker sends it again. A job id seen before is answered from the
// journal; the receipt journal behind each printer prints a document id at most once. Results
// stay marked unpublished until the broker acknowledges them, and are published again after a
// reconnect or a restart.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config.h"
#include "metrics.h"

namespace nevd {

class Printer;
class TaskStore;

// A job's final state for the metrics: a receipt's state, else the error's code, else ok/failed.
std::string JobResultName(const nlohmann::json& body, int status);

class Connector {
 public:
  // Opens the journal (throws std::runtime_error naming it when it cannot) and starts the
  // connection; the printers outlive the connector.
  Connector(const MqttConfig& config, std::map<std::string, Printer*> printers, TaskStore& tasks);
  ~Connector();  // publishes the shop's state as offline, disconnects and stops its threads
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  bool Connected() const;
  // Empty while the journal takes writes; else what failed.
  std::string JournalProblem() const;
  // The gauges for /metrics: the connection and the jobs waiting per printer.
  std::vector<metrics::Sample> Gauges() const;
  // Jobs journaled for the printer and not yet ended.
  long Waiting(const std::string& printer) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nevd
