#include "metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

namespace nevd::metrics {

namespace {

enum class Type { kCounter, kGauge, kHistogram };

struct Family {
  const char* name;
  Type type;
  const char* help;
};

constexpr Family kFamilies[] = {
    {"nevd_jobs_total", Type::kCounter,
     "Jobs ended, by source (http, mqtt), kind and result (a receipt's state or an error code)."},
    {"nevd_http_answers_total", Type::kCounter, "HTTP answers sent, by status code."},
    {"nevd_device_timeouts_total", Type::kCounter,
     "Device commands that met no answer within their wait, by printer."},
    {"nevd_printer_reconnects_total", Type::kCounter,
     "Times a printer came back online after it was lost, by printer."},
    {"nevd_mqtt_reconnects_total", Type::kCounter, "Connections to the broker after the first."},
    {"nevd_mqtt_messages_received_total", Type::kCounter, "Job messages received."},
    {"nevd_mqtt_messages_sent_total", Type::kCounter,
     "Messages published, by topic (results, status, state)."},
    {"nevd_mqtt_redeliveries_total", Type::kCounter,
     "Jobs received again with an id already journaled: answered from the journal."},
    {"nevd_receipt_latency_seconds", Type::kHistogram,
     "Time from a receipt's arrival to its result, by source."},
    {"nevd_journal_write_seconds", Type::kHistogram,
     "Time of a durable write to the connector's journal."},
    {"nevd_up", Type::kGauge, "1 while the process serves."},
    {"nevd_printer_online", Type::kGauge, "1 when the printer is online, by printer."},
    {"nevd_printer_paper", Type::kGauge,
     "1 when the printer reports paper, 0 when it reports none, by printer."},
    {"nevd_printer_queue_length", Type::kGauge, "Jobs waiting for the printer, by printer."},
    {"nevd_mqtt_connected", Type::kGauge, "1 while connected to the broker."},
};

constexpr double kBuckets[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

struct Histogram {
  std::vector<double> counts = std::vector<double>(std::size(kBuckets), 0);
  double sum = 0, count = 0;
};

// Label values escaped as the text format wants: backslash, quote and newline.
std::string Escape(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string LabelText(const Labels& labels, const std::string& extra = {}) {
  std::string out;
  for (const auto& [k, v] : labels) out += (out.empty() ? "" : ",") + k + "=\"" + Escape(v) + "\"";
  if (!extra.empty()) out += (out.empty() ? "" : ",") + extra;
  return out.empty() ? "" : "{" + out + "}";
}

std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  // The shortest text that reads back as the same number.
  char buf[64];
  for (int digits = 6; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

const Family* FamilyOf(const std::string& name) {
  for (const Family& f : kFamilies) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::map<std::string, double>> counters;       // name -> labels -> value
  std::map<std::string, std::map<std::string, Histogram>> histograms;  // name -> labels -> h
  std::map<std::string, Labels> label_sets;                            // label text -> labels
};

Registry& Reg() {
  static Registry* r = new Registry;  // never destroyed: workers may count while the process ends
  return *r;
}

}  // namespace

void Count(const std::string& name, const Labels& labels, double by) {
  const Family* f = FamilyOf(name);
  if (f == nullptr || f->type != Type::kCounter) return;
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.counters[name][LabelText(labels)] += by;
}

void Observe(const std::string& name, const Labels& labels, double seconds) {
  const Family* f = FamilyOf(name);
  if (f == nullptr || f->type != Type::kHistogram || !std::isfinite(seconds)) return;
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  const std::string key = LabelText(labels);
  r.label_sets[key] = labels;
  Histogram& h = r.histograms[name][key];
  for (std::size_t i = 0; i < std::size(kBuckets); ++i) {
    if (seconds <= kBuckets[i]) h.counts[i] += 1;
  }
  h.sum += seconds;
  h.count += 1;
}

std::string Render(const std::vector<Sample>& gauges) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::ostringstream out;
  for (const Family& f : kFamilies) {
    out << "# HELP " << f.name << " " << f.help << "\n# TYPE " << f.name << " "
        << (f.type == Type::kCounter ? "counter"
            : f.type == Type::kGauge ? "gauge"
                                     : "histogram")
        << "\n";
    if (f.type == Type::kCounter) {
      for (const auto& [labels, v] : r.counters[f.name]) {
        out << f.name << labels << " " << Number(v) << "\n";
      }
    } else if (f.type == Type::kGauge) {
      for (const Sample& s : gauges) {
        if (s.name == f.name)
          out << f.name << LabelText(s.labels) << " " << Number(s.value) << "\n";
      }
    } else {
      for (const auto& [key, h] : r.histograms[f.name]) {
        const Labels& labels = r.label_sets[key];
        for (std::size_t i = 0; i < std::size(kBuckets); ++i) {
          out << f.name << "_bucket" << LabelText(labels, "le=\"" + Number(kBuckets[i]) + "\"")
              << " " << Number(h.counts[i]) << "\n";
        }
        out << f.name << "_bucket" << LabelText(labels, "le=\"+Inf\"") << " " << Number(h.count)
            << "\n";
        out << f.name << "_sum" << key << " " << Number(h.sum) << "\n";
        out << f.name << "_count" << key << " " << Number(h.count) << "\n";
      }
    }
  }
  return out.str();
}

}  // namespace nevd::metrics
