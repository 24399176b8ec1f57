// One nevctl run: the NEV object, the line it talks on (a port, or the built-in simulator), the
// message boxes recorded per call, and the output of each call.
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "binding.h"
#include "members.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "nevsim/simulator.h"
#include "output.h"
#include "script.h"

namespace nevctl {

struct Options {
  std::string port;          // a port number or a device path; empty: the built-in simulator
  bool sim_named = false;    // --port sim: the built-in simulator was asked for by name
  bool warn_serial = false;  // without --port, say loudly when this machine has serial ports
  int32_t baud = 9600;
  bool silent = false;  // SilentMode on before the first call
  bool json = false;
  std::string log_dir;      // the folder in which "Logs" is made; empty: beside the executable
  int log_level = -1;       // the log's level 0..4; -1: the driver's default (3)
  bool keep_going = false;  // run: go on after a call that was not accepted
};

// A call ready to be made: the member and its arguments converted to the parameter types, with
// the defaults filled in (also how the call reads in the readable form).
struct PreparedCall {
  const nev::automation::MemberInfo* member = nullptr;
  nev::automation::Binding bound;
};

// Resolves the member and sorts the words into positional and named arguments: a NAME=VALUE word
// whose NAME is one of the member's parameters goes by name; one whose NAME looks like a name
// (ASCII letters, digits and '_', a letter first) but is none of them is refused, naming the
// member's parameters and the nearest one; any other word goes by position. An unknown member is
// refused with the nearest member's name.
// By-reference parameters that are not given start empty. A property name with arguments puts
// the property. Checks the arguments as the call would; throws nev::automation::InvokeError when
// the call cannot be made.
PreparedCall PrepareCall(std::string_view member, const std::vector<Word>& args);

// The record of a call that could not be made.
CallRecord FailedCall(std::string_view member, const nev::RuntimeError& error, int line = 0);

class Session {
 public:
  // Calls are reported on out; notes for the person (the built-in simulator is used, a call
  // that cannot be made) go to err.
  Session(Options options, std::ostream& out, std::ostream& err = std::cerr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the built-in simulator when no port was given, then InitConnection(port, baud, 1, 0,
  // 8) (or the device-path form), reported like any call. Returns its result. Throws
  // std::runtime_error when the simulator cannot start.
  bool Open();
  // StopConnection, reported like any call.
  void Close();

  // Calls a member by name with words as arguments (see PrepareCall). Reports the call and
  // returns its record (failed when it could not be made; then nothing was sent). line is the
  // script line the call came from (0 for none).
  CallRecord Call(std::string_view member, const std::vector<Word>& args, int line = 0);
  // Reports a call that could not be made, without making it.
  void ReportFailure(std::string_view member, const nev::RuntimeError& error, int line = 0);

  // Whether calls are written to the output (on by default).
  void SetReporting(bool on) { reporting_ = on; }
  // Called after each call, whether or not it is written.
  void SetOnCall(std::function<void(const CallRecord&)> on_call) { on_call_ = std::move(on_call); }

  // The built-in simulator, or nullptr when a port was given.
  nevsim::Simulator* simulator() { return simulator_.get(); }
  nev::NEV& nev() { return *nev_; }
  const Options& options() const { return options_; }

 private:
  void Report(const CallRecord& call);
  std::vector<nev::RecordingSink::Message> TakeMessages();

  Options options_;
  std::ostream& out_;
  std::ostream& err_;
  bool reporting_ = true;
  std::function<void(const CallRecord&)> on_call_;
  std::shared_ptr<nev::RecordingSink> sink_;
  std::shared_ptr<nev::MessageSink> previous_sink_;
  std::unique_ptr<nevsim::Simulator> simulator_;
  std::unique_ptr<nev::NEV> nev_;
  std::optional<nev::StatusFlags> last_flags_;  // the last status a reply of this run carried
};

}  // namespace nevctl
