// The fault matrix: each line fault of the simulator and of a scripted peer, against a command
// of each terminator kind (ACK and ETX), over real pseudo-terminals. Every faulted call must end
// within its bound and tell the truth, and the next command must find a clean line.
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "platform/regional.h"
#include "service/access.h"
#include "support/helpers.h"
#include "support/pty.h"

namespace nevtest {
namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

const char kTimeOut[] = "RS232 Time out!";
const char kPortError[] = "COM Port Error!";

long PeakKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Runs one faulted call and checks that it ended within its bound and showed these messages.
template <class Call>
void Faulted(const char* name, MessageRecorder& messages, long bound_ms, const Texts& shown,
             Call&& call) {
  SCOPED_TRACE(name);
  const auto start = Clock::now();
  call();
  EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            bound_ms);
  EXPECT_EQ(messages.Take(), shown);
}

class FaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override { nev::platform::SetDecimalSymbolOverride("."); }
  void TearDown() override { nev::platform::SetDecimalSymbolOverride(std::nullopt); }
  MessageRecorder messages;
  TempDir folder;
};

// The simulator echoes the frame's sequence byte and command code and sends good check
// characters, so the driver learns to discard a stale reply frame.
TEST_F(FaultMatrix, SimulatorFaults) {
  nevsim::Options options;
  options.link_path = (folder.path() / "fiscal").string();
  nevsim::Simulator sim(options);
  sim.Start();
  nev::NEV nev(folder.str());
  ASSERT_TRUE(nev.InitConnection(options.link_path, 115200));
  ASSERT_TRUE(nev.OpenFiscNote("1", ""));
  ASSERT_TRUE(nev.SellTaxGroup("Milk", "B", 1, 2));
  // The clean next command of either kind: its own answer, with the receipt's own totals.
  auto clean = [&](const char* after) {
    SCOPED_TRACE(std::string("after ") + after);
    double total = 0, a = 0, b = 0, c = 0;
    EXPECT_TRUE(nev.SubTotal(total, a, b, c));
    EXPECT_EQ(total, 2.0);
    EXPECT_EQ(b, 2.0);
    EXPECT_TRUE(nev.FiscText("ok"));
    EXPECT_EQ(messages.Take(), Texts{});
  };
  double t = 0, a = 0, b = 0, c = 0;

  // An answer after the time-out is not taken for the next command's (the line settles first).
  sim.AnswerLateOnce(200);
  Faulted("late ETX answer", messages, 3600, {kTimeOut},
          [&] { EXPECT_FALSE(nev.SubTotal(t, a, b, c)); });
  clean("late ETX answer");
  sim.AnswerLateOnce(200);
  Faulted("late ACK answer", messages, 3600, {kTimeOut}, [&] { EXPECT_FALSE(nev.FiscText("x")); });
  clean("late ACK answer");
  // Later than the settling: the stale frame comes inside the next wait and is discarded
  // because it does not echo the next frame.
  sim.AnswerLateOnce(1500);
  Faulted("very late ETX answer", messages, 3600, {kTimeOut},
          [&] { EXPECT_EQ(nev.ECRInfo(), ""); });
  clean("very late ETX answer");

  // Slow pieces: the answer's tail after the time-out is no answer to anything.
  sim.SplitReplies(4, 600);
  Faulted("slow pieces", messages, 3600, {kTimeOut}, [&] {
    EXPECT_FALSE(nev.SubTotal(t, a, b, c));
    sim.ClearFaults();
  });
  clean("slow pieces");

  // A line that hangs up mid-reply ends the wait at once; the next command reopens it.
  for (const bool etx : {true, false}) {
    sim.HangUpAfter(0);
    Faulted(etx ? "hang-up mid-reply (ETX)" : "hang-up mid-reply (ACK)", messages, 1000,
            {kPortError},
            [&] { EXPECT_FALSE(etx ? nev.SubTotal(t, a, b, c) : nev.FiscText("x")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the adapter comes back
    clean("hang-up");
  }
  const std::string log = ReadFile(nev.Log().LogFile());
  EXPECT_NE(log.find("\t(w)\tNEV\tExchange\tCOM port lost\r\n"), std::string::npos);
  EXPECT_NE(log.find("\t(i)\tNEV\tExchange\tCOM port reopened\r\n"), std::string::npos);
  nev.VoidAll();
  nev.StopConnection();
}

// A reply frame as a device that fills header and check characters with anything sends it.
std::string Reply(const std::string& data, const std::string& status = "\x80\x80\x80") {
  return std::string("\x02\x7E\x7E\x7E") + static_cast<char>(0x20 + data.size()) + data + status +
         "zz\x03";
}

// A scripted device that echoes nothing: only the settling keeps the exchange in step.
TEST_F(FaultMatrix, ScriptedPeerFaults) {
  PtyPair pty;
  ScriptedPeer peer(pty.master());
  peer.ExpectUntil(0x03).Write("\x15");  // the probe
  // Late answer, then the next command's own.
  peer.ExpectUntil(0x03).Delay(3200).Write(Reply("late"));
  peer.ExpectUntil(0x03).Write(Reply("own1"));
  // SYN for ever (6 s of them) against a 1.5 s ceiling, over two commands: the second one's
  // settling counts against its ceiling too. Then, with the default ceiling, a command waits the
  // storm out and gets its own answer.
  peer.ExpectUntil(0x03);
  for (int i = 0; i < 20; ++i) peer.Write("\x16").Delay(300);
  peer.ExpectUntil(0x03);
  peer.ExpectUntil(0x03).Write(Reply("own2"));
  // STX and a flood of bytes with a SYN every 100 ms, for 3 s.
  peer.ExpectUntil(0x03).Write("\x02");
  for (int i = 0; i < 30; ++i) peer.Write(std::string(16384, 'A') + "\x16").Delay(100);
  peer.ExpectUntil(0x03).Write(Reply("own3"));
  // The same flood for a command answered by ACK, then the next one's own ACK.
  peer.ExpectUntil(0x03).Write("\x02");
  for (int i = 0; i < 30; ++i) peer.Write(std::string(16384, 'A') + "\x16").Delay(100);
  peer.ExpectUntil(0x03).Write("\x06");
  // Frames too short for their layout, alone: no answer, status bytes untouched.
  peer.ExpectUntil(0x03).Write(Bytes("02 03 02 20 21 A1 20 03 02 20 21 A1 1F 81 82 83 30 30 03"));
  peer.ExpectUntil(0x03).Write(Bytes("02 20 21 8A 7F 31 09 32 83 84 85 30 30 03"));
  // A junk STX ETX before the real reply.
  peer.ExpectUntil(0x03).Write(Bytes("02 03") + Reply("own4"));
  // An ACK-kind command answered late, then the next one's own ACK.
  peer.ExpectUntil(0x03).Delay(3200).Write("\x06");
  peer.ExpectUntil(0x03).Write("\x06");
  peer.Start();

  nev::NEV nev(folder.str());
  ASSERT_TRUE(nev.InitConnection(pty.slave_path(), 115200));
  double t = 1, a = 1, b = 1, c = 1;

  // The first command after connecting settles the line first (0.7 s): the bound includes it.
  Faulted("late answer, no echo", messages, 4300, {kTimeOut},
          [&] { EXPECT_EQ(nev.ECRInfo(), ""); });
  EXPECT_EQ(nev.ECRInfo(), "own1");

  nev.MaxWait(1500);
  Faulted("SYN for ever", messages, 1800, {kTimeOut}, [&] { EXPECT_EQ(nev.ECRInfo(), ""); });
  Faulted("SYN for ever, settling first (ACK)", messages, 1800, {kTimeOut},
          [&] { EXPECT_FALSE(nev.OpenDraw()); });
  nev.MaxWait(0);
  EXPECT_EQ(nev.ECRInfo(), "own2");

  nev.MaxWait(2000);
  const long before_kb = PeakKb();
  Faulted("flood", messages, 2300, {kTimeOut}, [&] { EXPECT_EQ(nev.ECRInfo(), ""); });
  EXPECT_LT(PeakKb() - before_kb, 8 * 1024);
  EXPECT_EQ(nev.ECRInfo(), "own3");
  Faulted("flood (ACK)", messages, 2300, {kTimeOut}, [&] { EXPECT_FALSE(nev.OpenDraw()); });
  EXPECT_LT(PeakKb() - before_kb, 8 * 1024);
  EXPECT_TRUE(nev.OpenDraw());
  nev.MaxWait(0);
  EXPECT_EQ(nev.MaxWait(), 120000);

  nev::NEVAccess::State(nev).link.status_bytes = {0x81, 0x82, 0x83, 0};
  Faulted("short frames", messages, 3300, {kTimeOut}, [&] { EXPECT_EQ(nev.GetStatus(), -33); });
  EXPECT_EQ(Hex(std::string(nev::NEVAccess::State(nev).link.status_bytes.begin(),
                            nev::NEVAccess::State(nev).link.status_bytes.end())),
            "81 82 83 00");
  // After a time-out the line settles (1 s of quiet) before the next frame: bounds include it.
  Faulted("length beyond the frame", messages, 4300, {kTimeOut}, [&] {
    EXPECT_FALSE(nev.SubTotal(t, a, b, c));
    EXPECT_EQ(t, 0.0);
  });
  Faulted("junk frame first", messages, 1500, {}, [&] { EXPECT_EQ(nev.ECRInfo(), "own4"); });
  Faulted("late ACK, no echo", messages, 3600, {kTimeOut}, [&] { EXPECT_FALSE(nev.OpenDraw()); });
  EXPECT_TRUE(nev.OpenDraw());
  EXPECT_EQ(messages.Take(), Texts{});
  nev.StopConnection();
}

// The ceiling comes from the environment when the application sets none.
TEST(FaultMatrixCeiling, EnvironmentSetsTheDefault) {
  ScopedEnv env("NEVCOM_MAX_WAIT_MS", "1500");
  TempDir folder;
  nev::NEV nev(folder.str());
  EXPECT_EQ(nev.MaxWait(), 1500);
  nev.MaxWait(700);
  EXPECT_EQ(nev.MaxWait(), 700);
  ScopedEnv bad("NEVCOM_MAX_WAIT_MS", "soon");
  nev.MaxWait(-1);
  EXPECT_EQ(nev.MaxWait(), 120000);
}

}  // namespace
}  // namespace nevtest
