#include "receipt_cmd.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "nev/receipt.h"

namespace nevctl {

namespace rc = nev::receipt;

namespace {

constexpr const char* kDefaultJournal = "nevctl-receipts.db";

constexpr const char* kHelp =
    R"(usage: nevctl [--port N|PATH] [--baud RATE] [--json] receipt FILE.json|- [--journal PATH]
       nevctl [--json] journal [--journal PATH]

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
journal lists the journal's rows. The journal defaults to ./nevctl-receipts.db.
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

void WriteReadable(std::ostream& out, const rc::Result& r) {
  out << "receipt " << r.id << ": " << rc::StateName(r.state)
      << (r.from_journal ? " (recorded earlier; nothing sent)" : "") << "\n";
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
  }
  for (const std::string& e : r.evidence) out << "  seen: " << e << "\n";
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

int Receipt(Options options, const std::string& file, const std::string& journal_path,
            std::ostream& out, std::ostream& err) {
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
  std::unique_ptr<rc::Journal> journal;
  try {
    journal = std::make_unique<rc::Journal>(journal_path);
    // A document already finished is answered from the journal; the line is not even opened.
    if (auto e = journal->Find(doc.id); e && e->state && e->result) {
      rc::Result r = rc::ResultFromJson(*e->result);
      r.from_journal = true;
      if (options.json) {
        out << rc::ResultJson(r) << "\n";
      } else {
        WriteReadable(out, r);
      }
      return ExitCode(r.state);
    }
  } catch (const std::exception& e) {
    err << "nevctl: " << e.what() << "\n";
    return 1;
  }

  options.silent = true;
  Session session(options, out);
  session.SetReporting(false);
  session.Open();
  rc::Line line;
  line.device = session.simulator() ? session.simulator()->SlavePath() : options.port;
  line.baud = options.baud;
  rc::Result r;
  try {
    r = rc::Submit(session.nev(), line, *journal, doc);
  } catch (const std::exception& e) {
    err << "nevctl: " << e.what() << "\n";
    return 1;
  }
  session.nev().StopConnection();
  if (options.json) {
    out << rc::ResultJson(r) << "\n";
  } else {
    WriteReadable(out, r);
    if (nevsim::Simulator* sim = session.simulator()) {
      out << "\n== the till roll the simulator printed\n" << sim->Paper();
    }
  }
  return ExitCode(r.state);
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
            << ", \"result\": " << (e.result ? *e.result : "null") << "}\n";
      } else {
        out << e.updated << "  " << e.id << "  " << e.kind << "  " << state << "  (last step "
            << e.step << ")\n";
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
  return command == "receipt" || command == "journal";
}

int RunReceiptCommand(Options options, const std::string& command,
                      const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string journal_path = kDefaultJournal;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out << kHelp;
      return 0;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--journal" || a.rfind("--journal=", 0) == 0) {
      if (a == "--journal") {
        if (i + 1 >= args.size() || args[i + 1].empty()) {
          err << "nevctl: --journal needs a path\n\n" << kHelp;
          return 2;
        }
        journal_path = args[++i];
      } else {
        journal_path = a.substr(10);
      }
    } else if (a.rfind("--", 0) == 0) {
      err << "nevctl: unknown option " << a << "\n\n" << kHelp;
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (command == "journal") {
    if (!files.empty()) {
      err << "nevctl: journal takes no arguments\n\n" << kHelp;
      return 2;
    }
    return ListJournal(options, journal_path, out, err);
  }
  if (files.size() != 1) {
    err << "nevctl: receipt needs one document file (or - for standard input)\n\n" << kHelp;
    return 2;
  }
  return Receipt(std::move(options), files[0], journal_path, out, err);
}

}  // namespace nevctl
