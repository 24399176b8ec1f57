// The fleet fault campaign, shared by the short run in the tests and the full run in bench/:
// shops (nevd with nev-sim printers) behind one broker, jobs spread over them with some
// published twice, while the broker is killed with SIGKILL and restarted from its persistence,
// random shops are killed and restarted on their journals, and one shop is held offline. The
// back office sends a job again (same id) when no result came for it within resend_after: the
// broker loses what it had not saved when it is killed, and the shop answers a job it has seen
// from its journal.
#pragma once

#include <algorithm>
#include <ostream>
#include <random>

#include "fleet_support.h"

namespace fleet {

struct CampaignOptions {
  int shops = 10, printers = 2, jobs = 1000;
  double duplicated = 0.10;  // share of jobs published twice
  int broker_kills = 2, shop_kills = 6;
  std::chrono::seconds offline{70};    // how long one shop is held offline
  std::chrono::milliseconds pace{20};  // between two publications
  std::chrono::seconds resend_after{20};
  std::chrono::seconds limit{900};  // the whole campaign's bound
  unsigned seed = 27;
};

struct Figures {
  int jobs = 0, published = 0, duplicates_sent = 0, resent = 0;
  int results = 0, printed = 0, refused = 0, other = 0;
  int printed_twice = 0, lost = 0, printed_without_paper = 0;
  int duplicate_results = 0;      // results beyond the first per job, absorbed by the back office
  int redeliveries_answered = 0;  // jobs answered from a shop's journal (since its last start)
  double longest_delay_s = 0, seconds = 0;
  std::map<std::string, int> other_states;  // the final states of the others (e.g. voided)
};

inline std::ostream& operator<<(std::ostream& o, const Figures& f) {
  return o << "jobs " << f.jobs << ", published " << f.published << " (duplicates "
           << f.duplicates_sent << ", resent " << f.resent << "), results " << f.results
           << " (printed " << f.printed << ", refused " << f.refused << ", other " << f.other <<
         [&] {
           std::string t;
           for (const auto& [state, n] : f.other_states) {
             t += " " + state + ":" + std::to_string(n);
           }
           return t.empty() ? std::string() : " =" + t;
         }()
           << "), printed twice " << f.printed_twice << ", lost " << f.lost
           << ", printed-result without paper " << f.printed_without_paper
           << ", duplicate results absorbed " << f.duplicate_results
           << ", redeliveries answered from journals " << f.redeliveries_answered
           << ", longest delay " << f.longest_delay_s << " s, took " << f.seconds << " s";
}

inline Figures RunCampaign(const CampaignOptions& o, std::ostream& log) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  nevtest::TempDir root;
  Broker broker(root.str() + "/broker");
  std::vector<std::unique_ptr<Shop>> shops;
  for (int s = 0; s < o.shops; ++s) {
    const std::string name = "shop-" + std::to_string(s);
    shops.push_back(std::make_unique<Shop>(
        name, o.printers,
        json{{"url", broker.url()}, {"clientId", name}, {"prefix", "nev/" + name}}));
  }
  Client office("office", broker.port(), {"nev/+/printers/+/results", "nev/+/state"});
  if (office.Connack() != 0) throw std::runtime_error("the back office could not connect");
  // Every shop online before the first job.
  std::vector<std::string> presence;
  for (auto& s : shops) presence.push_back("nev/" + s->name() + "/state");
  office.WaitState(presence, "online", 60s);

  struct Sent {
    int shop;
    std::string printer, id, tag, body;
    Clock::time_point first, last;
  };
  std::vector<Sent> sent;
  std::mt19937 rng(o.seed);
  Figures f;
  f.jobs = o.jobs;
  auto topic = [&](const Sent& s) {
    return "nev/" + shops[s.shop]->name() + "/printers/" + s.printer + "/jobs";
  };
  auto publish = [&](const Sent& s) {
    office.Publish(topic(s), s.body);
    ++f.published;
  };

  // The faults, at points of the job stream.
  const int offline_shop = o.shops - 1;
  std::optional<Clock::time_point> back_online;
  auto come_back = [&] {
    if (!back_online || Clock::now() < *back_online) return;
    shops[offline_shop]->Restart();
    back_online.reset();
    log << "campaign: shop " << offline_shop << " back\n";
  };
  std::vector<int> broker_kill_at, shop_kill_at;
  for (int k = 1; k <= o.broker_kills; ++k)
    broker_kill_at.push_back(o.jobs * k / (o.broker_kills + 1));
  for (int k = 1; k <= o.shop_kills; ++k)
    shop_kill_at.push_back(o.jobs * k / (o.shop_kills + 1) + 3);

