// The HTTP side of nevd: the /api/v1 routes, the web page and the service's safety rules (body
// limit, token, CORS origins). Handler threads only validate, queue and wait; printers do the
// work on their own threads.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "config.h"
#include "printer.h"

namespace httplib {
class Server;
}

namespace nevd {

inline constexpr std::size_t kBodyLimit = 64 * 1024;

class Service {
 public:
  explicit Service(Config config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds the listening socket; the port actually bound (for port 0). Throws std::runtime_error.
  int Bind();
  // Serves until Stop().
  void Serve();
  void Stop();

 private:
  void Routes();

  Config config_;
  TaskStore tasks_;
  std::map<std::string, std::unique_ptr<Printer>> printers_;
  std::unique_ptr<httplib::Server> server_;
};

// The embedded files: the web page and the OpenAPI document.
struct Resource {
  const char* path;
  const char* type;
  const char* body;
};
const Resource* FindResource(const std::string& path);

}  // namespace nevd
