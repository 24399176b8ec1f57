// The HTTP side of nevd: the /api/v1 routes, the web page and the service's safety rules (body
// limit, token, CORS origins). Handler threads only validate, queue and wait; printers do the
// work on their own threads.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config.h"
#include "printer.h"

namespace httplib {
class Server;
}

namespace nevd {

inline constexpr std::size_t kBodyLimit = 64 * 1024;
// HTTP handler threads, and how many of them may wait for a result: for one printer, and in
// all. A request over a cap answers 202 with its task at once.
inline constexpr int kHandlerThreads = 64;
inline constexpr int kMaxWaitingPerPrinter = 32;
inline constexpr int kMaxWaiting = 56;

class Service {
 public:
  explicit Service(Config config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds the listening socket, then starts the printers; the port actually bound (for port 0).
  // Throws std::runtime_error.
  int Bind();
  // Serves until Stop().
  void Serve();
  void Stop();

 private:
  void Routes();

  // A handler thread's leave to wait for a task of the printer, while the caps allow.
  class WaitSlot {
   public:
    WaitSlot(Service& service, const std::string& printer);
    ~WaitSlot();
    WaitSlot(const WaitSlot&) = delete;
    WaitSlot& operator=(const WaitSlot&) = delete;
    bool taken() const { return taken_; }

   private:
    Service& service_;
    std::string printer_;
    bool taken_ = false;
  };

  Config config_;
  TaskStore tasks_;
  std::map<std::string, std::unique_ptr<Printer>> printers_;
  std::unique_ptr<httplib::Server> server_;
  int listen_fd_ = -1;  // the socket the options were last set on: the bound one after Bind()
  int port_ = 0;        // the port bound
  std::mutex waiting_mutex_;
  std::map<std::string, int> waiting_;  // handler threads waiting, by printer
  int waiting_total_ = 0;
};

// The embedded files: the web page and the OpenAPI document.
struct Resource {
  const char* path;
  const char* type;
  const char* body;
};
const Resource* FindResource(const std::string& path);

}  // namespace nevd
