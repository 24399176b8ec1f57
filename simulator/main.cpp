// nev-sim: the fiscal device simulator as a program for people and scripts.
#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "nev/version.h"
#include "nevsim/simulator.h"

namespace {

const char kHelp[] = R"(Usage: nev-sim [OPTIONS]

Fiscal device simulator. Creates a pseudo-terminal and serves the device side of the line on it
(or serves a real serial device), answering the driver's frames as the device would. Prints the
path to open (the pty's slave side) as the first line of standard output, then serves until
interrupted (Ctrl-C, SIGTERM).

Line
  --link PATH        make a symbolic link PATH to the pty's slave side (replaced if it is a link;
                     removed on exit), e.g. --link /tmp/fiscal
  --device PATH      serve this serial device instead of creating a pseudo-terminal
  --baud N           line pacing: each byte takes 10 bit times at N baud, both ways (a command is
                     not answered before it could have arrived); 0 = unpaced (default)
  --line-speed N     the device's own line speed (1200 to 115200): when the driver's side of the
                     pty is set to another speed, what it sends is noise to the device, which
                     then answers nothing (as a real UART would); default: any speed
  --serial NUMBER    the serial number ECRInfo reports (1 to 16 digits or letters A-F)
  --trace            print every frame received, in hex with its decoded command, and every
                     answer, to standard error
  --paper FILE|-     write the virtual paper (UTF-8, laid out like a till roll) to FILE, or to
                     standard output with "-"
  --width N          characters per paper line (default 32)
  --z-ms MS          how long a Z report takes (default 2500)
  --syn-ms MS        SYN interval while a Z report runs (default 500)
  --password OP:PW   operator OP (1..16) must give password PW (default: any password)
  --state FILE       the device's memory (fiscal memory, counters, open receipt, paper) is kept
                     in FILE and read back on start: stopping nev-sim (even with kill -9) and
                     starting it again with the same FILE is a power cut of the device. The
                     paper file is then appended to, not replaced
  -h, --help         this text
  --version          print the version and exit

Faults (each stays in force while the simulator runs)
  --silent           answer nothing at all (frames are still recorded, commands not executed)
  --nak CODE         answer command CODE (e.g. 0x8A or 138; 0x4E = the bare "N") with NAK,
                     without executing it; may be repeated
  --garbage BYTES    send these bytes before every answer (C escapes allowed: \xNN, \t)
  --split N:MS       send every answer in pieces of N bytes with MS ms between pieces
  --syn-storm N:MS   send N SYNs, MS ms apart, before every answer
  --delay MS         answer MS ms late (more than 3000 is later than the driver's time-out)
  --paper-out        no paper: status bit 2 set, printing commands refused
  --drop-line        close the pty in the middle of the first answer; the program then ends
  --late MS          once: answer the first command (not the probe) MS ms after the driver's
                     3000 ms time-out, so that the answer arrives when it is no longer awaited
  --hangup-after N   once: after N answers (the probe not counted), cut the next answer in half
                     and hang up the line; 300 ms later a new pty serves on (use --link, whose
                     link then names the new pty)
  --override CODE:DATA  answer command CODE with a reply frame carrying DATA as given (C escapes
                     allowed), also for commands normally answered by ACK; the command still runs
  --status B0,B1,B2  status bytes of every reply frame, in hex (bit 7 is always added)
  --lose-answer CODE[:N]  execute command CODE but drop its answer, N times (default: every
                     time); may be repeated
  --power-cut-after CODE  execute command CODE, then exit at once without answering (with
                     --state the device comes back as it was when started again)
  --paper-lines N    the paper runs out after N more printed lines (status bit 2 set, printing
                     commands refused from then on)

Protocol
  Frames: STX, SEQ, 0x21, CMD, LEN = 0x20 + n, n data bytes, two check characters (0x30 + high
  and 0x30 + low nibble of the byte sum of SEQ..data), ETX. A frame with a wrong length byte,
  header byte, check characters or end byte is answered NAK; so is a frame that stalls for more
  than 500 ms. Bytes between frames other than STX and "N" (such as the ACK the driver writes
  after each answer) are ignored. The probe (command 0xFF) and unknown commands get NAK.
  Reply frame: STX, SEQ echoed, 0x21, CMD (0x4E for "N"), 0x20 + m, m data bytes, status bytes
  0, 1, 2, two check characters over SEQ..status, ETX. Header, length, status and check bytes
  never equal ETX, ACK, NAK or SYN; reply data never holds a byte below 0x20 other than TAB.
  Texts are Windows-1251. Numbers in replies use "." and two decimals (quantities three).
  Status byte 0: bit 0 general error (this command was refused), bit 2 no paper, bit 3 fiscal
  receipt open, bit 4 service receipt open. Status byte 1: bit 0 Z reports denied, bit 1 payment
  begun, bit 2 fiscal-memory report in progress. Bit 7 is set in every status byte.

Refusals
  A command refused because of the device's state or bad data changes nothing. If it is a
  command answered by ACK it gets NAK; if it is answered by a reply frame it gets a reply frame
  with empty data and the general-error bit (status byte 0, bit 0) set. Refused, among others:
  a sale, text, adjustment or void with no fiscal receipt open (NAK); a sale or adjustment after
  the payment began (NAK); closing an unpaid receipt (general error); opening a receipt while
  one is open (general error); paying with nothing sold or once fully paid (general error);
  service text with no service receipt open (NAK); a Z report while a receipt is open or Z
  reports are denied (NAK for 0x9A-0x9C, general error for 0x99); the journal or the
  fiscal-memory report while a receipt is open (general error); a bare "N" with no report
  running (empty frame, general error); a duplicate with no closed receipt or a second
  duplicate (NAK); printing with no paper (paper feed, texts, sales, receipts, reports).

Commands (code: data sent -> answer)
  0x80 OpenServNote  ""                      -> frame "receipt number"
  0x81 CloseServNote ""                      -> frame "receipt number"
  0x82 ServText      text TAB                -> ACK
  0x83 OpenFiscNote  NN password TAB [I buyer TAB] -> frame "receipt number"
                     (operators 01..16; "I" prints an invoice for the buyer's id)
  0x84 CloseFiscNote ""                      -> frame "receipt number TAB total"
  0x85 FiscText      text TAB                -> ACK
  0x86 SellTaxGroup  name TAB group TAB Q TAB P TAB -> ACK (group A, B, C or Cyrillic А, Б, В)
  0x87 SellArt       n TAB Q TAB P TAB       -> ACK (P 0 sells at the programmed price)
  0x88 SellDep       n TAB Q TAB P TAB       -> ACK (the department's tax group)
       Amounts take "." or ","; quantity x price is rounded to cents. A group total may not
       fall below zero.
  0x89 Addition      P value TAB | S value TAB -> ACK. "P" value: percent of the subtotal
                     (e.g. "P-10" is a 10% discount, "P5" a 5% surcharge), applied to every
                     group; "S" value: a sum of money (e.g. "S-1.50"), spread over the groups in
                     proportion to their totals. A value ending in "%" is a percent either way.
  0x8A SubTotal      ""                      -> frame "total TAB A TAB B TAB C"
  0x8B Pay           PP [amount TAB]         -> frame "still due TAB change"
                     (PP 01 cash, 02 card, 03 cheque, 04 voucher; no amount pays what is due;
                     change only for cash)
  0x8C VoidAll       ""                      -> ACK
  0x8D AddSum        NN password TAB PP amount TAB -> frame "drawer amount of that type"
                     (negative amount takes money out; no receipt may be open)
  0x8E OpenDraw      ""                      -> ACK
  0x8F PaperFeed     rows (0..99)            -> ACK
  0x90 Dublicate     ""                      -> ACK (one copy of the last fiscal receipt)
  0x91 EJournal      ""                      -> frame "receipts in the journal"
  0x92 GetNumberofNotes ""                   -> frame "last receipt number TAB fiscal TAB
                                                service TAB voided" (counts since the last Z)
  0x93 NoteInfo      ""                      -> frame "receipt number TAB lines TAB total TAB
                                                paid" (open receipt, else the last one)
  0x99 ZDay          ""                      -> SYNs, then frame "Z number TAB total TAB A TAB
                                                B TAB C"; resets the day's totals and counters
  0x9A ZArticles, 0x9B ZDep, 0x9C ZCasher ""  -> SYNs, then ACK; reset their own sales
  0x29 ZDeny "1", ZAllow "0"                  -> ACK
  0x54 GetFirstFMReport  s                    -> frame: first piece. s is empty (all) or one or
                     two Z numbers separated by anything but digits. Each bare "N" gets the next
                     piece; after the last one a frame with empty data ends the report.
                     Pieces: "Znnnn TAB dd.mm.yyyy TAB total TAB A TAB B TAB C", the last one
                     "SUM TAB total TAB A TAB B TAB C".
  0x72 GetTaxRates   ""                      -> frame "20.00 TAB 9.00 TAB 0.00" (A, B, C in %)
  0xA0 ECRInfo       ""                      -> frame "NEV-SIM TAB serial TAB 1.00 TAB last Z"
  0xA1 GetStatus     ""                      -> frame with empty data (status bytes)
  0xA2 SendSerNum    digit-nibble characters (1..16) -> ACK; sets the serial number
  0x27 SetArticle    n TAB name TAB price TAB G D P F barcode TAB Q TAB -> ACK
                     (n 1..9999; G "1".."3" = A..C; D "0" none or a department; name 1..32)
  0x77 GetArticle    "R" blank-or-"-" n TAB  -> frame "n TAB name TAB price TAB group TAB dep
                                                TAB barcode TAB stock TAB sold qty TAB sold sum"
  0x76 GetDepartment two digit-nibble chars  -> frame "n TAB name TAB group TAB sold qty TAB
                                                sold sum"
  Seeded: departments 1 Храни (B), 2 Напитки (A), 3 Услуги (A), 4 Без ДДС (C); articles
  1 Хляб 1.20, 2 Мляко 2.35, 3 Кафе 1.80, 4 Вода 0.5 л 0.90, 5 Bread 1.10, 10 Услуга 15.00;
  Z reports 1 to 3 in the fiscal memory.
)";

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr, "nev-sim: %s (see --help)\n", why.c_str());
  std::exit(2);
}

int Number(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end || errno || v < -1000000000 || v > 1000000000)
    Usage(std::string("bad number for ") + what + ": " + text);
  return static_cast<int>(v);
}

