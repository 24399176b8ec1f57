// nevctl doctor: the technician's one command. Checks the printer's line in order (the device
// file, the line speed, the probe, the device's status, the log folder, the journal), prints one
// verdict per check, and writes a support bundle (a tar file) for the support desk.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bundle.h"
#include "commands.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "nev/port_spec.h"
#include "nev/receipt.h"
#include "nev/version.h"
#include "nevsim/simulator.h"
#include "output.h"
#include "ports.h"

extern char** environ;

namespace nevctl {

namespace {

namespace fs = std::filesystem;

constexpr const char* kHelp =
    R"(usage: nevctl [--port N|PATH|sim] [--baud RATE] [--log-dir DIR] [--json] doctor
              [--journal PATH] [--config NEVD.json] [--bundle FILE.tar | --no-bundle]

Without --port it checks this machine's one serial port (when it has several, give --port).
Checks, in order, and prints a verdict per line (ok, warn, FAIL, skip):
  device   the device file: exists, its type, owner, group and mode, who may open it, whether
           this user may, and which program holds it
  speed    the line speed is one this port can use
  probe    the device answers the probe at the speed; when it does not, the other speeds are
           tried (speeds)
  status   the device's status in words (no paper, a receipt open, ...)
  log      the log folder can be written
  journal  the receipt journal (default ./nevctl-receipts.db when it exists): writable, not held
           by another process, not behind the device
Each verdict that is not ok names what to do and the entry of the README's "Troubleshooting".
Then writes a support bundle (default ./nev-support-TIME.tar): the versions, the configuration
without secrets (--config: a nevd configuration, its tokens and passwords hidden), the verdicts,
and the last lines of the log, which holds the level-4 trace of the checks.
Exit status: 0 no check failed, 1 a check failed, 2 a usage error.
)";

enum class Mark { kOk, kWarn, kFail, kSkip };

const char* MarkText(Mark m) {
  switch (m) {
    case Mark::kOk:
      return "ok";
    case Mark::kWarn:
      return "warn";
    case Mark::kFail:
      return "FAIL";
    case Mark::kSkip:
      return "skip";
  }
  return "skip";
}

struct Verdict {
  std::string check;
  Mark mark = Mark::kOk;
  std::string text;
  std::string see;  // the README's troubleshooting entry, when not ok
};

// The device a port text names (a port number through NEVCOM_COM<N>, else /dev/ttyS<N-1>).
std::string DeviceOf(const std::string& port) {
  const nev::PortSpec spec = nev::PortSpec::Parse(port);
  if (spec.kind != nev::PortKind::kNumber) return spec.device;
  const std::string name = "NEVCOM_COM" + std::to_string(spec.number);
  if (const char* mapped = std::getenv(name.c_str()); mapped && *mapped) return mapped;
  return "/dev/ttyS" + std::to_string(spec.number - 1);
}

std::string UserName(uid_t uid) {
  const passwd* p = ::getpwuid(uid);
  return p ? p->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

// Who may read and write the device, from its owner, group and mode.
std::string WhoMayOpen(const struct stat& st) {
  const mode_t rw = S_IRUSR | S_IWUSR, grw = S_IRGRP | S_IWGRP, orw = S_IROTH | S_IWOTH;
  if ((st.st_mode & orw) == orw) return "everyone";
  std::string who = "root";
  if ((st.st_mode & rw) == rw && st.st_uid != 0)
    who += ", the user \"" + UserName(st.st_uid) + "\"";
  if ((st.st_mode & grw) == grw && st.st_gid != 0)
    who += " and the group \"" + GroupName(st.st_gid) + "\"";
  return who == "root" ? "only root" : who;
}

Verdict CheckDevice(const std::string& path, bool& usable) {
  usable = false;
  Verdict v{"device", Mark::kOk, path + ": ", ""};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    v.mark = Mark::kFail;
    v.text += std::string("does not exist (") + std::strerror(errno) +
              "): check the port number or the path and that the adapter is plugged in "
              "(nevctl ports lists this machine's serial ports)";
    v.see = "the port does not exist";
    return v;
  }
  if (!S_ISCHR(st.st_mode)) {
    v.mark = Mark::kFail;
    v.text += "not a serial device (not a character device): give a serial device's path";
    v.see = "the port does not exist";
    return v;
  }
  std::error_code ec;
  const std::string real = fs::canonical(path, ec).string();
  const std::string name = fs::path(real).filename().string();
  const std::string type = real.rfind("/dev/pts/", 0) == 0 ? "pseudo-terminal"
                           : name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0
                               ? "USB serial adapter"
                               : "serial device";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  v.text += type + " " + std::to_string(major(st.st_rdev)) + "," +
            std::to_string(minor(st.st_rdev)) + ", owner " + UserName(st.st_uid) + ", group " +
            GroupName(st.st_gid) + ", mode " + mode + "; " + WhoMayOpen(st) + " may open it";
  const bool may = ::access(path.c_str(), R_OK | W_OK) == 0;
  v.text += may ? "; this user (" + UserName(::geteuid()) + ") may"
                : "; this user (" + UserName(::geteuid()) + ") may NOT: see the probe's remedy";
  // Held: its lock is taken (the driver's own way of holding a port) or its exclusive mode is
  // set; only open elsewhere (as a simulator holds its pseudo-terminal) is no obstacle.
  bool held = false;
  if (may) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    held = fd < 0 ? errno == EBUSY : ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (fd >= 0) ::close(fd);
  }
  const std::string holders = nev::PortHolders(path);
  if (held) {
    v.text += "; held by " + (holders.empty() ? std::string("another program") : holders);
  } else {
    // An ordinary user does not see other users' programs.
    v.text += !holders.empty()   ? "; also open in " + holders
              : ::geteuid() == 0 ? "; no program holds it"
                                 : "; no program this user can see holds it";
  }
  if (!may) {
    v.mark = Mark::kFail;
    v.see = "permission denied";
  } else if (held) {
    v.mark = Mark::kFail;
    v.see = "the port is held by another program";
  }
  usable = true;  // the open says the rest, with the driver's own words
  return v;
}

