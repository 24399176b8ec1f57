// nevd's counters and histograms for GET /metrics, in the Prometheus text exposition format.
// Process-wide and thread-safe: the HTTP side, the printers' workers and the MQTT connector count
// into one registry; the gauges that describe a printer now are read when the page is made.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nevd::metrics {

using Labels = std::vector<std::pair<std::string, std::string>>;

// The families, with their help text; counting into a name not listed here is ignored.
// Counters: nevd_jobs_total{source,kind,result}, nevd_http_answers_total{code},
// nevd_device_timeouts_total{printer}, nevd_printer_reconnects_total{printer},
// nevd_mqtt_reconnects_total, nevd_mqtt_messages_received_total,
// nevd_mqtt_messages_sent_total{topic}, nevd_mqtt_redeliveries_total.
void Count(const std::string& name, const Labels& labels = {}, double by = 1);
// Histograms: nevd_receipt_latency_seconds{source}, nevd_journal_write_seconds.
void Observe(const std::string& name, const Labels& labels, double seconds);

// A gauge's sample, made when the page is asked for.
struct Sample {
  std::string name;  // one of the gauge families: nevd_printer_online, nevd_printer_paper,
                     // nevd_printer_queue_length, nevd_mqtt_connected, nevd_up
  Labels labels;
  double value;
};

// The whole page: every family's HELP and TYPE, the counters, the histograms and the gauges.
std::string Render(const std::vector<Sample>& gauges);

}  // namespace nevd::metrics
