// nevctl: drives a fiscal printer (or the built-in simulator) member by member from the shell.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "binding.h"
#include "commands.h"
#include "help.h"
#include "members.h"
#include "nev/port_spec.h"
#include "nev/version.h"
#include "ports.h"
#include "receipt_cmd.h"
#include "scan_cmd.h"
#include "script.h"
#include "session.h"

namespace {

namespace sv = nev::automation;
using nevctl::Word;

constexpr const char* kUsage =
    R"(usage: nevctl [--port N|PATH|sim] [--baud RATE] [--silent] [--json] [--log-dir DIR]
              [--log-level N] [--keep-going] COMMAND
  call MEMBER [ARG ...]   one member call
  run [--keep-going] FILE|-
                          a script: one call per line, "MEMBER ARG ARG NAME=VALUE", '#' comments,
                          shell-like quoting ("a b", 'a b', \t for TAB); stops at the first call
                          the device did not accept, unless --keep-going is given
  demo                    a whole receipt, step by step, then the virtual paper
  members                 the member table: DISPID, kind, name, parameters and defaults
  help MEMBER             a member's signature and documentation
  ports                   the serial ports this machine has
  scan [--ports LIST] [--speeds LIST] [--deny LIST] [--timeout MS] [--json]
                          which ports have a device behind it, at what speed, with which serial
                          number: only the probe and the information command are sent, never
                          to a port another process holds (LIST: comma-separated; ports may be
                          patterns such as /dev/ttyUSB*); exit 0 when a device was found, else 1
  receipt FILE.json [--journal PATH]  a receipt document as one transaction (receipt --help)
  journal [--journal PATH]            the receipt journal's rows
  journal accept [--journal PATH]     the journal accounts for all the device has printed
  void-open [--journal PATH]          void a receipt left open that no journal row opened
  doctor [--bundle FILE.tar] [--journal PATH]
                          checks the printer's line step by step, a verdict per line, and writes
                          a support bundle (doctor --help)
  fm-report [S]           the whole fiscal-memory report: GetFirstFMReport(S), then
                          GetNextFMReport until an empty piece; progress on standard error

options:
  --port N|PATH|sim  port number N from 1 to 32767 (the device named by NEVCOM_COM<N>, else
                  /dev/ttyS<N-1>), a device path, tcp://HOST:PORT or rfc2217://HOST:PORT (a
                  serial server on the network), serial:NUMBER or auto (the device a scan finds),
                  or sim: the built-in simulator on a pseudo-terminal. Without --port the
                  simulator runs too (a line on standard error says so, loudly when this machine
                  has serial ports); its results are marked "[simulator]" and "simulated": true
  --baud RATE     line speed (default 9600)
  --silent        SilentMode on: run-time errors go to the log instead of a message box
  --json          one JSON object per call on standard output: {"member", "result", "out",
                  "messages", "ok" (the device accepted), "outcome" (answered, refused, nak,
                  timeout, port-error, busy, no-connection, bad-argument), "reply" (the reply
                  data or null), "status" ({"bytes": [b0, b1, b2], "flags": {...}} or null),
                  "error" ({"number", "description", and for the line "port", "speed",
                  "remedy"} or null), "line" (script line or null), "flags" (the status flags
                  in words: ["no paper", ...]), "cause" (why a NAK came, where the last status
                  said), "simulated" (true on the built-in simulator)}
  --log-dir DIR   an existing folder in which the log's "Logs" folder is made (default: beside
                  nevctl)
  --log-level N   the log's level: 0 nothing, 1 failed calls in silent mode, 2 and device
                  warnings, 3 and progress notes (default), 4 and every frame and outcome
  --keep-going    run: go on after a call that was not accepted
  --version       print the version and exit

Arguments are converted to the member's parameter types: numbers in C form ("2.5"), Booleans as
true/false/-1/0. NAME=VALUE passes a parameter by name (NAME is one of the member's parameter
names, in any case; another name is an error, so a text holding '=' goes by name: text=a=b);
anything else is positional. By-reference parameters (SubTotal's totals, SendSerNum's Num) may be
left out; they start empty and their values after the call are shown. Message boxes are recorded
and reported with the call that showed them; nothing waits for a person. call and run open the
line with InitConnection(port, baud, 1, 0, 8) and close it with StopConnection; a stop leaves
the device as it is (an open receipt stays open).
Exit status:
  0  every call was made and the device accepted it
  1  InitConnection returned False (no device answered)
  2  a usage error, or a call that cannot be made (unknown member or parameter, an argument that
     does not convert or is out of range, a text the driver refuses): every call of a script is
     checked before the line is opened, and then nothing is sent at all
  3  a call was refused by the device or got no answer (or the output could not be written: then
     no further call is made and the line is closed)
)";

