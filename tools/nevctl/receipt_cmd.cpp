#include "receipt_cmd.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include "nev/receipt.h"

namespace nevctl {

namespace rc = nev::receipt;

namespace {

constexpr const char* kDefaultJournal = "nevctl-receipts.db";

constexpr const char* kHelp =
    R"(usage: nevctl [--port N|PATH|sim] [--baud RATE] [--json] receipt FILE.json|- [--journal PATH]
                [--shared]
       nevctl [--json] journal [--journal PATH]
       nevctl [--port N|PATH] [--baud RATE] [--json] journal accept [--journal PATH]
       nevctl [--port N|PATH] [--baud RATE] [--json] void-open [--journal PATH]

receipt runs a receipt document as one transaction: the receipt is printed whole or voided, and
a document id in the journal is never printed twice (its recorded result is shown and nothing is
sent). Unfinished transactions in the journal are settled with the device first.
  {"id": "till7-000123", "operator": {"number": 1, "password": "0000"}, "invoice": "123456789",
   "items": [{"text": "Хляб", "taxGroup": "B", "quantity": 1, "price": 1.89},
             {"article": 3, "quantity": 2, "price": 1.80},
             {"department": 1, "quantity": 1, "price": 4.5}, {"comment": "Благодарим!"}],
   "adjustment": {"percent": -10}, "payments": [{"type": 1, "amount": 10.00}]}
  {"id": "cash-1", "kind": "cash", "operator": {...}, "type": 1, "amount": -20.00}
  {"id": "z-1", "kind": "z"}
Exit status: 0 printed, 3 voided or refused, 4 unknown, 2 a document that fails validation (the
field's path is named, e.g. items[0].price), 1 when the journal cannot be used.
A journal belongs to one device (its serial number): a second process on another device is
refused, one on the same device waits for the first. Before printing, the journal checks that it
accounts for every fiscal and voided receipt the device has made since it last saw it; when the
device is ahead (a journal restored or damaged, another program printing), nothing is printed
and the result is unknown until the operator has compared the device's last receipts with the
shop's records and runs "journal accept". With --shared (other programs print on this device
too) that check only warns.
journal lists the journal's rows; journal accept makes the journal account for everything the
device has printed so far. void-open voids a fiscal receipt left open on the device that no row
of the journal opened (it names itself as the cause when a receipt is refused for it). The
journal defaults to ./nevctl-receipts.db.
)";

int ExitCode(rc::State state) {
  switch (state) {
    case rc::State::kPrinted:
      return 0;
    case rc::State::kVoided:
    case rc::State::kRefused:
      return 3;
    case rc::State::kUnknown:
      return 4;
  }
  return 4;
}

std::string Amount(const std::optional<double>& v) {
  if (!v) return "-";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.2f", *v);
  return buf;
}

void WriteReadable(std::ostream& out, const rc::Result& r, bool simulated) {
  if (simulated) out << "[simulator] ";
  out << (r.id.empty() ? std::string("open receipt") : "receipt " + r.id) << ": "
      << rc::StateName(r.state) << (r.from_journal ? " (recorded earlier; nothing sent)" : "")
      << "\n";
  out << "  receipt number " << (r.receipt_number ? std::to_string(*r.receipt_number) : "-")
      << ", total " << Amount(r.total) << ", change " << Amount(r.change) << "\n";
  for (const rc::Step& s : r.steps) {
    out << "  " << s.member << ": " << s.outcome;
    if (s.reply) out << " " << JsonString(*s.reply);
    out << "\n";
  }
  if (r.error) {
    out << "  error: " << r.error->step << " " << r.error->outcome << ": " << r.error->message
        << "\n";
    if (r.error->number != 0) {
      out << "  driver error " << r.error->number << ": " << r.error->description;
      if (!r.error->port.empty()) out << " (port " << r.error->port;
      if (!r.error->port.empty() && r.error->speed > 0) out << ", speed " << r.error->speed;
      if (!r.error->port.empty()) out << ")";
      out << "\n";
    }
  }
  for (const std::string& e : r.evidence) out << "  seen: " << e << "\n";
  for (const std::string& w : r.warnings) out << "  warning: " << w << "\n";
}

void WriteResult(const Options& options, std::ostream& out, const rc::Result& r) {
  // A result of the built-in simulator says so (no --port, or --port sim).
  const bool simulated = options.port.empty() && !r.from_journal;
  if (options.json) {
    std::string json = rc::ResultJson(r);
    if (simulated && !json.empty() && json.back() == '}')
      json.insert(json.size() - 1, ",\"simulated\":true");
    out << json << "\n";
  } else {
    WriteReadable(out, r, simulated);
  }
}

// The session for a command that talks to the device on behalf of the journal.
rc::Line LineOf(const Options& options, Session& session) {
  rc::Line line;
  line.device = session.simulator() ? session.simulator()->SlavePath() : options.port;
  line.baud = options.baud;
  return line;
}

bool ReadAll(const std::string& file, std::string& text, std::ostream& err) {
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    err << "nevctl: cannot read " << file << ": " << std::strerror(errno) << "\n";
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

// Opens the journal, answers from it when early says so, else opens the line (the built-in
// simulator without --port) and runs work. A journal that cannot be used, and any error of the
// work (a journal that cannot be written before anything was sent), is exit 1.
template <class Early, class Work>
int WithJournal(Options options, const std::string& journal_path, std::ostream& out,
                std::ostream& err, Early early, Work work) {
  try {
    rc::Journal journal(journal_path);
    if (const std::optional<int> code = early(journal)) return *code;
    options.silent = true;
    Session session(options, out);
    session.SetReporting(false);
    session.Open();
    return work(session, LineOf(options, session), journal);
  } catch (const std::exception& e) {
    err << "nevctl: " << e.what() << "\n";
    return 1;
  }
}

int Receipt(const Options& options, const std::string& file, const std::string& journal_path,
            const rc::Policy& policy, std::ostream& out, std::ostream& err) {
  std::string text;
  if (!ReadAll(file, text, err)) return 2;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  rc::Document doc;
  try {
    doc = rc::ParseDocument(text);
  } catch (const rc::DocumentError& e) {
    if (options.json) {
      out << "{\"error\": {\"path\": " << JsonString(e.path())
          << ", \"message\": " << JsonString(e.what()) << "}}\n";
    }
    err << "nevctl: " << file << ": " << e.what() << "\n";
    return 2;
  }
  // A document already finished is answered from the journal; the line is not even opened.
  auto recorded = [&](rc::Journal& journal) -> std::optional<int> {
    auto e = journal.Find(doc.id);
    if (!e || !e->state || !e->result) return std::nullopt;
    rc::Result r = rc::ResultFromJson(*e->result);
    r.from_journal = true;
    WriteResult(options, out, r);
    return ExitCode(r.state);
  };
  return WithJournal(options, journal_path, out, err, recorded,
                     [&](Session& session, const rc::Line& line, rc::Journal& journal) {
                       const rc::Result r = rc::Submit(session.nev(), line, journal, doc, policy);
                       session.nev().StopConnection();
                       WriteResult(options, out, r);
                       nevsim::Simulator* sim = session.simulator();
                       if (!options.json && sim) {
                         out << "\n== the till roll the simulator printed\n" << sim->Paper();
                       }
                       return ExitCode(r.state);
                     });
}

// journal accept and void-open: the device is asked on the journal's behalf.
int ForDevice(const Options& options, const std::string& command, const std::string& journal_path,
              std::ostream& out, std::ostream& err) {
  auto nothing_recorded = [](rc::Journal&) -> std::optional<int> { return std::nullopt; };
  return WithJournal(options, journal_path, out, err, nothing_recorded,
                     [&](Session& session, const rc::Line& line, rc::Journal& journal) {
                       if (command == "void-open") {
                         const rc::Result r = rc::VoidOpen(session.nev(), line, journal);
                         session.nev().StopConnection();
                         WriteResult(options, out, r);
                         return ExitCode(r.state);
                       }
                       const std::string accepted = rc::AcceptDevice(session.nev(), line, journal);
                       session.nev().StopConnection();
                       if (options.json) {
                         out << "{\"accepted\": " << JsonString(accepted) << "}\n";
                       } else {
                         out << accepted << "\n";
                       }
                       return 0;
                     });
}

int ListJournal(const Options& options, const std::string& journal_path, std::ostream& out,
                std::ostream& err) {
  try {
    rc::Journal journal(journal_path);
    for (const rc::JournalEntry& e : journal.List()) {
      const std::string state = e.state ? *e.state : "unfinished";
      if (options.json) {
        out << "{\"id\": " << JsonString(e.id) << ", \"kind\": " << JsonString(e.kind)
            << ", \"state\": " << (e.state ? JsonString(*e.state) : "null")
            << ", \"step\": " << JsonString(e.step) << ", \"updated\": " << JsonString(e.updated)
            << ", \"device\": " << (e.device ? JsonString(*e.device) : "null")
            << ", \"result\": " << (e.result ? *e.result : "null") << "}\n";
      } else {
        out << e.updated << "  " << e.id << "  " << e.kind << "  " << state << "  (last step "
            << e.step << (e.device ? ", device " + *e.device : std::string()) << ")\n";
      }
    }
  } catch (const std::exception& e) {
    err << "nevctl: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

bool IsReceiptCommand(const std::string& command) {
  return command == "receipt" || command == "journal" || command == "void-open";
}

int RunReceiptCommand(Options options, const std::string& command,
                      const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string journal_path = kDefaultJournal;
  rc::Policy policy;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out << kHelp;
      return 0;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--shared" && command == "receipt") {
      policy.shared = true;
    } else if (a == "--journal" || a.rfind("--journal=", 0) == 0) {
      journal_path = a == "--journal" ? (i + 1 < args.size() ? args[++i] : "") : a.substr(10);
      // An empty path would be a journal SQLite throws away; an option is no path either.
      if (journal_path.empty() || journal_path.rfind("--", 0) == 0) {
        err << "nevctl: --journal needs a path\n\n" << kHelp;
        return 2;
      }
    } else if (a.rfind("--", 0) == 0) {
      err << "nevctl: unknown option " << JsonString(a) << "\n\n" << kHelp;
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (command == "journal" || command == "void-open") {
    if (command == "journal" && files.size() == 1 && files[0] == "accept") {
      return ForDevice(std::move(options), "accept", journal_path, out, err);
    }
    if (!files.empty()) {
      err << "nevctl: " << command << " takes no arguments"
          << (command == "journal" ? " but accept" : "") << "\n\n"
          << kHelp;
      return 2;
    }
    if (command == "void-open")
      return ForDevice(std::move(options), command, journal_path, out, err);
    return ListJournal(options, journal_path, out, err);
  }
  if (files.size() != 1) {
    err << "nevctl: receipt needs one document file (or - for standard input)\n\n" << kHelp;
    return 2;
  }
  return Receipt(std::move(options), files[0], journal_path, policy, out, err);
}

}  // namespace nevctl
