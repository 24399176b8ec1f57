#include <cmath>
#include <string>
#include <vector>

#include "binding.h"
#include "commands.h"

namespace nevctl {
namespace {

struct Step {
  const char* title;
  std::vector<std::string> words;  // member, then arguments as on a script line
};

}  // namespace

int RunDemo(Session& session, std::ostream& out, std::ostream& err) {
  const bool readable = !session.options().json;
  auto heading = [&](const std::string& text) {
    if (readable) out << "\n== " << text << "\n";
  };
  // The first step the device did not accept ends the demo: the steps after it build on it.
  const CallRecord* stopped = nullptr;
  CallRecord failed_step;

  heading("open the line");
  if (!session.Open()) {
    err << "nevctl: the device did not answer; the demo stops here\n";
    session.Close();
    return 1;
  }

  bool output_failed = false;
  auto run = [&](const Step& step) {
    if (stopped || output_failed) return CallRecord{};
    if (!Delivered(out)) {
      output_failed = true;
      return CallRecord{};
    }
    heading(step.title);
    std::vector<Word> args;
    for (std::size_t i = 1; i < step.words.size(); ++i) {
      args.push_back(Word::FromArgument(step.words[i]));
    }
    CallRecord call = session.Call(step.words[0], args);
    if (!call.ok()) {
      failed_step = call;
      stopped = &failed_step;
    }
    return call;
  };

  run({"read the printer's status", {"GetStatus"}});
  run({"open a fiscal receipt for operator 1", {"OpenFiscNote", "casher=1", "Pass=0000"}});
  run({"sell a loaf of bread (a Cyrillic name), tax group B",
       {"SellTaxGroup", "Name=Хляб Добруджа", "TaxGroup=B", "Q=1", "P=1.89"}});
  run({"sell two coffees by article number 3", {"SellArt", "n=3", "Q=2", "P=1.80"}});
  run({"sell one item through department 1", {"SellDep", "1", "1", "4.50"}});
  run({"a printed note on the receipt", {"FiscText", "Thank you!"}});
  run({"a 10% discount on the whole receipt", {"Addition", "Proportional=True", "V=-10"}});
  const CallRecord subtotal = run({"the subtotal (four by-reference outputs)", {"SubTotal"}});
  double total = 0;
  for (const auto& [name, value] : subtotal.out) {
    if (name == "Total") {
      if (const double* d = std::get_if<double>(&value)) total = *d;
    }
  }
  // Cash handed over: the next ten, and at least one more than the total, so there is change.
  double tendered = std::ceil(total / 10.0) * 10.0;
  if (tendered - total < 1.0) tendered += 10.0;
  run({"pay in cash, with change",
       {"Pay", "PayType=1", "Sum=" + nev::automation::FormatDouble(tendered)}});
  run({"close the receipt", {"CloseFiscNote"}});
  run({"the daily Z report", {"ZDay"}});
  heading("close the line");
  session.Close();

  if (nevsim::Simulator* sim = session.simulator()) {
    std::ostream& paper = readable ? out : err;
    paper << "\n== the till roll the simulator printed\n" << sim->Paper();
    if (!sim->Paper().empty() && sim->Paper().back() != '\n') paper << "\n";
  }
  if (output_failed) {
    err << kOutputFailedNote;
    return 3;
  }
  if (stopped) {
    err << "nevctl: the demo stopped at " << stopped->member << ", which was not accepted ("
        << OutcomeText(stopped->outcome) << ")\n";
    return stopped->failed ? 2 : 3;
  }
  return 0;
}

int RunFmReport(Session& session, const std::string& s, std::ostream& out, std::ostream& err) {
  // The pieces are reported as calls in JSON form; in the readable form the report itself is
  // the output, and only the message boxes of the calls are shown (on standard error).
  const bool json = session.options().json;
  session.SetReporting(json);
  bool all_ok = true;
  auto messages = [&](const CallRecord& call) {
    if (!call.ok() && call.member != "StopConnection") all_ok = false;
    if (json) return;
    bool error_shown = false;
    for (const auto& m : call.messages) {
      err << call.member << ": message box (style " << m.style << "): " << m.text << "\n";
      if (call.error && m.text == call.error->description) error_shown = true;
    }
    if (!call.ok() && !call.failed) {
      err << call.member << " was not accepted (" << OutcomeText(call.outcome) << ")\n";
    }
    if (call.error && !error_shown && !call.failed) {
      err << call.member << ": error " << call.error->number << ": " << call.error->description
          << "\n";
    }
  };
  session.SetOnCall(messages);
  if (!session.Open()) {
    err << "fm-report: InitConnection returned False\n";
    return 1;
  }
  int pieces = 0;
  std::size_t bytes = 0;
  auto piece = [&](const CallRecord& call) -> bool {
    if (call.failed) return false;
    const auto* text = std::get_if<std::string>(&call.result);
    if (text == nullptr || text->empty()) return false;
    ++pieces;
    bytes += text->size();
    err << "fm-report: piece " << pieces << ", " << text->size() << " bytes\n";
    if (!json) {
      out << *text;
      if (text->back() != '\n') out << "\n";
    }
    return true;
  };
  int code = 0;
  CallRecord call = session.Call("GetFirstFMReport", {Word::FromArgument("s=" + s)});
  if (call.failed || call.outcome == nev::Outcome::kBadArgument) code = 2;
  // A device always ends the report with an empty piece; the bound only guards a broken one.
  constexpr int kMaxPieces = 100000;
  if (piece(call)) {
    while (pieces < kMaxPieces) {
      if (!Delivered(out)) {
        err << kOutputFailedNote;
        code = 3;
        break;
      }
      call = session.Call("GetNextFMReport", {});
      if (!piece(call)) break;
    }
  }
  err << "fm-report: " << pieces << " pieces, " << bytes << " bytes\n";
  session.Close();
  if (code == 0 && !all_ok) code = 3;
  return code;
}

}  // namespace nevctl
