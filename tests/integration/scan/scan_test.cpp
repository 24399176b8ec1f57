// The scan over real pseudo-terminals served by simulators at their own line speeds, a silent
// pty, one held by another process, one named like a Bluetooth link and one whose device speaks
// another protocol.
#include "nev/scan.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "protocol/frame.h"
#include "receipt/profile.h"
#include "support/helpers.h"
#include "support/process.h"
#include "support/pty.h"

namespace {

namespace fs = std::filesystem;

std::unique_ptr<nevsim::Simulator> Sim(const fs::path& link, int line_speed,
                                       const std::string& serial = {}) {
  nevsim::Options o;
  o.link_path = link.string();
  o.line_speed = line_speed;
  o.serial = serial;
  auto sim = std::make_unique<nevsim::Simulator>(o);
  sim->Start();
  return sim;
}

// True when the bytes are nothing but probe and information frames and the ACKs after replies.
bool OnlyProbeAndInfo(const std::string& raw) {
  for (std::size_t i = 0; i < raw.size();) {
    if (raw[i] == nev::protocol::ACK) {
      ++i;
      continue;
    }
    const std::size_t end = raw.find(nev::protocol::ETX, i);
    if (raw[i] != nev::protocol::STX || end == std::string::npos || end - i < 4) return false;
    const auto cmd = static_cast<unsigned char>(raw[i + 3]);
    if (cmd != 0xFF && cmd != 0xA0) return false;
    i = end + 1;
  }
  return true;
}

// A process that holds the device open as its standard input, without any lock.
class Holder {
 public:
  explicit Holder(const std::string& device) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, device.c_str(), O_RDWR | O_NOCTTY, 0);
    std::vector<std::string> args{"/bin/sleep", "60"};
    std::vector<char*> argv{args[0].data(), args[1].data(), nullptr};
    posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    const fs::path fd0 = "/proc/" + std::to_string(pid_) + "/fd/0";
    for (int i = 0; i < 500; ++i) {  // until it has the device open
      std::error_code ec;
      if (fs::read_symlink(fd0, ec) == fs::path(device)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Holder() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

TEST(ScanTest, FindsExactlyTheDevicesPresentAndTouchesNothingElse) {
  nevtest::TempDir dir;
  const std::map<std::string, std::pair<int, std::string>> devices{
      {"usbA", {9600, "101"}}, {"usbB", {19200, "202"}}, {"usbC", {115200, "303"}}};
  std::map<std::string, std::unique_ptr<nevsim::Simulator>> sims;
  for (const auto& [name, d] : devices) sims[name] = Sim(dir.path() / name, d.first, d.second);
  sims["held"] = Sim(dir.path() / "held", 0);
  sims["rfcomm0"] = Sim(dir.path() / "rfcomm0", 0);
  sims["other"] = Sim(dir.path() / "other", 0);
  sims["other"]->GarbageBeforeReplies("U");  // another protocol's answer
  Holder holder(sims["held"]->SlavePath());
  nevtest::PtyPair silent;
  fs::create_symlink(silent.slave_path(), dir.path() / "silent");

  // Serial number and model read where the transaction layer's default profile says.
  nev::ScanOptions options = nev::receipt::ScanOptionsFor(nev::receipt::DefaultProfile());
  options.ports = {dir.str() + "/*"};
  options.speeds = {115200, 9600, 19200};
  const nev::ScanResult result = nev::Scan(options);

  std::map<std::string, nev::ScanPort> by_name;
  for (const nev::ScanPort& p : result.ports) by_name[fs::path(p.port).filename()] = p;
  ASSERT_EQ(by_name.size(), 7u);
  for (const auto& [name, d] : devices) {
    const nev::ScanPort& p = by_name[name];
    EXPECT_EQ(nev::ScanStateName(p.state), std::string("found")) << name << ": " << p.detail;
    EXPECT_EQ(p.speed, d.first) << name;
    EXPECT_EQ(p.serial, d.second) << name;
    EXPECT_EQ(p.model, "NEV-SIM") << name;
    EXPECT_TRUE(OnlyProbeAndInfo(sims[name]->RawInput())) << name;
  }
  EXPECT_EQ(result.Found().size(), 3u);
  EXPECT_EQ(by_name["held"].state, nev::ScanState::kBusy);
  EXPECT_NE(by_name["held"].detail.find("(sleep)"), std::string::npos) << by_name["held"].detail;
  EXPECT_EQ(by_name["rfcomm0"].state, nev::ScanState::kSkipped);
  EXPECT_EQ(by_name["silent"].state, nev::ScanState::kSilent);
  EXPECT_EQ(by_name["other"].state, nev::ScanState::kForeign);
  EXPECT_TRUE(OnlyProbeAndInfo(sims["other"]->RawInput()));
  EXPECT_EQ(sims["held"]->RawInput(), "");
  EXPECT_EQ(sims["rfcomm0"]->RawInput(), "");
  ::fcntl(silent.master(), F_SETFL, O_NONBLOCK);
  char buf[4096];
  const ssize_t n = ::read(silent.master(), buf, sizeof buf);
  EXPECT_TRUE(OnlyProbeAndInfo(std::string(buf, n > 0 ? n : 0)));
  EXPECT_FALSE(result.timed_out);
}

// The information command's reply that comes late, while the next speed is tried, answers the
// sequence byte of that earlier command: it identifies nothing at this speed.
TEST(ScanTest, AReplyOwedToTheSpeedBeforeIdentifiesNothing) {
  nevtest::PtyPair pty;
  nevtest::ScriptedPeer peer(pty.master());
  const std::string body =
      std::string("\x21\x21\xA0") + char(0x20 + 11) + "NEV-SIM\t999\x80\x80\x80";
  const std::string late =
      nev::protocol::STX + body + nev::protocol::FrameChecksum(body) + nev::protocol::ETX;
  // At each speed: the probe, its NAK, the information command; at the second speed the reply
  // to the first one's (sequence byte 21) comes.
  const std::string nak(1, nev::protocol::NAK);
  peer.ExpectUntil(0x03).Write(nak).ExpectUntil(0x03);
  peer.ExpectUntil(0x03).Write(nak).ExpectUntil(0x03).Write(late).Start();
  nev::ScanOptions options;
  options.ports = {pty.slave_path()};
  options.speeds = {9600, 19200};
  options.info_timeout_ms = 300;
  const nev::ScanResult result = nev::Scan(options);
  ASSERT_EQ(result.ports.size(), 1u);
  EXPECT_EQ(result.ports[0].state, nev::ScanState::kForeign) << result.ports[0].detail;
}

TEST(ScanTest, EndsWithinItsBoundAndWhenCancelled) {
  nevtest::PtyPair silent;
  nev::ScanOptions options;
  options.ports = {silent.slave_path()};
  options.total_ms = 300;
  nev::ScanResult result = nev::Scan(options);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.ports.at(0).state, nev::ScanState::kUnfinished);

  nev::ScanCancel cancel;
  options.total_ms = 15000;
  options.cancel = &cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel.Cancel();
  });
  result = nev::Scan(options);
  canceller.join();
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.ports.at(0).state, nev::ScanState::kUnfinished);  // not silent at 8 speeds
}