std::pair<int, int> Pair(const std::string& text, const char* what) {
  auto colon = text.find(':');
  if (colon == std::string::npos) Usage(std::string(what) + " takes N:MS");
  return {Number(text.substr(0, colon), what), Number(text.substr(colon + 1), what)};
}

// C escapes: \xNN, \t, \r, \n, \\.
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 't') {
      out += '\t';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 'x' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  nevsim::Options opt;
  struct Fault {
    std::string name, value;
  };
  std::vector<Fault> faults;
  std::vector<std::pair<int, std::string>> passwords;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("nev-sim %s\n", nev::kVersion);
      return 0;
    } else if (a == "--link") {
      opt.link_path = value();
    } else if (a == "--device") {
      opt.device = value();
    } else if (a == "--baud") {
      opt.baud = Number(value(), "--baud");
      if (opt.baud < 0) Usage("--baud must not be negative");
    } else if (a == "--line-speed") {
      opt.line_speed = Number(value(), "--line-speed");
      if (opt.line_speed != 0 && opt.line_speed != 1200 && opt.line_speed != 2400 &&
          opt.line_speed != 4800 && opt.line_speed != 9600 && opt.line_speed != 19200 &&
          opt.line_speed != 38400 && opt.line_speed != 57600 && opt.line_speed != 115200)
        Usage("--line-speed takes 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200");
    } else if (a == "--serial") {
      opt.serial = value();
      if (opt.serial.empty() || opt.serial.size() > 16 ||
          opt.serial.find_first_not_of("0123456789ABCDEF") != std::string::npos)
        Usage("--serial takes 1 to 16 digits or letters A-F");
    } else if (a == "--trace") {
      opt.trace = true;
    } else if (a == "--paper") {
      std::string p = value();
      if (p == "-")
        opt.paper_to_stdout = true;
      else
        opt.paper_path = p;
    } else if (a == "--width") {
      opt.paper_width = Number(value(), "--width");
    } else if (a == "--z-ms") {
      opt.long_op_ms = Number(value(), "--z-ms");
    } else if (a == "--syn-ms") {
      opt.syn_interval_ms = Number(value(), "--syn-ms");
    } else if (a == "--state") {
      opt.state_path = value();
    } else if (a == "--paper-lines") {
      opt.paper_lines = Number(value(), "--paper-lines");
      if (opt.paper_lines < 0) Usage("--paper-lines must not be negative");
    } else if (a == "--lose-answer" || a == "--power-cut-after") {
      faults.push_back({a, value()});
    } else if (a == "--password") {
      std::string v = value();
      auto colon = v.find(':');
      if (colon == std::string::npos) Usage("--password takes OP:PW");
      passwords.push_back({Number(v.substr(0, colon), "--password"), v.substr(colon + 1)});
    } else if (a == "--silent" || a == "--paper-out" || a == "--drop-line") {
      faults.push_back({a, ""});
    } else if (a == "--nak" || a == "--garbage" || a == "--split" || a == "--syn-storm" ||
               a == "--delay" || a == "--override" || a == "--status" || a == "--late" ||
               a == "--hangup-after") {
      faults.push_back({a, value()});
    } else {
      Usage("unknown option " + a);
    }
  }

  // Signals are taken by the main thread only; the serving thread inherits the blocked mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  opt.exit_on_power_cut = true;
  std::unique_ptr<nevsim::Simulator> made;
  try {
    made = std::make_unique<nevsim::Simulator>(opt);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nev-sim: %s\n", e.what());
    return 1;
  }
  nevsim::Simulator& sim = *made;
  for (const auto& [op, pw] : passwords) sim.SetOperatorPassword(op, pw);
  for (const Fault& f : faults) {
    if (f.name == "--silent") {
      sim.SetSilent(true);
    } else if (f.name == "--paper-out") {
      sim.SetPaperOut(true);
    } else if (f.name == "--drop-line") {
      sim.DropLineMidReply();
    } else if (f.name == "--nak") {
      sim.NakCommand(Number(f.value, "--nak"));
    } else if (f.name == "--garbage") {
      sim.GarbageBeforeReplies(Unescape(f.value));
    } else if (f.name == "--split") {
      auto [n, ms] = Pair(f.value, "--split");
      sim.SplitReplies(n, ms);
    } else if (f.name == "--syn-storm") {
      auto [n, ms] = Pair(f.value, "--syn-storm");
      sim.SynStorm(n, ms);
    } else if (f.name == "--late") {
      sim.AnswerLateOnce(Number(f.value, "--late"));
    } else if (f.name == "--hangup-after") {
      sim.HangUpAfter(Number(f.value, "--hangup-after"));
    } else if (f.name == "--delay") {
      sim.DelayReplies(Number(f.value, "--delay"));
    } else if (f.name == "--override") {
      auto colon = f.value.find(':');
      if (colon == std::string::npos) Usage("--override takes CODE:DATA");
      sim.OverrideReply(Number(f.value.substr(0, colon), "--override"),
                        Unescape(f.value.substr(colon + 1)));
    } else if (f.name == "--lose-answer") {
      const auto colon = f.value.find(':');
      const int times =
          colon == std::string::npos ? -1 : Number(f.value.substr(colon + 1), "--lose-answer");
      if (colon != std::string::npos && times < 1) Usage("--lose-answer N must be 1 or more");
      sim.LoseAnswer(Number(f.value.substr(0, colon), "--lose-answer"), times);
    } else if (f.name == "--power-cut-after") {
      sim.PowerCutAfter(Number(f.value, "--power-cut-after"));
    } else if (f.name == "--status") {
      unsigned b[3];
      if (std::sscanf(f.value.c_str(), "%x,%x,%x", &b[0], &b[1], &b[2]) != 3 || b[0] > 255 ||
          b[1] > 255 || b[2] > 255)
        Usage("--status takes three hex bytes B0,B1,B2");
      sim.ForceStatus(static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                      static_cast<uint8_t>(b[2]));
    }
  }

  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nev-sim: %s\n", e.what());
    return 1;
  }
  std::printf("%s\n", sim.SlavePath().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "nev-sim: serving %s%s%s; Ctrl-C to stop\n", sim.SlavePath().c_str(),
               opt.link_path.empty() ? "" : " as ", opt.link_path.c_str());

  int sig = 0;
  while (!sim.LineDropped()) {
    timespec ts{0, 200 * 1000 * 1000};
    sig = sigtimedwait(&set, nullptr, &ts);
    if (sig > 0) break;
  }
  if (sim.LineDropped()) std::fprintf(stderr, "nev-sim: the line was dropped\n");
  sim.Stop();
  return 0;
}
