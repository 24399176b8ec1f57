// The fiscal device simulator: the device side of the line, served on a pseudo-terminal (or a
// real serial device). Everything it receives is recorded; faults can be injected at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nevsim {

struct Options {
  int baud = 0;            // line pacing: 10 bit times per byte; 0 = unpaced
  std::string device;      // serve this serial device instead of creating a pseudo-terminal
  std::string link_path;   // make a symlink to the pty's slave side here
  std::string paper_path;  // virtual paper file (UTF-8); empty = kept in memory only
  bool paper_to_stdout = false;
  bool trace = false;         // print each frame in hex with its decoded command (stderr)
  int long_op_ms = 2500;      // how long a Z report takes
  int syn_interval_ms = 500;  // SYN keep-alive interval while a Z report runs
  int paper_width = 32;       // characters per line of the virtual paper
  int frame_gap_ms = 500;     // a frame that stalls this long is given up (answered NAK)
  // The device's memory: the commands that changed it, replayed when the simulator starts, so
  // that stopping and starting it again is a power cut (the paper file is then appended to).
  std::string state_path;
  long paper_lines = -1;           // the paper runs out after this many printed lines
  bool exit_on_power_cut = false;  // a power cut ends the process (nev-sim), else the line
  // The device's own line speed; 0 = any. On a pseudo-terminal whose far side is set to another
  // speed, what arrives is noise to the device (as on a real UART): it answers nothing.
  int line_speed = 0;
  std::string serial;  // the serial number ECRInfo reports; empty = the device's own
};

// One frame (or bare byte) the simulator received, in arrival order.
struct Received {
  std::string raw;      // the bytes as they came (a whole frame, or one bare byte such as "N")
  bool framed = false;  // a well-formed frame (STX ... ETX with a good checksum)
  uint8_t seq = 0;
  uint8_t cmd = 0;   // the command code; for a bare byte, that byte (0x4E for "N")
  std::string data;  // the frame's data bytes (device code page)
};

class Simulator {
 public:
  explicit Simulator(Options options = {});
  ~Simulator();  // stops serving and closes the line
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the line and serves it on a background thread. Throws std::runtime_error on failure.
  void Start();
  void Stop();
  // The path a driver opens: the pty's slave side (or the device served).
  std::string SlavePath() const;

  // Record of what arrived (bare ACKs that the driver writes back are not recorded as frames;
  // they appear in RawInput only).
  std::vector<Received> Frames() const;
  std::string RawInput() const;
  std::string RawOutput() const;  // every byte the simulator wrote to the line
  void ClearRecord();
  // Blocks until at least n frames/bare bytes are recorded or timeout_ms passes.
  bool WaitForFrames(std::size_t n, int timeout_ms) const;

  // Virtual paper printed so far (UTF-8).
  std::string Paper() const;

  // Device state views for tests. The receipt figures are those of the open fiscal receipt, or of
  // the last one closed while none is open (zero after a void or a Z report).
  struct Totals {
    double total = 0, a = 0, b = 0, c = 0;  // current receipt
    double paid = 0;
    bool fiscal_open = false, nonfiscal_open = false;
    int receipts = 0;      // fiscal receipts closed since the last Z report
    double change = 0;     // change given on the current receipt
    double day_total = 0;  // turnover since the last Z report
    double cash = 0;       // cash in the drawer (payment type 01)
    int z_number = 0;      // number of the last Z report
    bool z_denied = false;
  };
  Totals CurrentTotals() const;

  // Fault injection. Each stays in force until cleared with ClearFaults() (which also puts the
  // paper back). Command code 0x4E stands for the bare "N" where a command is named.
  void SetSilent(bool silent);                       // record, but neither answer nor execute
  void NakCommand(int cmd);                          // answer NAK without executing it
  void GarbageBeforeReplies(std::string bytes);      // sent before each answer
  void SplitReplies(int piece_bytes, int pause_ms);  // answers in pieces with pauses between
  void SynStorm(int count, int interval_ms);         // SYNs before each answer
  void DelayReplies(int delay_ms);                   // answer this much later
  void SetPaperOut(bool out);                        // status bit 2; printing refused
  void DropLineMidReply();  // once: write half of the next answer, then close the line
  // Once: the next command's answer comes this long after the driver's 3000 ms time-out.
  void AnswerLateOnce(int ms_after_timeout);
  // Once: after this many more answers, the next one is cut in half, the line hangs up, and
  // 300 ms later a new pseudo-terminal serves on (behind the same link, when there is one).
  void HangUpAfter(int answers);
  // The command still runs, but its answer is a reply frame carrying data exactly as given
  // (control bytes included), also for a command normally answered by ACK.
  void OverrideReply(int cmd, std::string data);
  void ForceStatus(uint8_t b0, uint8_t b1, uint8_t b2);  // status bytes (bit 7 always added)
  // The command runs, but its answer is dropped, `times` times (negative: every time).
  void LoseAnswer(int cmd, int times = -1);
  // The command runs, then the power goes: no answer, the line drops (nev-sim exits).
  void PowerCutAfter(int cmd);
  // The paper runs out after this many more printed lines.
  void PaperRunsOutAfter(long lines);
  void ClearFaults();

  // Operator op (1..16) must give this password (device code page); empty = any password.
  void SetOperatorPassword(int op, std::string password);
  // True once the line was dropped by DropLineMidReply (or the served device went away).
  bool LineDropped() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace nevsim
