// The fleet's figures: receipts per second through a mosquitto broker and nevd against the same
// receipts posted over HTTP (unpaced simulators), end-to-end latency (median, 99th percentile),
// nevd's CPU and memory per shop with the connector idle, and the full fault campaign.
//   fleet_bench [throughput [N]] [idle [SHOPS [SECONDS]]] [campaign [SHOPS JOBS OFFLINE_S]]
// With no argument it runs throughput 400 and idle 5 30.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "campaign.h"

using namespace fleet;
using Clock = std::chrono::steady_clock;

namespace {

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// CPU seconds (user + system) a process has used, from /proc.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void Throughput(int n) {
  nevtest::TempDir dir;
  Broker broker(dir.str() + "/broker");
  Shop shop("bench", 2,
            json{{"url", broker.url()}, {"clientId", "bench"}, {"prefix", "nev/bench"}});
  Client office("office", broker.port(), {"nev/+/printers/+/results", "nev/+/state"});
  office.Connack();
  office.WaitFor(
      [&](const auto&) { return office.Last("nev/bench/state").value("state", "") == "online"; },
      30s);

  // Through the broker: every job published at once, results awaited.
  std::map<std::string, Clock::time_point> sent;
  const auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    const std::string id = "m-" + std::to_string(i);
    sent[id] = Clock::now();
    office.Publish("nev/bench/printers/p" + std::to_string(1 + i % 2) + "/jobs",
                   Job(id, "M" + std::to_string(i) + "X"));
  }
  office.WaitFor([&] { return static_cast<int>(office.ResultsSeen()) >= n; }, 600s);
  const auto firsts = office.FirstResults();
  Clock::time_point last = t0;
  std::vector<double> mqtt_latency;
  for (const auto& [id, at] : firsts) {
    mqtt_latency.push_back(std::chrono::duration<double, std::milli>(at - sent[id]).count());
    last = std::max(last, at);
  }
  const double mqtt_s = std::chrono::duration<double>(last - t0).count();

  // Over HTTP: one client per printer, each posting its half one after another.
  std::vector<double> http_latency[2];
  const auto h0 = Clock::now();
  std::vector<std::thread> clients;
  for (int p = 0; p < 2; ++p) {
    clients.emplace_back([&, p] {
      auto c = shop.nevd().Client();
      for (int i = p; i < n; i += 2) {
        const auto s = Clock::now();
        auto r = c.Post(("/api/v1/printers/p" + std::to_string(p + 1) + "/receipts").c_str(),
                        {{"Idempotency-Key", "h-" + std::to_string(i)}},
                        Receipt("H" + std::to_string(i) + "X").dump(), "application/json");
        if (r && r->status == 200) {
          http_latency[p].push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - s).count());
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  const double http_s = std::chrono::duration<double>(Clock::now() - h0).count();
  std::vector<double> http_all = http_latency[0];
  http_all.insert(http_all.end(), http_latency[1].begin(), http_latency[1].end());
  std::printf("throughput, %d receipts on 2 unpaced printers of one shop:\n", n);
  std::printf(
      "  mqtt (all published at once): %zu results, %.1f receipts/s, end-to-end p50 %.0f ms"
      ", p99 %.0f ms (queueing included)\n",
      firsts.size(), static_cast<double>(firsts.size()) / mqtt_s, Percentile(mqtt_latency, 0.5),
      Percentile(mqtt_latency, 0.99));
  std::printf(
      "  http (one client per printer, one request at a time): %zu results, %.1f "
      "receipts/s, p50 %.1f ms, p99 %.1f ms\n",
      http_all.size(), static_cast<double>(http_all.size()) / http_s, Percentile(http_all, 0.5),
      Percentile(http_all, 0.99));
  // Paced like HTTP: one job at a time per printer, the next sent when its result came.
  std::vector<double> paced;
  for (int i = 0; i < std::min(n, 200); ++i) {
    const std::string id = "q-" + std::to_string(i);
    const auto s = Clock::now();
    office.Publish("nev/bench/printers/p1/jobs", Job(id, "Q" + std::to_string(i) + "X"));
    office.WaitFor([&] { return office.HasResult(id); }, 60s);
    paced.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
  }
  std::printf("  mqtt one at a time: p50 %.1f ms, p99 %.1f ms end to end\n", Percentile(paced, 0.5),
              Percentile(paced, 0.99));
}

void Idle(int shops, int seconds) {
  nevtest::TempDir dir;
  Broker broker(dir.str() + "/broker");
  std::vector<std::unique_ptr<Shop>> list;
  for (int s = 0; s < shops; ++s) {
    const std::string name = "idle-" + std::to_string(s);
    list.push_back(std::make_unique<Shop>(
        name, 2, json{{"url", broker.url()}, {"clientId", name}, {"prefix", "nev/" + name}}));
  }
  std::this_thread::sleep_for(5s);  // connected and settled
  std::vector<double> before;
  for (auto& s : list) before.push_back(CpuSeconds(s->nevd().pid()));
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double cpu = 0, rss = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    cpu += CpuSeconds(list[i]->nevd().pid()) - before[i];
    rss += static_cast<double>(nevdtest::RssKb(list[i]->nevd().pid()));
  }
  std::printf(
      "idle, %d shops of 2 printers (probe every 0.5 s), %d s: nevd %.3f %% of a core and "
      "%.1f MB resident per shop\n",
      shops, seconds, 100 * cpu / seconds / shops, rss / 1024 / shops);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) args = {"throughput", "idle"};
  for (std::size_t i = 0; i < args.size(); ++i) {
    auto number = [&](int fallback) {
      if (i + 1 < args.size() && std::isdigit(static_cast<unsigned char>(args[i + 1][0]))) {
        return std::stoi(args[++i]);
      }
      return fallback;
    };
    if (args[i] == "throughput") {
      Throughput(number(400));
    } else if (args[i] == "idle") {
      const int shops = number(5);
      Idle(shops, number(30));
    } else if (args[i] == "campaign") {
      CampaignOptions o;
      o.shops = number(10);
      o.jobs = number(1000);
      o.offline = std::chrono::seconds(number(70));
      const Figures f = RunCampaign(o, std::cout);
      std::cout << "fleet campaign: " << f << std::endl;
      if (f.lost || f.printed_twice || f.printed_without_paper) return 1;
    } else {
      std::cerr << "usage: fleet_bench [throughput [N]] [idle [SHOPS [SECONDS]]] "
                   "[campaign [SHOPS JOBS OFFLINE_S]]\n";
      return 2;
    }
  }
  return 0;
}
