#include "diagnostics.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bundle.h"
#include "nev/port_spec.h"
#include "nev/version.h"

namespace nevd {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

json Check(const char* check, const char* verdict, const std::string& text,
           const std::string& see = {}) {
  return {{"check", check},
          {"verdict", verdict},
          {"text", text},
          {"see", see.empty() ? json(nullptr) : json("README.md, Troubleshooting: " + see)}};
}

std::string UserName(uid_t uid) {
  const passwd* p = ::getpwuid(uid);
  return p ? p->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

json CheckDevice(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return Check("device", "FAIL",
                 path + ": does not exist (" + std::strerror(errno) +
                     "): check the port in the configuration and that the adapter is plugged in",
                 "the port does not exist");
  }
  if (!S_ISCHR(st.st_mode)) {
    return Check("device", "FAIL", path + ": not a serial device", "the port does not exist");
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  std::string text = path + ": owner " + UserName(st.st_uid) + ", group " + GroupName(st.st_gid) +
                     ", mode " + mode;
  const bool may = ::access(path.c_str(), R_OK | W_OK) == 0;
  text += may ? "; nevd's user (" + UserName(::geteuid()) + ") may open it"
              : "; nevd's user (" + UserName(::geteuid()) + ") may NOT open it";
  const std::string holders = nev::PortHolders(path);
  if (!holders.empty()) text += "; held by " + holders;
  const bool other = !holders.empty() &&
                     holders.find("(pid " + std::to_string(::getpid()) + ")") == std::string::npos;
  if (!may) return Check("device", "FAIL", text, "permission denied");
  return Check("device", other ? "warn" : "ok", text,
               other ? "the port is held by another program" : "");
}

using nevtools::LastLines;
using nevtools::Tar;

// The newest driver log of the printer: in its log folder, else beside nevd or in the user's
// state folder, where the driver puts it without one.
std::string NewestLog(const PrinterConfig& config) {
  std::vector<fs::path> folders;
  std::error_code ec;
  if (!config.log_dir.empty()) {
    folders.push_back(fs::path(config.log_dir) / "Logs");
  } else {
    folders.push_back(fs::read_symlink("/proc/self/exe", ec).parent_path() / "Logs");
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && *state) folders.push_back(fs::path(state) / "nevcom" / "Logs");
    if (home && *home) folders.push_back(fs::path(home) / ".local/state/nevcom/Logs");
  }
  fs::path newest;
  fs::file_time_type when{};
  for (const fs::path& folder : folders) {
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
      std::error_code time_ec;
      const auto t = e.last_write_time(time_ec);
      if (e.path().extension() == ".log" && !time_ec && (newest.empty() || t > when)) {
        newest = e.path();
        when = t;
      }
    }
  }
  return newest.string();
}

}  // namespace

