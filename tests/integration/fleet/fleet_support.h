// The fleet's real parts for the tests and the benchmark: mosquitto brokers started on free
// loopback ports with persistence in a folder, nev-sim printers, nevd shops with the MQTT
// connector, and a back office on libmosquitto that keeps every message it sees.
#pragma once

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "integration/nevd/nevd_process.h"
#include "support/helpers.h"
#include "support/net.h"

namespace fleet {

using nlohmann::json;
using namespace std::chrono_literals;
using nevdtest::Eventually;
using nevtest::Count;
using nevtest::FreePort;
using nevtest::Listening;

// A mosquitto broker in its own folder (run as root, it stays root: the folder is private), with
// persistence saved at every change, so that kill -9 and a restart lose as little as the broker
// allows. extra is added to the configuration (TLS, ACL, bridge), listener to its listener.
class Broker {
 public:
  Broker(const std::string& dir, std::string extra = {}, std::string listener = {})
      : dir_(dir),
        port_(FreePort()),
        extra_(std::move(extra)),
        listener_extra_(std::move(listener)) {
    std::filesystem::create_directories(dir_);
    Start();
  }
  ~Broker() { Stop(); }
  void Start() {
    nevtest::WriteFile(
        dir_ + "/mosquitto.conf",
        "per_listener_settings false\nuser root\nset_tcp_nodelay true\n"
        "persistence true\npersistence_location " +
            dir_ +
            "/\nautosave_interval 1\nautosave_on_changes true\n"
            "max_queued_messages 100000\nmax_inflight_messages 100\n"
            "log_dest stderr\nlog_type error\nlog_type warning\n"
            "log_type notice\n" +
            (extra_.find("allow_anonymous") == std::string::npos ? "allow_anonymous true\n" : "") +
            extra_ + "\nlistener " + std::to_string(port_) + " 127.0.0.1\n" + listener_extra_);
    pid_ = nevdtest::Spawn({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"},
                           dir_ + "/broker.err." + std::to_string(starts_++));
    if (!Eventually([&] { return Listening(port_); }, 10s)) {
      throw std::runtime_error("mosquitto did not start: " + Log());
    }
  }
  void Stop(int sig = SIGTERM) {  // SIGKILL: as a crash would
    if (pid_ > 0) nevdtest::Stop(pid_, sig);
    pid_ = -1;
  }
  int port() const { return port_; }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  std::string Log() const {
    std::string all;
    for (int i = 0; i < starts_; ++i)
      all += nevtest::ReadFile(dir_ + "/broker.err." + std::to_string(i));
    return all;
  }

 private:
  std::string dir_;
  int port_;
  std::string extra_, listener_extra_;
  pid_t pid_ = -1;
  int starts_ = 0;
};

// A back office (or any MQTT client): connects with its own id, keeps every message of its
// subscriptions, publishes with QoS 1. Waits sleep on a condition variable with a bound.
struct ClientOptions {
  std::string username, password, ca_file, cert_file, key_file;
  bool clean = true;
};

class Client {
 public:
  using Options = ClientOptions;
  Client(const std::string& id, int port, std::vector<std::string> topics,
         ClientOptions o = ClientOptions())
      : topics_(std::move(topics)) {
    static const int init = mosquitto_lib_init();
    (void)init;
    m_ = mosquitto_new(id.c_str(), o.clean, this);
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!o.username.empty()) {
      mosquitto_username_pw_set(m_, o.username.c_str(), o.password.c_str());
    }
    if (!o.ca_file.empty()) {
      mosquitto_tls_set(m_, o.ca_file.c_str(), nullptr,
                        o.cert_file.empty() ? nullptr : o.cert_file.c_str(),
                        o.key_file.empty() ? nullptr : o.key_file.c_str(), nullptr);
    }
    mosquitto_connect_v5_callback_set(
        m_, [](mosquitto* m, void* self, int rc, int, const mosquitto_property*) {
          auto* c = static_cast<Client*>(self);
          if (rc == 0) {
            for (const std::string& t : c->topics_) {
              mosquitto_subscribe_v5(m, nullptr, t.c_str(), 1, 0, nullptr);
            }
          }
          std::lock_guard<std::mutex> lock(c->mutex_);
          c->connack_ = rc;
          c->cv_.notify_all();
        });
    mosquitto_subscribe_v5_callback_set(
        m_, [](mosquitto*, void* self, int, int n, const int* granted, const mosquitto_property*) {
          auto* c = static_cast<Client*>(self);
          std::lock_guard<std::mutex> lock(c->mutex_);
          for (int i = 0; i < n; ++i) c->granted_.push_back(granted[i]);
          c->cv_.notify_all();
        });
    mosquitto_message_v5_callback_set(
        m_, [](mosquitto*, void* self, const mosquitto_message* msg, const mosquitto_property*) {
          auto* c = static_cast<Client*>(self);
          const std::string topic = msg->topic;
          std::string id;
          if (topic.size() > 8 && topic.compare(topic.size() - 8, 8, "/results") == 0) {
            const json j = json::parse(static_cast<const char*>(msg->payload),
                                       static_cast<const char*>(msg->payload) + msg->payloadlen,
                                       nullptr, false);
            if (j.is_object() && j["id"].is_string()) id = j["id"];
          }
          std::lock_guard<std::mutex> lock(c->mutex_);
          if (!id.empty()) c->first_results_.emplace(id, std::chrono::steady_clock::now());
          c->messages_.push_back({msg->topic,
                                  std::string(static_cast<const char*>(msg->payload),
                                              static_cast<std::size_t>(msg->payloadlen)),
                                  msg->retain, std::chrono::steady_clock::now()});
          c->cv_.notify_all();
        });
    mosquitto_reconnect_delay_set(m_, 1, 2, false);
    mosquitto_connect_async(m_, "127.0.0.1", port, 10);
    mosquitto_loop_start(m_);
  }
  ~Client() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, true);
    mosquitto_destroy(m_);
  }
  // The broker's answer to the connection (0: accepted), or -1 when none came in time.
  int Connack(std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, limit, [&] { return connack_ >= 0 && granted_.size() >= topics_.size(); });
    return connack_;
  }
  bool Publish(const std::string& topic, const std::string& payload, bool retain = false) {
    return mosquitto_publish_v5(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                payload.data(), 1, retain, nullptr) == MOSQ_ERR_SUCCESS;
  }
  struct Message {
    std::string topic, payload;
    bool retained;
    std::chrono::steady_clock::time_point at;
    json Json() const { return json::parse(payload, nullptr, false); }
  };
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // Waits until pred(messages) holds, looking again at each new message; false when limit
  // passed first. pred runs without the client's lock, so it may call the other methods.
  template <class Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::size_t seen;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen = messages_.size();
      }
      if (Holds(pred)) return true;
      std::unique_lock<std::mutex> lock(mutex_);
      if (!cv_.wait_until(lock, end, [&] { return messages_.size() != seen; })) {
        lock.unlock();
        return Holds(pred);
      }
    }
  }
  // pred() or pred(messages), whichever it takes (a copy of every message costs).
  template <class Pred>
  bool Holds(Pred& pred) {
    if constexpr (std::is_invocable_v<Pred&>) {
      return pred();
    } else {
      return pred(Messages());
    }
  }
  // Waits until the latest message on each topic says it is in state (as presence and printer
  // status do).
  bool WaitState(const std::vector<std::string>& topics, const std::string& state,
                 std::chrono::milliseconds limit) {
    return WaitFor(
        [&] {
          return std::all_of(topics.begin(), topics.end(), [&](const std::string& t) {
            return Last(t).value("state", "") == state;
          });
        },
        limit);
  }
  // The latest message on a topic, as JSON (an empty object when none).
  json Last(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
      if (it->topic == topic) return it->Json();
    }
    return json::object();
  }
  // The results by job id.
  std::map<std::string, std::vector<json>> Results() {
    std::map<std::string, std::vector<json>> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Message& m : messages_) {
      if (m.topic.size() > 8 && m.topic.compare(m.topic.size() - 8, 8, "/results") == 0) {
        json j = m.Json();
        if (j.is_object() && j["id"].is_string()) out[j["id"]].push_back(j);
      }
    }
    return out;
  }
  // When the first result of each job came.
  std::map<std::string, std::chrono::steady_clock::time_point> FirstResults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_results_;
  }
  std::size_t ResultsSeen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_results_.size();
  }
  bool HasResult(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_results_.count(id) > 0;
  }

 private:
  mosquitto* m_;
  std::vector<std::string> topics_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int connack_ = -1;
  std::vector<int> granted_;
  std::vector<Message> messages_;
  std::map<std::string, std::chrono::steady_clock::time_point> first_results_;
};