TEST(ScanTest, RefusesHostileOptionsNamingThemBeforeTouchingAnyPort) {
  nevtest::PtyPair pty;
  struct Case {
    const char* field;
    void (*spoil)(nev::ScanOptions&);
  } cases[] = {
      {"speeds", [](nev::ScanOptions& o) { o.speeds = {12345}; }},
      {"ports", [](nev::ScanOptions& o) { o.ports = {"/dev/tty\n"}; }},
      {"ports", [](nev::ScanOptions& o) { o.ports = {std::string(5000, 'x')}; }},
      {"ports", [](nev::ScanOptions& o) { o.ports = {"tcp://127.0.0.1:4001"}; }},
      {"deny", [](nev::ScanOptions& o) { o.deny = {""}; }},
      {"probe_timeout_ms", [](nev::ScanOptions& o) { o.probe_timeout_ms = -1; }},
      {"total_ms", [](nev::ScanOptions& o) { o.total_ms = INT_MAX; }},
      {"parallel", [](nev::ScanOptions& o) { o.parallel = 0; }},
      {"info_serial_field", [](nev::ScanOptions& o) { o.info_serial_field = 0; }},
      {"serial", [](nev::ScanOptions& o) { o.serial = std::string(33, '1'); }},
  };
  for (const Case& c : cases) {
    nev::ScanOptions options;
    c.spoil(options);
    if (options.ports.empty()) options.ports = {pty.slave_path()};
    try {
      nev::Scan(options);
      ADD_FAILURE() << c.field << " was accepted";
    } catch (const nev::RuntimeError& e) {
      EXPECT_EQ(e.number(), nev::kErrInvalidArgument);
      EXPECT_NE(std::string(e.what()).find(std::string("scan ") + c.field), std::string::npos)
          << e.what();
    }
  }
  ::fcntl(pty.master(), F_SETFL, O_NONBLOCK);
  char byte;
  EXPECT_LE(::read(pty.master(), &byte, 1), 0);  // nothing was sent
}