// The speeds tried when the configured one gets no NAK, most used first.
constexpr int32_t kOtherSpeeds[] = {9600, 19200, 38400, 57600, 115200, 4800, 2400, 1200};

std::string SeeFor(const nev::CallRecord& call) {
  if (!call.error) return "the printer does not answer";
  if (call.error->number == nev::kErrPortAlreadyOpen) return "the port is held by another program";
  if (call.error->description.find("permission denied") != std::string::npos)
    return "permission denied";
  if (call.error->description.find("no such device") != std::string::npos)
    return "the port does not exist";
  if (call.error->description.find("not by NAK") != std::string::npos)
    return "the printer answers with other bytes";
  return "the printer does not answer";
}

using nevtools::LastLines;
using nevtools::Tar;

// A nevd configuration with every token, password and secret hidden.
std::string WithoutSecrets(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path + "\n";
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(in, nullptr, false);
  if (j.is_discarded()) return path + ": not JSON\n";
  std::function<void(nlohmann::ordered_json&)> hide = [&](nlohmann::ordered_json& node) {
    if (node.is_array()) {
      for (auto& e : node) hide(e);
    } else if (node.is_object()) {
      for (auto& [key, value] : node.items()) {
        std::string k = key;
        for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool secret = k.find("token") != std::string::npos ||
                            k.find("password") != std::string::npos ||
                            k.find("secret") != std::string::npos;
        if (secret && !value.is_null()) {
          value = "(hidden)";
        } else {
          hide(value);
        }
      }
    }
  };
  hide(j);
  return j.dump(2) + "\n";
}