  for (int i = 0; i < o.jobs; ++i) {
    if (i == o.jobs / 10) {
      log << "campaign: shop " << offline_shop << " offline for " << o.offline.count() << " s\n";
      shops[offline_shop]->Kill();
      back_online = Clock::now() + o.offline;
    }
    come_back();
    if (std::count(broker_kill_at.begin(), broker_kill_at.end(), i)) {
      log << "campaign: broker kill -9 at job " << i << "\n";
      broker.Stop(SIGKILL);
      std::this_thread::sleep_for(1s);
      broker.Start();
    }
    if (std::count(shop_kill_at.begin(), shop_kill_at.end(), i)) {
      int victim = static_cast<int>(rng() % static_cast<unsigned>(o.shops));
      if (victim == offline_shop && back_online) victim = 0;
      log << "campaign: shop " << victim << " kill -9 at job " << i << "\n";
      shops[victim]->Kill();
      std::this_thread::sleep_for(500ms);
      shops[victim]->Restart();
    }
    Sent s;
    s.shop = i % o.shops;
    s.printer = "p" + std::to_string(1 + (i / o.shops) % o.printers);
    s.id = "c-" + std::to_string(i);
    s.tag = "C" + std::to_string(i) + "X";
    s.body = Job(s.id, s.tag);
    s.first = s.last = Clock::now();
    publish(s);
    if (std::uniform_real_distribution<double>(0, 1)(rng) < o.duplicated) {
      publish(s);
      ++f.duplicates_sent;
    }
    sent.push_back(std::move(s));
    std::this_thread::sleep_for(o.pace);
  }
  // Until every job has a result: the held shop comes back, jobs without a result are sent
  // again after resend_after.
  const auto end = start + o.limit;
  while (Clock::now() < end) {
    come_back();
    auto results = office.Results();
    int missing = 0;
    for (Sent& s : sent) {
      if (!results[s.id].empty()) continue;
      ++missing;
      if (!back_online && Clock::now() - s.last > o.resend_after) {
        publish(s);
        ++f.resent;
        s.last = Clock::now();
      }
    }
    if (missing == 0) break;
    office.WaitFor([&](const auto&) { return false; }, 1s);  // a bounded pause between looks
  }

  // The figures: results by job, and each tag's count on its printer's paper.
  auto results = office.Results();
  const auto first_results = office.FirstResults();
  std::map<std::pair<int, std::string>, std::string> paper;
  for (int s = 0; s < o.shops; ++s) {
    for (const std::string& p : shops[s]->ids()) paper[{s, p}] = shops[s]->Paper(p);
  }
  for (const Sent& s : sent) {
    const auto& r = results[s.id];
    const auto on_paper = Count(paper[{s.shop, s.printer}], s.tag);
    if (on_paper > 1) ++f.printed_twice;
    if (r.empty()) {
      ++f.lost;
      continue;
    }
    ++f.results;
    f.duplicate_results += static_cast<int>(r.size()) - 1;
    const std::string state = r[0].value("state", "");
    if (state == "printed") {
      ++f.printed;
      if (on_paper != 1) ++f.printed_without_paper;
    } else if (r[0].value("status", 0) >= 400) {
      ++f.refused;
    } else {
      ++f.other;
      ++f.other_states[state.empty() ? "status " + r[0].value("status", json(0)).dump() : state];
    }
    // The delay: from the first publication to the first result seen.
    f.longest_delay_s = std::max(
        f.longest_delay_s, std::chrono::duration<double>(first_results.at(s.id) - s.first).count());
  }
  for (auto& shop : shops) {
    if (!shop->Up()) continue;
    auto c = shop->nevd().Client();
    auto page = c.Get("/metrics");
    if (!page) continue;
    const std::string key = "\nnevd_mqtt_redeliveries_total ";
    const std::size_t at = page->body.find(key);
    if (at != std::string::npos) {
      f.redeliveries_answered += std::stoi(page->body.substr(at + key.size()));
    }
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return f;
}

}  // namespace fleet