// A printer named by its serial number is found wherever its adapter's name moves to, by the
// driver (InitConnection) and by nevctl.
TEST(ScanTest, SerialNumberFollowsTheDeviceWhenItsNameChanges) {
  nevtest::TempDir dir;
  nevtest::MessageRecorder messages;
  auto wanted = Sim(dir.path() / "usb0", 9600, "4711");
  auto other = Sim(dir.path() / "usb1", 115200, "4712");
  const nevtest::ScopedEnv ports("NEVCOM_SCAN_PORTS", (dir.str() + "/usb*").c_str());

  nev::NEV nev(dir.str());
  nev.SilentMode(true);
  ASSERT_TRUE(nev.InitConnection("serial:4711", 9600));
  EXPECT_EQ(nev.ConnectedPort(), (dir.path() / "usb0").string());
  EXPECT_NE(nev.ECRInfo().find("4711"), std::string::npos);
  nev.StopConnection();

  fs::remove(dir.path() / "usb0");
  fs::create_symlink(wanted->SlavePath(), dir.path() / "usb7");
  ASSERT_TRUE(nev.InitConnection("serial:4711", 9600));
  EXPECT_EQ(nev.ConnectedPort(), (dir.path() / "usb7").string());
  ASSERT_TRUE(nev.InitConnection("serial:4712", 9600));
  EXPECT_EQ(nev.ConnectedSpeed(), 115200);
  {
    // A port number (the COM server's form) named by its serial number.
    const nevtest::ScopedEnv com7("NEVCOM_COM7", "serial:4711");
    ASSERT_TRUE(nev.InitConnection(7, 115200, 1, 0, 8));
    EXPECT_EQ(nev.ConnectedPort(), (dir.path() / "usb7").string());
  }
  nev.StopConnection();

  const struct {
    const char* port;
    const char* why;
  } misses[] = {{"serial:9999", "no device with this serial number found on 2 ports"},
                {"auto", "2 devices found"}};
  for (const auto& m : misses) {
    EXPECT_FALSE(nev.InitConnection(m.port, 9600)) << m.port;
    ASSERT_TRUE(nev.LastCall().error.has_value());
    EXPECT_NE(nev.LastCall().error->description.find(m.why), std::string::npos)
        << nev.LastCall().error->description;
  }
  messages.Take();

#ifdef NEVCTL_PATH
  const std::string out = (dir.path() / "out").string(), err = (dir.path() / "err").string();
  pid_t pid = nevtest::Spawn({NEVCTL_PATH, "--port", "serial:4711", "call", "ECRInfo"}, out, err);
  EXPECT_EQ(nevtest::WaitExit(pid, 60000), 0) << nevtest::ReadFile(err);
  EXPECT_NE(nevtest::ReadFile(out).find("4711"), std::string::npos);
  pid = nevtest::Spawn({NEVCTL_PATH, "scan", "--json", "--speeds", "9600,115200"}, out, err);
  EXPECT_EQ(nevtest::WaitExit(pid, 60000), 0) << nevtest::ReadFile(err);
  EXPECT_NE(nevtest::ReadFile(out).find("\"found\":2"), std::string::npos)
      << nevtest::ReadFile(out);
  // Hostile arguments: a usage error naming the option, and no scan.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--speeds", "9600,nan"},
                                               {"--speeds", "-1"},
                                               {"--ports", ","},
                                               {"--timeout", "99999999999"},
                                               {"--ports", "a\x01b"},
                                               {"--bogus"}}) {
    std::vector<std::string> argv{NEVCTL_PATH, "scan"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid = nevtest::Spawn(argv, out, err);
    EXPECT_EQ(nevtest::WaitExit(pid, 60000), 2) << args[0];
    EXPECT_NE(nevtest::ReadFile(err).find(args[0]), std::string::npos) << nevtest::ReadFile(err);
  }
#endif
}

}  // namespace