std::string Versions() {
  std::string text = std::string("nevctl ") + nev::kVersion + "\n";
  utsname u{};
  if (::uname(&u) == 0) {
    text += std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine + "\n";
  }
  std::ifstream os("/etc/os-release");
  for (std::string line; std::getline(os, line);) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) text += line.substr(12) + "\n";
  }
  return text;
}

}  // namespace

int RunDoctor(Options options, const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err) {
  std::string journal_path, config_path, bundle;
  bool no_bundle = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return !into.empty();
    };
    if (a == "--help" || a == "-h") {
      out << kHelp;
      return 0;
    } else if (a == "--journal") {
      if (!value(journal_path)) return err << "nevctl: doctor: --journal needs a path\n", 2;
    } else if (a == "--config") {
      if (!value(config_path)) return err << "nevctl: doctor: --config needs a file\n", 2;
    } else if (a == "--bundle") {
      if (!value(bundle)) return err << "nevctl: doctor: --bundle needs a file\n", 2;
    } else if (a == "--no-bundle") {
      no_bundle = true;
    } else {
      err << "nevctl: doctor: unknown argument " << Printable(a) << "\n\n" << kHelp;
      return 2;
    }
  }
  // Without --port the one serial port of the machine is checked; with several, the person says.
  if (options.port.empty() && !options.sim_named) {
    const std::vector<PortInfo> ports = ListPorts();
    if (ports.size() != 1) {
      err << "nevctl: doctor needs --port: this machine has "
          << (ports.empty() ? std::string("no serial port")
                            : std::to_string(ports.size()) + " serial ports")
          << " (nevctl ports lists them); --port sim checks the built-in simulator\n";
      return 2;
    }
    options.port = ports[0].path;
    err << "nevctl: doctor: checking " << options.port << ", this machine's one serial port\n";
  }

  // The driver's message boxes are kept out of the way: the verdicts say it all.
  auto sink = std::make_shared<nev::RecordingSink>();
  const std::shared_ptr<nev::MessageSink> previous = nev::SetMessageSink(sink);
  std::unique_ptr<nevsim::Simulator> sim;
  std::string device;
  if (options.sim_named) {
    sim = std::make_unique<nevsim::Simulator>(nevsim::Options{});
    sim->Start();
    device = sim->SlavePath();
  } else {
    device = DeviceOf(options.port);
  }
  std::vector<Verdict> verdicts;
  auto say = [&](Verdict v) {
    if (options.json) {
      nlohmann::ordered_json j{{"check", v.check}, {"verdict", MarkText(v.mark)}, {"text", v.text}};
      j["see"] = v.see.empty() ? nlohmann::ordered_json(nullptr)
                               : nlohmann::ordered_json("README.md, Troubleshooting: " + v.see);
      if (sim) j["simulated"] = true;
      out << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    } else {
      std::string mark = MarkText(v.mark);
      mark.resize(6, ' ');
      std::string check = v.check;
      check.resize(9, ' ');
      out << (sim ? "[simulator] " : "") << mark << check << v.text;
      if (!v.see.empty())
        out << "\n" << std::string(15, ' ') << "(README.md, Troubleshooting: \"" << v.see << "\")";
      out << "\n";
    }
    out.flush();
    verdicts.push_back(std::move(v));
  };

  nev::NEV nev(options.log_dir.empty() ? std::string() : options.log_dir);
  nev.SilentMode(true);
  nev.Log().Level(4);  // the trace of the checks goes into the bundle
  nev.LogWarning("doctor",
                 "nevctl doctor: checking " + device + " at " + std::to_string(options.baud));

  bool usable = false;
  say(CheckDevice(device, usable));

  const bool speed_ok = nev::LineSpeedSupported(options.baud);
  say(speed_ok ? Verdict{"speed", Mark::kOk, std::to_string(options.baud) + " bit/s", ""}
               : Verdict{"speed", Mark::kFail,
                         std::to_string(options.baud) + " is not a speed this port can use (" +
                             nev::LineSpeedsText() + ")",
                         "the printer does not answer"});

  bool connected = false;
  int32_t speed = options.baud;  // the speed the device answered at
  if (!usable) {
    say({"probe", Mark::kSkip, "no device file to open", ""});
  } else {
    connected = speed_ok && nev.InitConnection(device, options.baud);
    const nev::CallRecord call = nev.LastCall();
    if (connected) {
      say({"probe", Mark::kOk, "the device answered the probe at " + std::to_string(options.baud),
           ""});
    } else if (speed_ok) {
      say({"probe", Mark::kFail,
           call.error
               ? "error " + std::to_string(call.error->number) + ": " + call.error->description
               : std::string("the device did not answer the probe"),
           SeeFor(call)});
    }
    // The port opened but the probe got no NAK: another speed may be the printer's.
    if (!connected && (call.outcome == nev::Outcome::kTimeout || !speed_ok)) {
      std::string tried;
      int32_t found = 0;
      for (int32_t other : kOtherSpeeds) {
        if (other == options.baud || !nev::LineSpeedSupported(other)) continue;
        speed = other;
        tried += (tried.empty() ? "" : ", ") + std::to_string(speed);
        if (nev.InitConnection(device, speed)) {
          found = speed;
          break;
        }
        speed = options.baud;
      }
      if (found) {
        connected = true;
        say({"speeds", Mark::kFail,
             "the device answers at " + std::to_string(found) + ", not at " +
                 std::to_string(options.baud) + ": use --baud " + std::to_string(found) +
                 " (nevd: \"baud\" in the printer's configuration)",
             "the printer answers at another speed"});
      } else {
        say({"speeds", Mark::kFail,
             "no answer at the other speeds either (" + tried +
                 "): check that the printer is switched on, its cable (a null-modem cable where "
                 "the printer needs one) and that nothing else speaks on the line",
             "the printer does not answer"});
      }
    }
  }

  std::string identity;
  if (connected) {
    const int32_t code = nev.GetStatus();
    const nev::CallRecord call = nev.LastCall();
    if (!call.status) {
      say({"status", Mark::kFail,
           std::string("no answer to the status request (") + nev::OutcomeName(call.outcome) + ")",
           "the printer does not answer"});
    } else {
      const std::vector<std::string> words = nev::FlagWords(call.flags);
      std::string text = "status " + std::to_string(code) + ": ";
      if (words.empty()) text += "no condition set";
      for (std::size_t i = 0; i < words.size(); ++i) text += (i ? ", " : "") + words[i];
      Verdict v{"status", Mark::kOk, text, ""};
      if (call.flags.no_paper) {
        v.mark = Mark::kFail;
        v.text += ": load paper";
        v.see = "no paper";
      } else if (call.flags.fiscal_receipt_open || call.flags.nonfiscal_receipt_open) {
        v.mark = Mark::kWarn;
        v.text += ": finish the receipt on the till, or void it (nevctl void-open)";
        v.see = "a receipt is open";
      } else if (call.flags.general_error) {
        v.mark = Mark::kWarn;
      }
      say(v);
      identity = nev.ECRInfo();
    }
  } else {
    say({"status", Mark::kSkip, "no device answered", ""});
  }

  const std::string log_file = nev.Log().LogFile();
  const fs::path log_folder = fs::path(log_file).parent_path();
  if (::access(log_folder.c_str(), W_OK) == 0) {
    say({"log", Mark::kOk, "written to " + log_file, ""});
  } else {
    say({"log", Mark::kFail,
         "the log folder " + log_folder.string() +
             " cannot be written: give --log-dir (nevd: \"log\") a folder this user may write",
         "the log is not written"});
  }

  std::error_code ec;
  if (journal_path.empty() && fs::exists("nevctl-receipts.db", ec))
    journal_path = "nevctl-receipts.db";
  if (journal_path.empty()) {
    say({"journal", Mark::kSkip, "no journal given (--journal PATH)", ""});
  } else if (!fs::exists(journal_path, ec)) {
    say({"journal", Mark::kFail, journal_path + " does not exist", "the journal"});
  } else if (::access(journal_path.c_str(), R_OK | W_OK) != 0 ||
             ::access(fs::absolute(journal_path, ec).parent_path().c_str(), W_OK) != 0) {
    say({"journal", Mark::kFail,
         journal_path + " or its folder cannot be written by this user: give the journal a folder "
                        "the till's user may write",
         "the journal"});
  } else {
    try {
      nev::receipt::Journal journal(journal_path);
      if (!connected) {
        say({"journal", Mark::kWarn,
             journal_path + " is writable; whether it accounts for the device cannot be told "
                            "without a device",
             ""});
      } else {
        const nev::receipt::JournalCheck c =
            nev::receipt::CheckJournal(nev, {device, speed}, journal);
        if (c.held) {
          say({"journal", Mark::kFail,
               journal_path + " is held by " + c.holder +
                   ": a journal belongs to one printer; wait for that process or stop it",
               "the journal"});
        } else if (!c.behind.empty()) {
          say({"journal", Mark::kFail,
               journal_path + " is behind the device: " + c.behind +
                   ": compare the device's last receipts with the shop's records, then nevctl "
                   "journal accept",
               "the journal"});
        } else if (c.unfinished > 0) {
          say({"journal", Mark::kWarn,
               journal_path + ": " + std::to_string(c.unfinished) +
                   " unfinished transaction(s): they settle when the device answers at the next "
                   "receipt (load paper first when it has none)",
               "the journal"});
        } else {
          say({"journal", Mark::kOk,
               journal_path + " accounts for device " +
                   (c.serial.empty() ? std::string("?") : c.serial),
               ""});
        }
      }
    } catch (const std::exception& e) {
      say({"journal", Mark::kFail, journal_path + ": " + e.what(), "the journal"});
    }
  }
  nev.StopConnection();

  bool failed = false;
  std::string checks;
  for (const Verdict& v : verdicts) {
    failed = failed || v.mark == Mark::kFail;
    checks += std::string(MarkText(v.mark)) + "\t" + v.check + "\t" + v.text + "\n";
  }
  if (!no_bundle) {
    if (bundle.empty()) {
      char stamp[32];
      const std::time_t t = std::time(nullptr);
      std::tm tm{};
      localtime_r(&t, &tm);
      std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
      bundle = std::string("nev-support-") + stamp + ".tar";
    }
    std::string config = "port " + (sim ? std::string("sim") : options.port) + "\ndevice " +
                         device + "\nbaud " + std::to_string(options.baud) + "\nlog " + log_file +
                         "\njournal " + (journal_path.empty() ? "-" : journal_path) + "\n";
    for (char** env = environ; env && *env; ++env) {
      if (std::strncmp(*env, "NEVCOM_", 7) == 0) config += std::string(*env) + "\n";
    }
    if (!identity.empty()) config += "device info " + identity + "\n";
    Tar tar;
    tar.Add("nev-support/versions.txt", Versions());
    tar.Add("nev-support/config.txt", config);
    if (!config_path.empty()) tar.Add("nev-support/nevd.json", WithoutSecrets(config_path));
    tar.Add("nev-support/checks.txt", checks);
    tar.Add("nev-support/log.txt", LastLines(log_file, 400));
    std::ofstream file(bundle, std::ios::binary | std::ios::trunc);
    file << tar.Take();
    if (file.flush()) {
      (options.json ? err : out) << "support bundle: " << bundle << "\n";
    } else {
      err << "nevctl: doctor: cannot write the support bundle " << bundle << ": "
          << std::strerror(errno) << "\n";
    }
  }
  nev::SetMessageSink(previous);
  return failed ? 1 : 0;
}

}  // namespace nevctl
