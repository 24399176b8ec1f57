#include "http_server.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <mutex>
#include <optional>
#include <thread>

namespace nevd::http {

namespace beast = boost::beast;
namespace bhttp = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query's name or value: %XX and '+' decoded; a broken escape stays as it is.
std::string Decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void SplitTarget(std::string_view target, Request& r) {
  const std::size_t q = target.find('?');
  r.path = std::string(target.substr(0, q));
  if (q == std::string_view::npos) return;
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (!pair.empty()) {
      r.query[Decode(pair.substr(0, eq))] =
          eq == std::string_view::npos ? std::string() : Decode(pair.substr(eq + 1));
    }
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
  }
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Connections open, by client address: the caps on one client and on all.
class Admission {
 public:
  Admission(int per_client, int total) : per_client_(per_client), total_(total) {}
  bool Enter(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    int& mine = open_[address];
    if (mine >= per_client_ || all_ >= total_) {
      if (mine == 0) open_.erase(address);
      return false;
    }
    ++mine;
    ++all_;
    return true;
  }
  void Leave(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(address);
    if (it != open_.end() && --it->second <= 0) open_.erase(it);
    --all_;
  }

 private:
  const int per_client_, total_;
  std::mutex mutex_;
  std::map<std::string, int> open_;
  int all_ = 0;
};

struct Shared {
  Limits limits;
  Handler handler;
  ErrorAnswer error_answer;
  Admission admission{limits.per_client, limits.connections};
};

// One client connection: waits for a request, hands it to the handler, writes its answer, and
// waits for the next one while the client keeps the connection alive.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Shared& shared, std::string peer)
      : stream_(std::move(socket)), shared_(shared), peer_(std::move(peer)) {}
  ~Session() { Leave(); }

  void Start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->AwaitRequest(); });
  }

  void Post(std::function<void(Session&)> fn) {
    net::post(stream_.get_executor(),
              [self = shared_from_this(), fn = std::move(fn)] { fn(*self); });
  }

  // A timer on the connection's own thread; cancelling it lets go of fn at once.
  std::shared_ptr<net::steady_timer> After(std::chrono::milliseconds time,
                                           std::function<void()> fn) {
    auto timer = std::make_shared<net::steady_timer>(stream_.get_executor(), time);
    timer->async_wait([timer, fn = std::move(fn)](beast::error_code ec) {
      if (!ec) fn();
    });
    return timer;
  }

  void Write(Response r);
  void StartStream(Response head, std::shared_ptr<ChunkSource> source);

 private:
  // Between requests the connection may stay idle for a while; from a request's first byte
  // on, its head and body must be complete within one deadline.
  void AwaitRequest() {
    if (buffer_.size() > 0) return ReadHead();
    stream_.expires_after(shared_.limits.idle);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->Close();
                              self->buffer_.commit(n);
                              self->ReadHead();
                            });
  }

  void ReadHead() {
    parser_.emplace();
    parser_->body_limit(shared_.limits.body);
    parser_->header_limit(static_cast<std::uint32_t>(shared_.limits.head));
    stream_.expires_after(shared_.limits.request);
    bhttp::async_read_header(stream_, buffer_, *parser_,
                             [self = shared_from_this()](beast::error_code ec, std::size_t) {
                               if (ec) return self->Failed(ec);
                               self->ReadBody();
                             });
  }

  void ReadBody() {
    const auto& head = parser_->get();
    auto expect = head.find(bhttp::field::expect);
    if (expect != head.end() && beast::iequals(expect->value(), "100-continue") &&
        !parser_->is_done()) {
      // A client that waits to be told to send its body (curl does for large ones).
      auto cont = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_,
                                                                       head.version());
      bhttp::async_write(stream_, *cont,
                         [self = shared_from_this(), cont](beast::error_code ec, std::size_t) {
                           if (ec) return self->Close();
                           self->ReadRest();
                         });
      return;
    }
    ReadRest();
  }

  void ReadRest() {
    bhttp::async_read(stream_, buffer_, *parser_,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                        if (ec) return self->Failed(ec);
                        self->Dispatch();
                      });
  }

  void Failed(beast::error_code ec) {
    if (ec == bhttp::error::body_limit) return Refuse(413, "body");
    if (ec == bhttp::error::header_limit) return Refuse(431, "head");
    if (ec == beast::error::timeout) return Close();  // the stream has closed the socket
    if (ec.category() == bhttp::make_error_code(bhttp::error::end_of_stream).category() &&
        ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
      return Refuse(400, "syntax");
    }
    Close();
  }

  // An answer the server gives itself; the connection closes after it.
  void Refuse(int status, const std::string& why) {
    keep_alive_ = false;
    Write(shared_.error_answer(status, why));
  }

  void Dispatch();
  void AwaitChunk();
  void SendChunk();
  void Finish(bool keep_alive);

  // The socket closes and leaves the caps at once, though the session may live on a little
  // (an answer still held by a task).
  void Close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.close();
    Leave();
  }
  void Leave() {
    if (!left_.exchange(true)) shared_.admission.Leave(peer_);
  }

  // After refusing a request whose body is still coming, the client is let finish sending for a
  // moment (up to a bound) so that it reads the answer instead of a reset.
  void Linger() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.expires_after(std::chrono::seconds(2));
    Drain(0);
  }
  void Drain(std::size_t so_far) {
    stream_.async_read_some(net::buffer(drain_), [self = shared_from_this(), so_far](
                                                     beast::error_code ec, std::size_t n) {
      if (ec || so_far + n > 4 * self->shared_.limits.body) return self->Close();
      self->Drain(so_far + n);
    });
  }

  beast::tcp_stream stream_;
  Shared& shared_;
  const std::string peer_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  unsigned version_ = 11;
  bool keep_alive_ = true;
  std::shared_ptr<ChunkSource> source_;
  std::atomic<bool> left_{false};
  char drain_[4096];
};