constexpr int kInitFailed = 1;
constexpr int kUsageError = 2;
constexpr int kNotAccepted = 3;
// The exit status when standard output fails.
constexpr int kOutputFailed = 3;

// A word of the command line as a message shows it: quoted, control characters escaped, cut.
std::string Quoted(const std::string& text) {
  constexpr std::size_t kMax = 60;
  std::string shown = nevctl::ReadableValue(text.substr(0, kMax));
  if (text.size() > kMax) shown += "...";
  return shown;
}

int Usage(const std::string& problem) {
  std::cerr << "nevctl: " << problem << "\n\n" << kUsage;
  return 2;
}

// A whole number of plain decimal digits (no sign, blank or exponent) that fits in an int32_t.
bool ParseWhole(const std::string& text, int32_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// What is wrong with a --port value, or "" when it names a port (nev/port_spec.h).
std::string PortProblem(const std::string& text) {
  if (text.empty()) return "--port needs a number or a device path";
  try {
    nev::PortSpec::Parse(text);
    return "";
  } catch (const nev::PortSpecError& e) {
    return "--port " + Quoted(text) + ": " + e.reason();
  }
}

// Runs calls between InitConnection and StopConnection. Each entry is a member name and its
// argument words; line numbers name script lines in messages (0 for the command line).
struct Line {
  int number = 0;
  std::vector<Word> words;
};

// The exit status a call that was not accepted gives.
int FailureCode(const nevctl::CallRecord& call) {
  return call.failed || call.outcome == nev::Outcome::kBadArgument ? kUsageError : kNotAccepted;
}

int RunCalls(nevctl::Session& session, const std::vector<Line>& lines) {
  // Every call is checked before the line is opened, so a mistake anywhere sends nothing.
  for (const Line& line : lines) {
    const std::vector<Word> args(line.words.begin() + 1, line.words.end());
    try {
      nevctl::PrepareCall(line.words[0].text, args);
    } catch (const nev::RuntimeError& e) {
      session.ReportFailure(line.words[0].text, e, line.number);
      return kUsageError;
    }
  }
  if (!session.Open()) return kInitFailed;
  const bool keep_going = session.options().keep_going;
  int code = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    const std::vector<Word> args(line.words.begin() + 1, line.words.end());
    const nevctl::CallRecord call = session.Call(line.words[0].text, args, line.number);
    // Nobody reads what the calls did any more: make no further call.
    if (!nevctl::Delivered(std::cout)) {
      std::cerr << nevctl::kOutputFailedNote;
      code = kOutputFailed;
      break;
    }
    if (call.ok()) continue;
    if (code == 0) code = FailureCode(call);
    // The call's report shows why; this says what becomes of the rest of the script.
    if (i + 1 == lines.size()) break;
    std::cerr << "nevctl: line " << line.number << ": " << call.member << " was not accepted ("
              << nevctl::OutcomeText(call.outcome) << ")";
    if (keep_going) {
      std::cerr << "; going on (--keep-going)\n";
      continue;
    }
    std::cerr << "; the lines after it are not run and the device is left as it is (--keep-going"
                 " runs them)\n";
    break;
  }
  session.Close();
  return code;
}

