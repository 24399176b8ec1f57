// nevd's HTTP server, on Boost.Beast: event-driven, so a slow or idle client holds a socket,
// never a thread. Each request's head and body must arrive within one deadline; a client address
// may hold only so many connections; a body over the limit is refused as soon as it passes it,
// whatever its transfer encoding. Handlers answer at once or later, from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nevd::http {

struct Limits {
  std::size_t body = 64 * 1024;              // bytes of a request body
  std::size_t head = 16 * 1024;              // bytes of a request line and headers
  std::chrono::milliseconds request{10000};  // the whole head and body, from the first byte
  std::chrono::milliseconds idle{30000};     // a kept-alive connection waiting for a request
  std::chrono::milliseconds write{10000};    // an answer, or one piece of a stream
  int per_client = 128;                      // connections open at once from one address
  int connections = 1024;                    // connections open at once in all
  int threads = 2;                           // threads running the sockets
};

struct Request {
  std::string method;                        // as sent: "GET", "POST", ...
  std::string path;                          // the target without its query
  std::map<std::string, std::string> query;  // decoded; a name given twice keeps the last
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  std::string peer;  // the client's address

  // The header's value; several of the same name are joined with ", ".
  std::optional<std::string> Header(const std::string& lower_name) const;
};

struct Response {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Where a streamed answer's pieces come from: the source calls the function given to OnReady,
// once and from any thread, when Take has something (or the end) to give.
class ChunkSource {
 public:
  struct Chunk {
    std::string text;
    bool done = false;
  };
  virtual ~ChunkSource() = default;
  virtual void OnReady(std::function<void()> ready) = 0;
  virtual Chunk Take() = 0;
  virtual void Cancel() = 0;  // the client went away
};

// One request's answer, given once from any thread. A request answered by nobody is answered
// 500 when the last handle goes.
class Responder {
 public:
  virtual ~Responder() = default;
  virtual void Answer(Response response) = 0;
  // A chunked answer whose body comes from the source; head.body is ignored.
  virtual void Stream(Response head, std::shared_ptr<ChunkSource> source) = 0;
  // Runs fn on the connection's own thread after the time, unless the connection is gone.
  virtual void After(std::chrono::milliseconds time, std::function<void()> fn) = 0;
};

using Handler = std::function<void(Request&, std::shared_ptr<Responder>)>;
// The answer to a request the server refuses itself (400, 408, 413, 431), as the handler would
// give it: the service's own error body.
using ErrorAnswer = std::function<Response(int status, const std::string& why)>;

class Server {
 public:
  Server(Limits limits, Handler handler, ErrorAnswer error_answer);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens; the port bound (for port 0). Throws std::runtime_error naming the
  // address and the system's reason.
  int Bind(const std::string& host, int port);
  // Serves until Stop(), on the limits' threads and the caller's.
  void Run();
  // Stops accepting, lets the answers under way go out for a moment, then ends Run().
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nevd::http