class SessionResponder : public Responder {
 public:
  explicit SessionResponder(std::shared_ptr<Session> session) : session_(std::move(session)) {}
  ~SessionResponder() override {
    if (answered_) return;
    Response r;
    r.status = 500;
    r.body = "{\"error\":{\"code\":\"internal\",\"message\":\"the request was not answered\"}}\n";
    session_->Post([r = std::move(r)](Session& s) mutable { s.Write(std::move(r)); });
  }
  void Answer(Response response) override {
    auto timer = Claim();
    if (!timer) return;
    session_->Post([r = std::move(response), t = std::move(*timer)](Session& s) mutable {
      if (t) t->cancel();
      s.Write(std::move(r));
    });
  }
  void Stream(Response head, std::shared_ptr<ChunkSource> source) override {
    auto timer = Claim();
    if (!timer) return;
    session_->Post([h = std::move(head), source, t = std::move(*timer)](Session& s) mutable {
      if (t) t->cancel();
      s.StartStream(std::move(h), std::move(source));
    });
  }
  void After(std::chrono::milliseconds time, std::function<void()> fn) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!answered_) timer_ = session_->After(time, std::move(fn));
  }

 private:
  using Timer = std::shared_ptr<net::steady_timer>;
  // The right to answer, once; with it the pending timer, to be cancelled on the connection's
  // thread (a timer that held the answer would keep the connection's memory for its time).
  std::optional<Timer> Claim() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (answered_) return std::nullopt;
    answered_ = true;
    return std::move(timer_);
  }

  std::shared_ptr<Session> session_;
  std::mutex mutex_;
  bool answered_ = false;
  Timer timer_;
};

void Session::Dispatch() {
  auto& message = parser_->get();
  Request request;
  request.method = std::string(message.method_string());
  SplitTarget(std::string_view(message.target().data(), message.target().size()), request);
  for (const auto& field : message) {
    request.headers.emplace_back(
        Lower(std::string_view(field.name_string().data(), field.name_string().size())),
        std::string(field.value()));
  }
  request.body = std::move(message.body());
  request.peer = peer_;
  version_ = message.version();
  keep_alive_ = message.keep_alive();
  parser_.reset();
  stream_.expires_never();  // the handler's own wait bounds the time to the answer
  try {
    shared_.handler(request, std::make_shared<SessionResponder>(shared_from_this()));
  } catch (const std::exception&) {
    // A handler that throws has not answered: its responder's last handle answers 500.
  }
}

void Session::Write(Response r) {
  auto res = std::make_shared<bhttp::response<bhttp::string_body>>();
  res->version(version_);
  res->result(static_cast<unsigned>(r.status));
  res->set(bhttp::field::content_type, r.type);
  for (auto& [name, value] : r.headers) res->insert(name, value);
  res->body() = std::move(r.body);
  res->keep_alive(keep_alive_);
  res->prepare_payload();
  stream_.expires_after(shared_.limits.write);
  bhttp::async_write(stream_, *res,
                     [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
                       if (ec) return self->Close();
                       self->Finish(res->keep_alive());
                     });
}

void Session::Finish(bool keep_alive) {
  if (keep_alive) return AwaitRequest();
  if (parser_) return Linger();  // refused before its body was read
  Close();
}

void Session::StartStream(Response head, std::shared_ptr<ChunkSource> source) {
  auto res = std::make_shared<bhttp::response<bhttp::empty_body>>();
  res->version(version_);
  res->result(static_cast<unsigned>(head.status));
  res->set(bhttp::field::content_type, head.type);
  for (auto& [name, value] : head.headers) res->insert(name, value);
  res->keep_alive(keep_alive_);
  res->chunked(true);
  auto serializer = std::make_shared<bhttp::response_serializer<bhttp::empty_body>>(*res);
  source_ = std::move(source);
  stream_.expires_after(shared_.limits.write);
  bhttp::async_write_header(
      stream_, *serializer,
      [self = shared_from_this(), res, serializer](beast::error_code ec, std::size_t) {
        if (ec) {
          self->source_->Cancel();
          return self->Close();
        }
        self->AwaitChunk();
      });
}