int ReadScript(const std::string& file, std::vector<Line>& lines) {
  std::ifstream in_file;
  std::istream* in = &std::cin;
  if (file != "-") {
    in_file.open(file, std::ios::binary);
    if (!in_file) {
      std::cerr << "nevctl: cannot read " << file << ": " << std::strerror(errno) << "\n";
      return kUsageError;
    }
    in = &in_file;
  }
  std::string text;
  int number = 0;
  while (std::getline(*in, text)) {
    ++number;
    if (number == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    try {
      std::vector<Word> words = nevctl::SplitLine(text);
      if (!words.empty()) lines.push_back({number, std::move(words)});
    } catch (const nevctl::ScriptError& e) {
      std::cerr << "nevctl: " << (file == "-" ? "standard input" : file) << " line " << number
                << ": " << e.what() << "\n";
      return kUsageError;
    }
  }
  return 0;
}

std::string ParamText(const sv::ParamInfo& p) {
  std::string text;
  if (p.optional) text += "[";
  text += p.by_ref ? "ByRef " : "";
  text += std::string(sv::TypeName(p.type)) + " " + std::string(p.name);
  if (p.optional) {
    text += " = ";
    text += p.type == sv::VarType::String ? "\"" + std::string(p.default_value) + "\""
                                          : std::string(p.default_value);
    text += "]";
  }
  return text;
}

int ListMembers(bool json) {
  for (const sv::MemberInfo& m : sv::Members()) {
    char dispid[16];
    std::snprintf(dispid, sizeof dispid, "0x%08X", static_cast<unsigned>(m.dispid));
    if (json) {
      std::string line =
          "{\"dispid\": \"" + std::string(dispid) +
          "\", \"kind\": " + nevctl::JsonString(sv::KindName(m.kind)) +
          ", \"name\": " + nevctl::JsonString(m.name) + ", \"result\": " +
          (m.result == sv::VarType::None ? std::string("null")
                                         : nevctl::JsonString(sv::TypeName(m.result))) +
          ", \"params\": [";
      for (std::size_t i = 0; i < m.params.size(); ++i) {
        const sv::ParamInfo& p = m.params[i];
        if (i) line += ", ";
        line += "{\"name\": " + nevctl::JsonString(p.name) +
                ", \"type\": " + nevctl::JsonString(sv::TypeName(p.type)) +
                ", \"byref\": " + (p.by_ref ? "true" : "false") +
                ", \"optional\": " + (p.optional ? "true" : "false");
        if (p.optional) line += ", \"default\": " + nevctl::JsonString(p.default_value);
        line += "}";
      }
      std::cout << line << "]}\n";
      continue;
    }
    std::string params;
    for (std::size_t i = 0; i < m.params.size(); ++i) {
      if (i) params += ", ";
      params += ParamText(m.params[i]);
    }
    std::string kind(sv::KindName(m.kind));
    kind.resize(13, ' ');
    std::cout << dispid << "  " << kind << m.name << "(" << params << ")";
    if (m.result != sv::VarType::None) std::cout << " As " << sv::TypeName(m.result);
    std::cout << "\n";
  }
  return 0;
}

int ListPorts(bool json) {
  const std::vector<nevctl::PortInfo> ports = nevctl::ListPorts();
  for (const nevctl::PortInfo& p : ports) {
    if (json) {
      std::cout << "{\"port\": " << (p.number > 0 ? std::to_string(p.number) : "null")
                << ", \"path\": " << nevctl::JsonString(p.path)
                << ", \"origin\": " << (p.origin.empty() ? "null" : nevctl::JsonString(p.origin))
                << "}\n";
      continue;
    }
    std::string number = p.number > 0 ? "--port " + std::to_string(p.number) : "--port " + p.path;
    number.resize(std::max<std::size_t>(number.size(), 14), ' ');
    std::cout << number << "  " << p.path;
    if (!p.origin.empty()) std::cout << "  (" << p.origin << ")";
    std::cout << "\n";
  }
  if (ports.empty() && !json) std::cout << "no serial ports found\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed output pipe must not kill the process inside a call: writes fail instead.
  ::signal(SIGPIPE, SIG_IGN);
  nevctl::Options options;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) break;
    std::string value;
    bool has_value = false;
    if (const auto eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    auto take = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    // A switch takes no value: "--json=no" would otherwise turn JSON output on.
    const bool is_switch = arg == "--help" || arg == "--version" || arg == "--json" ||
                           arg == "--silent" || arg == "--keep-going";
    if (is_switch && has_value) return Usage(arg + " takes no value, not " + Quoted(value));
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "nevctl " << nev::kVersion << "\n";
      return 0;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--port") {
      if (!take()) return Usage("--port needs a number or a device path");
      if (value == "sim") {
        options.port.clear();
        options.sim_named = true;
        continue;
      }
      if (const std::string problem = PortProblem(value); !problem.empty()) return Usage(problem);
      options.port = value;
      options.sim_named = false;
    } else if (arg == "--baud") {
      if (!take()) return Usage("--baud needs a positive rate");
      if (!ParseWhole(value, options.baud) || options.baud <= 0) {
        return Usage("--baud " + Quoted(value) +
                     ": not a line speed (a whole number of bits per second, such as 9600)");
      }
    } else if (arg == "--log-dir") {
      if (!take() || value.empty()) return Usage("--log-dir needs a folder");
      std::error_code ec;
      if (!std::filesystem::is_directory(value, ec)) {
        return Usage("--log-dir " + Quoted(value) + " is not an existing folder");
      }
      options.log_dir = value;
    } else if (arg == "--log-level") {
      if (!take()) return Usage("--log-level needs a level from 0 to 4");
      if (value.size() != 1 || value[0] < '0' || value[0] > '4') {
        return Usage("--log-level needs a level from 0 to 4, not " + Quoted(value));
      }
      options.log_level = value[0] - '0';
    } else if (arg == "--keep-going") {
      options.keep_going = true;
    } else {
      return Usage("unknown option " + Quoted(arg));
    }
  }
  if (i >= argc) return Usage("no command");
  const std::string command = argv[i++];
  std::vector<std::string> rest(argv + i, argv + argc);

  if (command == "help") {
    if (rest.empty()) {
      std::cout << kUsage;
      return 0;
    }
    if (rest.size() != 1) return Usage("help takes one member name");
    return nevctl::Help(rest[0], std::cout, std::cerr);
  }
  if (command == "members") {
    if (!rest.empty()) return Usage("members takes no arguments");
    return ListMembers(options.json);
  }
  if (command == "ports") {
    if (!rest.empty()) return Usage("ports takes no arguments");
    return ListPorts(options.json);
  }

  if (command == "scan") return nevctl::RunScan(rest, options.json, std::cout, std::cerr);
  // Without --port these print on the built-in simulator: say so loudly where real ports exist.
  options.warn_serial = command == "call" || command == "run" || command == "receipt";
  if (command == "doctor") return nevctl::RunDoctor(options, rest, std::cout, std::cerr);

  if (nevctl::IsReceiptCommand(command))
    return nevctl::RunReceiptCommand(options, command, rest, std::cout, std::cerr);

  std::vector<Line> lines;
  if (command == "call") {
    if (rest.empty()) return Usage("call needs a member name");
    Line line;
    for (std::string& word : rest) line.words.push_back(Word::FromArgument(std::move(word)));
    lines.push_back(std::move(line));
  } else if (command == "run") {
    if (!rest.empty() && rest[0] == "--keep-going") {
      options.keep_going = true;
      rest.erase(rest.begin());
    }
    for (const std::string& word : rest) {
      if (word.rfind("--", 0) == 0) return Usage("run: unknown option " + Quoted(word));
    }
    if (rest.size() != 1) return Usage("run needs one script file, or - for standard input");
    if (const int code = ReadScript(rest[0], lines); code != 0) return code;
  } else if (command != "demo" && command != "fm-report") {
    return Usage("unknown command " + Quoted(command));
  }
  if (command == "demo" && !rest.empty()) return Usage("demo takes no arguments");
  if (command == "fm-report" && rest.size() > 1)
    return Usage("fm-report takes at most one argument");
  // The report's range is sent as it is: an option put after the command must not become one.
  if (command == "fm-report" && !rest.empty() && rest[0].rfind("--", 0) == 0)
    return Usage("fm-report: unknown option " + Quoted(rest[0]) +
                 " (options go before the command)");

  try {
    nevctl::Session session(options, std::cout);
    int code = 0;
    if (command == "demo") {
      code = nevctl::RunDemo(session, std::cout, std::cerr);
    } else if (command == "fm-report") {
      code = nevctl::RunFmReport(session, rest.empty() ? std::string() : rest[0], std::cout,
                                 std::cerr);
    } else {
      code = RunCalls(session, lines);
    }
    return code == 0 && !nevctl::Delivered(std::cout) ? kOutputFailed : code;
  } catch (const std::exception& e) {
    std::cerr << "nevctl: " << e.what() << "\n";
    return 1;
  }
}
