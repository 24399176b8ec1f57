// Network peers that misbehave: each call ends within its bound and tells what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "integration/network/ser2net.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "platform/telnet.h"
#include "support/helpers.h"

namespace {

namespace telnet = nev::platform::telnet;
using Clock = std::chrono::steady_clock;

// A TCP server on a free loopback port that runs a script on the one connection it accepts.
class Peer {
 public:
  using Script = std::function<void(int fd, const std::atomic<bool>& stop)>;
  explicit Peer(Script script) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_fd_, 1);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script] {
      pollfd p{listen_fd_, POLLIN, 0};
      while (!stop_ && ::poll(&p, 1, 100) == 0) {
      }
      if (stop_) return;
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      script(fd, stop_);
      ::close(fd);
    });
  }
  ~Peer() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
  }
  std::string Url(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads what comes (up to 100 ms); empty when the peer closed or nothing came.
std::string ReadSome(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 100) <= 0) return {};
  char buf[512];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void Send(int fd, const std::string& bytes) {
  (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Telnet server side, then a relay to the device: the line's bytes pass both ways, each chunk of
// the device's answer cut by IAC commands, a notification and a negotiation.
void TelnetRelay(int fd, const std::atomic<bool>& stop, const std::string& device) {
  const int dev = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  ::tcgetattr(dev, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(dev, TCSANOW, &t);
  // Agrees to the option and reports 9600 set before being asked (as the client wants 9600).
  Send(fd, std::string("\xFF\xFD\x2C\xFF\xFA\x2C\x65\x00\x00\x25\x80\xFF\xF0", 13));
  telnet::Decoder client;  // takes the client's commands out of its stream
  while (!stop) {
    pollfd p[2] = {{fd, POLLIN, 0}, {dev, POLLIN, 0}};
    if (::poll(p, 2, 100) <= 0) continue;
    char buf[512];
    if (p[0].revents) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      std::string data, ignored;
      client.Take(std::string_view(buf, static_cast<std::size_t>(n)), data, ignored);
      (void)!::write(dev, data.data(), data.size());
    }
    if (p[1].revents & POLLIN) {
      const ssize_t n = ::read(dev, buf, sizeof buf);
      if (n <= 0) continue;
      const std::string out = telnet::Escape(std::string_view(buf, static_cast<std::size_t>(n)));
      const std::string noise("\xFF\xF1\xFF\xFA\x2C\x6B\x30\xFF\xF0\xFF\xFB\x18", 12);
      Send(fd, out.substr(0, 1) + noise + out.substr(1));
    }
  }
  ::close(dev);
}

class HostilePeer : public ::testing::Test {
 protected:
  nevtest::TempDir dir;
  nevtest::MessageRecorder messages;
};

// Opening a line whose peer misbehaves fails within its bound, and says why.
TEST_F(HostilePeer, OpeningFailsWithinItsBoundSayingWhy) {
  const auto silent = [](int fd, const std::atomic<bool>& stop) {
    while (!stop) ReadSome(fd);
  };
  const auto endless = [](int fd, const std::atomic<bool>& stop) {
    std::string toggles;
    for (int i = 0; i < 50; ++i) toggles += std::string("\xFF\xFB\x2A\xFF\xFC\x2A", 6);
    while (!stop) {
      Send(fd, toggles);
      ReadSome(fd);
    }
  };
  const auto refusing = [](int fd, const std::atomic<bool>& stop) {
    Send(fd, "\xFF\xFE\x2C");
    while (!stop) ReadSome(fd);
  };
  struct Row {
    const char* scheme;
    Peer::Script script;
    const char* why;  // in the call's error
  } rows[] = {
      {"tcp", silent, "no answer to the probe within 1000 ms"},
      {"rfc2217", silent, "the server did not take the COM-PORT-OPTION within"},
      {"rfc2217", endless, "the server does not stop negotiating"},
      {"rfc2217", refusing, "the server refuses the COM-PORT-OPTION"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.scheme) + ": " + row.why);
    Peer peer(row.script);
    nev::NEV nev(dir.str());
    const auto start = Clock::now();
    EXPECT_FALSE(nev.InitConnection(peer.Url(row.scheme), 9600));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    ASSERT_TRUE(nev.LastCall().error);
    EXPECT_NE(nev.LastCall().error->description.find(row.why), std::string::npos)
        << nev.LastCall().error->description;
    EXPECT_FALSE(nev.Connected());
    EXPECT_EQ(messages.Take().size(), 1u);
  }
  // Nobody listening: refused at once; a name that does not resolve (or not in time) says so.
  const struct {
    std::string port;
    const char* why;
  } unreachable[] = {
      {"tcp://127.0.0.1:" + std::to_string(nevtest::FreePort()), "connection refused"},
      {"rfc2217://no-such-host.invalid:4001", "the name no-such-host.invalid"},
  };
  for (const auto& row : unreachable) {
    nev::NEV nev(dir.str());
    const auto start = Clock::now();
    EXPECT_FALSE(nev.InitConnection(row.port, 9600));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    ASSERT_TRUE(nev.LastCall().error);
    EXPECT_NE(nev.LastCall().error->description.find(row.why), std::string::npos)
        << nev.LastCall().error->description;
    messages.Take();
  }
}

// A peer that closes after half a reply frame: the call ends at once, as a port error.
TEST_F(HostilePeer, CloseAfterHalfAFrameIsAPortErrorAtOnce) {
  Peer peer([](int fd, const std::atomic<bool>& stop) {
    while (!stop && ReadSome(fd).empty()) {
    }
    Send(fd, "\x15");  // the probe's NAK
    while (!stop && ReadSome(fd).empty()) {
    }
    Send(fd, "\x02\x2B\x21\xA1\x30\x30");
  });
  nev::NEV nev(dir.str());
  ASSERT_TRUE(nev.InitConnection(peer.Url("tcp"), 9600));
  EXPECT_EQ(nev.GetStatus(), -33);
  // A port error (the connection ended), not the reply time-out.
  EXPECT_EQ(nev.LastCall().outcome, nev::Outcome::kPortError);
  EXPECT_EQ(messages.Take(), std::vector<std::string>{"COM Port Error!"});
}

// IAC commands, a notification and a negotiation in the middle of every reply frame are taken
// out: the device's answers arrive whole.
TEST_F(HostilePeer, TelnetCommandsInsideReplyFramesAreTakenOut) {
  nevsim::Simulator sim;
  sim.Start();
  const std::string device = sim.SlavePath();
  Peer peer([device](int fd, const std::atomic<bool>& stop) { TelnetRelay(fd, stop, device); });
  nev::NEV nev(dir.str());
  ASSERT_TRUE(nev.InitConnection(peer.Url("rfc2217"), 9600));
  EXPECT_EQ(nev.GetStatus(), 0);
  EXPECT_EQ(nev.LastCall().outcome, nev::Outcome::kAnswered);
  EXPECT_FALSE(nev.ECRInfo().empty());
  EXPECT_TRUE(messages.Take().empty());
}

}  // namespace
