// Load on the print service: nevd with 4 simulated printers, 40 concurrent clients, 1000
// receipts of which 10 % are sent again with the same key. Prints duplicates and lost receipts
// (both must be 0), whether each printer kept the order in which it took its receipts, receipts
// per second, median and 99th-percentile latency, and nevd's CPU time and peak memory.
//   nevd_bench [--baud 115200] [--receipts 1000] [--clients 40]   (no --baud: unpaced)
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::size_t Count(const std::string& hay, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

// nevd's CPU seconds (user + system) and peak resident memory in KiB, from /proc.
std::pair<double, long> Usage(pid_t pid) {
  std::istringstream stat(ReadFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  std::vector<std::string> f;
  while (stat >> field) f.push_back(field);
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double cpu = f.size() > 15 ? (std::stod(f[13]) + std::stod(f[14])) / ticks : 0;
  long hwm = 0;
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) hwm = std::stol(line.substr(6));
  }
  return {cpu, hwm};
}

}  // namespace

int main(int argc, char** argv) {
  int baud = 0, receipts = 1000, clients = 40;
  std::string nevd = NEVD_EXE;  // --nevd: another build, to compare
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--nevd") nevd = argv[i + 1];
    if (a == "--baud") baud = std::atoi(argv[i + 1]);
    if (a == "--receipts") receipts = std::atoi(argv[i + 1]);
    if (a == "--clients") clients = std::atoi(argv[i + 1]);
  }
  constexpr int kPrinters = 4;
  char dir_pattern[] = "/tmp/nevd-bench-XXXXXX";
  const std::string dir = ::mkdtemp(dir_pattern);
  json config = {{"printers", json::array()}};
  for (int p = 0; p < kPrinters; ++p) {
    json printer = {{"id", "p" + std::to_string(p)},
                    {"port", "sim"},
                    {"journal", dir + "/p" + std::to_string(p) + ".db"},
                    {"log", dir + "/log"}};
    if (baud > 0) printer["baud"] = baud;
    config["printers"].push_back(printer);
  }
  std::ofstream(dir + "/nevd.json") << config.dump();

  std::vector<std::string> args{nevd, "--config", dir + "/nevd.json", "--listen",
                                "127.0.0.1:0"};
  std::vector<char*> argv2;
  for (auto& a : args) argv2.push_back(a.data());
  argv2.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string err = dir + "/nevd.err";
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv2[0], &actions, nullptr, argv2.data(), environ) != 0) {
    std::cerr << "cannot start nevd\n";
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 1;
  }
  int port = 0;
  const std::regex listening("listening on http://127\\.0\\.0\\.1:([0-9]+)/");
  for (int i = 0; i < 400 && port == 0; ++i) {
    std::smatch m;
    const std::string text = ReadFile(err);
    if (std::regex_search(text, m, listening)) port = std::stoi(m[1].str());
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  auto online = [&] {
    httplib::Client c("127.0.0.1", port);
    auto r = c.Get("/api/v1/printers");
    if (!r || r->status != 200) return false;
    for (const json& p : json::parse(r->body)) {
      if (p["state"] != "online") return false;
    }
    return true;
  };
  for (int i = 0; i < 400 && !(port && online()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto [cpu_before, mem_before] = Usage(pid);

  struct Done {
    int index, printer, number;
    std::string state;
    double ms;
    bool retry, replayed;
    Clock::time_point end;
  };
  std::mutex mutex;
  std::vector<Done> done;
  std::atomic<int> next{0}, failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&] {
      httplib::Client c("127.0.0.1", port);
      c.set_read_timeout(300, 0);
      for (int i = next++; i < receipts; i = next++) {
        const int printer = i % kPrinters;
        char marker[16];
        std::snprintf(marker, sizeof marker, "LD%05d", i);
        const json doc = {
            {"operator", {{"number", 1}, {"password", "0000"}}},
            {"items", {{{"text", marker}, {"taxGroup", "B"}, {"quantity", 1}, {"price", 1.25}}}},
            {"payments", {{{"type", 1}}}}};
        const httplib::Headers key{{"Idempotency-Key", std::string("bench-") + marker}};
        const std::string path = "/api/v1/printers/p" + std::to_string(printer) + "/receipts";
        for (int attempt = 0; attempt < (i % 10 == 0 ? 2 : 1); ++attempt) {
          const auto t0 = Clock::now();
          auto r = c.Post(path.c_str(), key, doc.dump(), "application/json");
          const auto t1 = Clock::now();
          if (!r || r->status != 200) {
            ++failures;
            continue;
          }
          const json body = json::parse(r->body);
          std::lock_guard<std::mutex> lock(mutex);
          done.push_back({i, printer, body.value("receiptNumber", 0), body.value("state", ""),
                          std::chrono::duration<double, std::milli>(t1 - t0).count(), attempt == 1,
                          r->get_header_value("Idempotent-Replayed") == "true", t1});
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const auto [cpu_after, mem_after] = Usage(pid);

  // Duplicates and losses as the paper shows them.
  std::string paper;
  for (int p = 0; p < kPrinters; ++p) {
    httplib::Client c("127.0.0.1", port);
    auto r = c.Get(("/api/v1/printers/p" + std::to_string(p) + "/paper").c_str());
    if (r) paper += r->body;
  }
  int duplicates = 0, lost = 0, not_printed = 0, replayed = 0;
  for (int i = 0; i < receipts; ++i) {
    char marker[16];
    std::snprintf(marker, sizeof marker, "LD%05d", i);
    const std::size_t n = Count(paper, marker);
    if (n == 0) ++lost;
    if (n > 1) duplicates += static_cast<int>(n - 1);
  }
  // Order per printer: answers in the order they ended carry increasing receipt numbers.
  std::sort(done.begin(), done.end(), [](const Done& a, const Done& b) { return a.end < b.end; });
  bool order_kept = true;
  std::map<int, int> last;
  std::vector<double> latency;
  for (const Done& d : done) {
    if (d.state != "printed") ++not_printed;
    if (d.replayed) ++replayed;
    latency.push_back(d.ms);
    if (d.replayed) continue;
    if (d.number <= last[d.printer]) order_kept = false;
    last[d.printer] = d.number;
  }
  std::sort(latency.begin(), latency.end());
  auto pct = [&](double q) {
    return latency.empty() ? 0.0
                           : latency[std::min(latency.size() - 1,
                                              static_cast<std::size_t>(q * latency.size()))];
  };
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);  // the journals, logs and configuration of the run
  std::printf("nevd load: %d printers (%s), %d clients, %d receipts, %zu requests (%d retries)\n",
              kPrinters, baud ? (std::to_string(baud) + " baud").c_str() : "unpaced", clients,
              receipts, done.size() + failures, receipts / 10);
  std::printf("  duplicates %d, lost %d, not printed %d, failed requests %d, replayed %d\n",
              duplicates, lost, not_printed, failures.load(), replayed);
  std::printf("  order per printer kept: %s\n", order_kept ? "yes" : "NO");
  std::printf("  %.1f receipts/s; latency median %.1f ms, p99 %.1f ms\n", receipts / seconds,
              pct(0.5), pct(0.99));
  std::printf("  nevd: %.2f s CPU over %.2f s (%.0f %% of one core), peak memory %ld KiB\n",
              cpu_after - cpu_before, seconds, 100 * (cpu_after - cpu_before) / seconds, mem_after);
  (void)mem_before;
  return duplicates == 0 && lost == 0 ? 0 : 1;
}