// A receipt that names its job in its one item, so that the paper shows which job printed.
inline json Receipt(const std::string& tag) {
  return nevdtest::Sale(tag, 1.5);
}

inline std::string Job(const std::string& id, const std::string& tag) {
  return json{{"kind", "receipt"}, {"id", id}, {"document", Receipt(tag)}}.dump();
}

// A shop: nev-sim printers (state and paper in files, so that they survive the shop's restarts)
// and nevd with the MQTT connector, in one folder.
class Shop {
 public:
  Shop(std::string name, int printers, json mqtt)
      : dir_(folder_.str()), name_(std::move(name)), mqtt_(std::move(mqtt)) {
    std::filesystem::create_directories(dir_);
    for (int i = 0; i < printers; ++i) {
      const std::string id = "p" + std::to_string(i + 1);
      ids_.push_back(id);
      sims_.push_back(nevdtest::StartSim(
          Link(id),
          {"--paper", PaperFile(id), "--state", dir_ + "/" + id + ".state", "--z-ms", "200"},
          dir_ + "/" + id + ".sim.err"));
    }
    Start();
  }
  ~Shop() {
    nevd_.reset();
    for (pid_t p : sims_) nevdtest::Stop(p);
  }
  void Start() {
    json printers = json::array();
    for (const std::string& id : ids_) printers.push_back({{"id", id}, {"port", Link(id)}});
    json mqtt = mqtt_;
    mqtt["journal"] = dir_ + "/mqtt.db";
    nevd_ = std::make_unique<nevdtest::Nevd>(
        folder_, json{{"probeSeconds", 0.5}, {"printers", printers}, {"mqtt", mqtt}});
  }
  void Kill() { nevd_->Kill(); }
  void Restart() {
    nevd_.reset();
    Start();
  }
  bool Up() const { return nevd_ != nullptr && nevd_->pid() > 0; }
  nevdtest::Nevd& nevd() { return *nevd_; }
  const std::vector<std::string>& ids() const { return ids_; }
  const std::string& name() const { return name_; }
  std::string Paper(const std::string& id) const { return nevtest::ReadFile(PaperFile(id)); }

 private:
  std::string Link(const std::string& id) const { return dir_ + "/tty-" + id; }
  std::string PaperFile(const std::string& id) const { return dir_ + "/" + id + ".paper"; }

  nevtest::TempDir folder_;
  std::string dir_, name_;
  json mqtt_;
  std::vector<std::string> ids_;
  std::vector<pid_t> sims_;
  std::unique_ptr<nevdtest::Nevd> nevd_;
};

}  // namespace fleet