void Session::AwaitChunk() {
  stream_.expires_never();  // the source bounds its own waits
  source_->OnReady([self = shared_from_this()] { self->Post([](Session& s) { s.SendChunk(); }); });
}

void Session::SendChunk() {
  ChunkSource::Chunk chunk = source_->Take();
  auto text = std::make_shared<std::string>(std::move(chunk.text));
  const bool done = chunk.done;
  auto next = [self = shared_from_this(), text, done](beast::error_code ec, std::size_t) {
    if (ec) {
      self->source_->Cancel();
      return self->Close();
    }
    if (!done) return self->AwaitChunk();
    self->stream_.expires_after(self->shared_.limits.write);
    net::async_write(self->stream_, bhttp::make_chunk_last(),
                     [self](beast::error_code ec2, std::size_t) {
                       self->source_.reset();
                       if (ec2) return self->Close();
                       self->Finish(self->keep_alive_);
                     });
  };
  stream_.expires_after(shared_.limits.write);
  if (text->empty()) {
    next({}, 0);
  } else {
    net::async_write(stream_, bhttp::make_chunk(net::buffer(*text)), std::move(next));
  }
}

}  // namespace

std::optional<std::string> Request::Header(const std::string& lower_name) const {
  std::optional<std::string> value;
  for (const auto& [name, v] : headers) {
    if (name != lower_name) continue;
    value = value ? *value + ", " + v : v;
  }
  return value;
}

struct Server::Impl {
  Impl(Limits limits, Handler handler, ErrorAnswer error_answer)
      : shared{limits, std::move(handler), std::move(error_answer)} {}

  void Accept() {
    acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
      if (!acceptor.is_open()) return;
      if (ec) {
        // Out of descriptors or a connection reset before it was taken: try again shortly
        // rather than at once, which would spin.
        retry.expires_after(std::chrono::milliseconds(100));
        retry.async_wait([this](beast::error_code) { Accept(); });
        return;
      }
      beast::error_code peer_ec;
      const std::string peer = socket.remote_endpoint(peer_ec).address().to_string();
      if (!peer_ec && shared.admission.Enter(peer)) {
        std::make_shared<Session>(std::move(socket), shared, peer)->Start();
      } else {
        TurnAway(socket);
      }
      Accept();
    });
  }

  // A client over its cap is told so in one write that never waits (a fresh socket's buffer
  // takes it), then the socket closes.
  static void TurnAway(tcp::socket& socket) {
    static const std::string kBody =
        "{\"error\":{\"code\":\"too-many-connections\",\"message\":\"too many connections "
        "from this address\"}}\n";
    static const std::string kBusy =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nConnection: "
        "close\r\nContent-Length: " +
        std::to_string(kBody.size()) + "\r\n\r\n" + kBody;
    beast::error_code ec;
    socket.non_blocking(true, ec);
    socket.write_some(net::buffer(kBusy), ec);
    socket.close(ec);
  }

  Shared shared;  // before the io_context: the sessions it ends on destruction leave through it
  net::io_context ioc;
  tcp::acceptor acceptor{ioc};
  net::steady_timer retry{ioc};
};

Server::Server(Limits limits, Handler handler, ErrorAnswer error_answer)
    : impl_(std::make_unique<Impl>(limits, std::move(handler), std::move(error_answer))) {}

Server::~Server() = default;

int Server::Bind(const std::string& host, int port) {
  const std::string where = host + ":" + std::to_string(port);
  beast::error_code ec;
  tcp::resolver resolver(impl_->ioc);
  auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec || endpoints.empty()) {
    throw std::runtime_error("cannot listen on " + where + ": " +
                             (ec ? ec.message() : std::string("no such address")));
  }
  const tcp::endpoint endpoint = *endpoints.begin();
  tcp::acceptor& a = impl_->acceptor;
  auto check = [&](const char*) {
    if (ec) throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
  };
  a.open(endpoint.protocol(), ec);
  check("open");
  // SO_REUSEADDR alone: a second nevd on the same port fails instead of sharing it.
  a.set_option(net::socket_base::reuse_address(true), ec);
  check("option");
  a.bind(endpoint, ec);
  check("bind");
  a.listen(net::socket_base::max_listen_connections, ec);
  check("listen");
  impl_->Accept();
  return a.local_endpoint().port();
}

void Server::Run() {
  std::vector<std::thread> threads;
  for (int i = 1; i < impl_->shared.limits.threads; ++i) {
    threads.emplace_back([this] { impl_->ioc.run(); });
  }
  impl_->ioc.run();
  for (std::thread& t : threads) t.join();
}

void Server::Stop() {
  net::post(impl_->ioc, [this] {
    beast::error_code ec;
    impl_->acceptor.close(ec);
    impl_->retry.cancel();
    // Answers already handed over get a moment to go out.
    auto timer = std::make_shared<net::steady_timer>(impl_->ioc, std::chrono::milliseconds(200));
    timer->async_wait([this, timer](beast::error_code) { impl_->ioc.stop(); });
  });
}

}  // namespace nevd::http