json Diagnose(const Printer& printer) {
  const PrinterConfig& config = printer.config();
  const json state = printer.Describe();
  json checks = json::array();
  checks.push_back(CheckDevice(printer.device()));

  const bool speed_ok = nev::LineSpeedSupported(config.baud);
  checks.push_back(speed_ok
                       ? Check("speed", "ok", std::to_string(config.baud) + " bit/s")
                       : Check("speed", "FAIL",
                               std::to_string(config.baud) + " is not a speed this port can use",
                               "the printer does not answer"));

  const std::string st = state.value("state", "");
  const json& error = state["error"];
  if (state.value("online", false)) {
    checks.push_back(Check("probe", "ok",
                           "the printer answers at " + std::to_string(config.baud) + " (" + st +
                               " since " + state.value("since", "") + ")"));
  } else if (st == "released") {
    checks.push_back(Check("probe", "skip", "released to another program for a while"));
  } else {
    std::string text = state["lastError"].is_string() ? state["lastError"].get<std::string>()
                                                      : "not answered yet (" + st + ")";
    std::string see = "the printer does not answer";
    if (error.is_object()) {
      const int number = error.value("number", 0);
      if (number == 8005) see = "the port is held by another program";
      const std::string d = error.value("description", "");
      if (d.find("permission denied") != std::string::npos) see = "permission denied";
      if (d.find("not by NAK") != std::string::npos) see = "the printer answers with other bytes";
    }
    text +=
        "; nevctl doctor tries the other speeds (release the printer first: POST "
        "/api/v1/printers/" +
        config.id + "/release)";
    checks.push_back(Check("probe", "FAIL", text, see));
  }

  if (state.value("online", false) && state["status"].is_object()) {
    const json& flags = state["flags"];
    std::string words;
    for (const json& w : flags) words += (words.empty() ? "" : ", ") + w.get<std::string>();
    const bool no_paper = state["status"].value("noPaper", false);
    const bool open = state["status"].value("fiscalReceiptOpen", false) ||
                      state["status"].value("nonfiscalReceiptOpen", false);
    const std::string text = "status " + std::to_string(state["status"].value("code", 0)) + ": " +
                             (words.empty() ? "no condition set" : words);
    if (no_paper) {
      checks.push_back(Check("status", "FAIL", text + ": load paper", "no paper"));
    } else if (open) {
      checks.push_back(Check("status", "warn",
                             text + ": finish the receipt, or void it (POST .../void-open)",
                             "a receipt is open"));
    } else {
      checks.push_back(Check("status", "ok", text));
    }
  } else {
    checks.push_back(Check("status", "skip", "no status while the printer is " + st));
  }

  std::error_code ec;
  const std::string log_dir =
      config.log_dir.empty() ? "(beside nevd, or the user's state folder)" : config.log_dir;
  if (config.log_dir.empty()) {
    checks.push_back(Check("log", "ok", "the driver's default folder " + log_dir));
  } else if (::access(config.log_dir.c_str(), W_OK) == 0) {
    checks.push_back(Check("log", "ok", "written in " + config.log_dir + "/Logs"));
  } else {
    checks.push_back(Check("log", "FAIL",
                           "the log folder " + config.log_dir +
                               " cannot be written by nevd's user: give \"log\" a folder it "
                               "may write",
                           "the log is not written"));
  }

  const std::string journal = JournalPath(config);
  const std::string folder = fs::absolute(journal, ec).parent_path().string();
  if (::access(journal.c_str(), R_OK | W_OK) != 0 || ::access(folder.c_str(), W_OK) != 0) {
    checks.push_back(Check("journal", "FAIL",
                           journal + " or its folder cannot be written by nevd's user",
                           "the journal"));
  } else {
    // The lock shows who holds the journal: nevd's own worker during a transaction, or another
    // process on the same file.
    std::string held;
    const int fd = ::open((journal + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        char text[128] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        held = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "another process";
        while (!held.empty() && held.back() == '\n') held.pop_back();
      }
      ::close(fd);
    }
    const std::string last =
        state["lastError"].is_string() ? state["lastError"].get<std::string>() : std::string();
    if (last.find("journal") != std::string::npos) {
      checks.push_back(Check("journal", "FAIL", journal + ": " + last, "the journal"));
    } else if (!held.empty()) {
      checks.push_back(Check("journal", "warn",
                             journal + " is held (device and process: " + held +
                                 "); a transaction of that process is running",
                             "the journal"));
    } else {
      checks.push_back(Check("journal", "ok",
                             journal + " is writable; a receipt's result says \"journal-behind\" "
                                       "when the device is ahead of it"));
    }
  }

  bool ok = true;
  for (const json& c : checks) ok = ok && c["verdict"] != "FAIL";
  json out = {{"printer", config.id}, {"ok", ok}, {"checks", checks}};
  if (printer.simulated()) out["simulated"] = true;
  return out;
}

std::string SupportBundle(const Printer& printer, const Config& config) {
  std::string versions = std::string("nevd ") + nev::kVersion + "\n";
  utsname u{};
  if (::uname(&u) == 0) {
    versions += std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine + "\n";
  }
  json printers = json::array();
  for (const PrinterConfig& p : config.printers) {
    printers.push_back({{"id", p.id},
                        {"port", p.port},
                        {"baud", p.baud},
                        {"journal", JournalPath(p)},
                        {"log", p.log_dir},
                        {"shared", p.shared}});
  }
  const json settings = {{"listen", config.host + ":" + std::to_string(config.port)},
                         {"token", config.token.empty() ? json(nullptr) : json("(hidden)")},
                         {"cors", config.origins},
                         {"probeSeconds", config.probe_seconds},
                         {"maxBackoffSeconds", config.max_backoff_seconds},
                         {"printers", printers}};
  const std::string log = NewestLog(printer.config());
  Tar tar;
  tar.Add("nev-support/versions.txt", versions);
  tar.Add("nev-support/nevd.json", settings.dump(2) + "\n");
  tar.Add("nev-support/printer.json", printer.Describe().dump(2) + "\n");
  tar.Add("nev-support/checks.json", Diagnose(printer).dump(2) + "\n");
  tar.Add("nev-support/log.txt",
          log.empty() ? "no log found\n" : "== " + log + "\n" + LastLines(log, 400));
  return tar.Take();
}

}  // namespace nevd
