// The NEV service object: one connection to a fiscal printer or cash register on a serial line.
//
// Create one object, open the line with InitConnection, call one method per device operation,
// and close with StopConnection. Everything runs on the calling thread; the reply waits let the
// thread's events run, so calls may nest (a nested reply wait returns at once, empty).
//
// Results tell the truth: a Boolean command method returns true only when the device's awaited
// answer arrived (a bare ACK, or a reply frame ending in ETX) and did not refuse the command. A
// refusal (a reply frame with the general-error bit, or NAK), a time-out, a port error, no open
// port, or a nested call that found the reply wait busy give false; so does a run-time error
// (bad argument, oversize text), which is reported once by the error handler: a message box, or
// a critical log entry when SilentMode is on. No exception leaves a command method. LastCall()
// tells which of these it was.
// Text queries return an empty text in the same cases; ZDay returns "False" and ZArticles an
// optional holding false; GetStatus returns -33 when the status command got no reply frame.
//
// Texts are UTF-8; on the wire they travel in the device's code page (Windows-1251 by default).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "nev/log.h"
#include "nev/message.h"
#include "nev/outcome.h"

namespace nev {

struct NEVState;
struct NEVAccess;

// How a NEV object is made.
struct NEVOptions {
  // The folder in which the log's "Logs" folder is made; empty: beside the module.
  std::string log_base_folder;
  // Texts that the device's code page cannot carry become "?" instead of being refused with
  // run-time error 5 (for callers that rely on the platform's own lossy conversion).
  bool lossy_text = false;
};

class NEV {
 public:
  NEV();
  // Same, with the log's "Logs" folder made inside log_base_folder instead of beside the module.
  explicit NEV(const std::string& log_base_folder);
  explicit NEV(const NEVOptions& options);
  ~NEV();  // closes a connection still open, then releases the log
  NEV(const NEV&) = delete;
  NEV& operator=(const NEV&) = delete;

  // Error handlers write a critical log entry instead of showing a message box.
  bool SilentMode() const;
  void SilentMode(bool value);

  // Ceiling of one command's whole reply wait in ms, SYNs included: 120000 unless the
  // environment variable NEVCOM_MAX_WAIT_MS says otherwise. A wait that reaches it ends as a
  // time-out. 0 or less puts the default back.
  int32_t MaxWait() const;
  void MaxWait(int32_t ms);
  // Reply time-out in ms: how long a command's answer (or the next SYN) is awaited, 3000 unless
  // set. It is the calling thread's, shared by every object on it; a new object puts 3000 back.
  // A value outside 1..30000 puts 3000 back.
  int32_t ReplyTimeout() const;
  void ReplyTimeout(int32_t ms);

  // Serial link. Port N is the line named by NEVCOM_COM<N> when set (a device path or a network
  // line's text), else /dev/ttyS<N-1>.
  // StopBits, Parity and ByteSize are ignored: the line is always no parity, 8 data, 1 stop.
  bool InitConnection(int32_t Port, int32_t BaudRate, int32_t StopBits, int32_t Parity,
                      int32_t ByteSize);
  // Native overload: opens the port a port text names (nev/port_spec.h): a port number N as
  // above, a device path (a serial device or a pseudo-terminal), or a network serial server
  // (tcp://HOST:PORT raw, rfc2217://HOST:PORT with the line speed set on it). A text that names
  // no port is refused with run-time error 8002 naming it (outcome bad-argument), and nothing is
  // opened. "serial:NUMBER" and "auto" are looked up by a scan (nev/scan.h), BaudRate tried
  // first: the device with that serial number, or the one device found; the connection then runs
  // at the speed that answered. When none (or, for auto, more than one) is found, the result is
  // False with error 8002 saying so, outcome timeout.
  bool InitConnection(const std::string& port, int32_t BaudRate);
  // True when it closed a connection, false when there was none.
  bool StopConnection();
  // True while a connection is open: InitConnection succeeded and neither StopConnection nor a
  // later InitConnection that failed has closed it since.
  bool Connected() const;
  // The device path and the line speed of the open connection (for serial:NUMBER and auto:
  // where the scan found the device); empty and 0 when not connected.
  std::string ConnectedPort() const;
  int32_t ConnectedSpeed() const;

  // Receipts and printed text. Integer arguments outside the device's 16-bit or byte range are
  // refused with run-time error 5 before anything is sent.
  bool OpenFiscNote(const std::string& casher, const std::string& Pass, const std::string& BS = "");
  bool FiscText(const std::string& text);
  bool CloseFiscNote();
  bool VoidAll();
  bool OpenServNote();
  bool ServText(const std::string& text);
  bool CloseServNote();
  bool PaperFeed(int32_t Rows);
  bool OpenDraw();

  // Sales, adjustments and payment. NaN, infinite and too large amounts (from 1e13) are refused
  // with run-time error 5 naming the parameter, before anything is sent.
  bool SellArt(int32_t n, double Q, double P);
  bool SellTaxGroup(const std::string& Name, const std::string& TaxGroup, double Q, double P);
  bool SellDep(int32_t n, double Q, double P);
  void Addition(bool Proportional = true, const std::string& V = "");
  bool SubTotal(double& Total, double& TotalA, double& TotalB, double& TotalC);
  bool Pay(int32_t PayType, double Sum);
  bool AddSum(const std::string& casher, const std::string& Pass, double Sum, int32_t Pay);

  // Reports and journal.
  bool Dublicate();
  bool EJournal();
  std::string ZDay();               // "True", "False", or "" after a run-time error
  std::optional<bool> ZArticles();  // empty after a run-time error
  bool ZDep();
  bool ZCasher();
  void ZDeny();
  void ZAllow();
  std::string GetFirstFMReport(const std::string& s);
  std::string GetNextFMReport();

  // Status and information.
  std::string GetNumberofNotes();
  std::string NoteInfo();
  int32_t GetStatus();  // 0, -99, -22, -11, -88; -33 when no reply frame came
  void SetStatus();
  void SendSerNum(std::string& Num);
  std::string GetTaxRates();
  std::string ECRInfo();

  // Articles and departments.
  std::string GetArticle(int32_t x);
  std::string GetDepartment(int32_t x);
  void SetArticle(const std::string& n, const std::string& Name, const std::string& Price,
                  int32_t TaxG, int32_t Dep, int32_t Pay, int32_t F, const std::string& BC,
                  const std::string& Q);

  // What became of the last member call (see nev/outcome.h).
  const CallRecord& LastCall() const;

  // The object's diagnostics log: level, folder, file name, size limits (see nev/log.h).
  LogSettings& Log();
  // Writes a warning entry to the object's log under the member's name, as the object's own
  // warnings are written (level 2 and above). A log failure is not reported.
  void LogWarning(const std::string& member, const std::string& text);

  // Where this object's message boxes go (nev/message.h), so that a program with several
  // printers knows which one spoke; nullptr puts back the process-wide sink (SetMessageSink).
  // Returns the sink set before. Applies from the next member call.
  std::shared_ptr<MessageSink> SetMessageSink(std::shared_ptr<MessageSink> sink);

 private:
  friend struct NEVAccess;  // the driver's own tests reach the state through it

  std::unique_ptr<NEVState> state_;
};

}  // namespace nev
