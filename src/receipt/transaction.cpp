// One document, one transaction: write ahead, run the steps, and when an answer is lost ask the
// device what happened instead of repeating the step.
#include <cmath>
#include <nlohmann/json.hpp>

#include "nev/nev.h"
#include "nev/receipt.h"
#include "receipt/device.h"
#include "receipt/journal_store.h"
#include "receipt/profile.h"

namespace nev::receipt {

namespace {

using json = nlohmann::ordered_json;

json StepsToJson(const std::vector<Step>& steps) {
  json a = json::array();
  for (const Step& s : steps) {
    a.push_back({{"member", s.member},
                 {"outcome", s.outcome},
                 {"reply", s.reply ? json(*s.reply) : json(nullptr)}});
  }
  return a;
}

std::vector<Step> StepsFromJson(const json& a) {
  std::vector<Step> steps;
  if (!a.is_array()) return steps;
  for (const json& s : a) {
    Step step;
    step.member = s.value("member", "");
    step.outcome = s.value("outcome", "");
    if (s.contains("reply") && s["reply"].is_string()) step.reply = s["reply"].get<std::string>();
    steps.push_back(std::move(step));
  }
  return steps;
}

std::string Money(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

class Runner {
 public:
  Runner(Device& device, Recorder* recorder, const DeviceProfile& profile, Progress progress)
      : dev_(device), rec_(recorder), prof_(profile), p_(std::move(progress)) {
    r_.id = p_.id;
    try {
      r_.steps = StepsFromJson(json::parse(p_.steps_json));
    } catch (const json::exception&) {
    }
  }

  Result RunSale(const Document& d) {
    if (!ReadBefore()) return Finish(State::kRefused);
    p_.step = "OpenFiscNote";
    Begin();
    Answer a = Call(dev_.OpenFiscal(d.op, d.invoice));
    if (!a.ok()) return Abort(a);
    if (auto n = ReplyNumber(a.reply, prof_.open_number)) p_.receipt_number = static_cast<int>(*n);
    for (std::size_t i = 0; i < d.items.size(); ++i) {
      WriteAhead("items[" + std::to_string(i) + "]");
      a = Call(dev_.Sell(d.items[i]));
      if (!a.ok()) return Abort(a);
    }
    if (d.adjustment) {
      WriteAhead("adjustment");
      a = Call(dev_.Adjust(*d.adjustment));
      if (!a.ok()) return Abort(a);
    }
    a = Call(dev_.SubTotal());  // changes nothing on the device: no write-ahead
    if (!a.ok()) return Abort(a);
    p_.expected_total = ReplyNumber(a.reply, prof_.subtotal_total);
    for (std::size_t i = 0; i < d.payments.size(); ++i) {
      WriteAhead("payments[" + std::to_string(i) + "]");
      a = Call(dev_.Pay(d.payments[i]));
      if (!a.ok()) return Abort(a);
      if (auto c = ReplyNumber(a.reply, prof_.pay_change)) p_.change = *c;
    }
    WriteAhead("CloseFiscNote");
    a = Call(dev_.Close());
    if (a.lost()) return Lost(a, [&] { return ReconcileSale(); });
    if (!a.ok()) return Abort(a);
    if (auto n = ReplyNumber(a.reply, prof_.close_number)) r_.receipt_number = static_cast<int>(*n);
    r_.total = ReplyNumber(a.reply, prof_.close_total);
    if (!r_.total) r_.total = p_.expected_total;
    r_.change = p_.change.value_or(0);
    return Finish(State::kPrinted);
  }

  Result RunCash(const Document& d) {
    if (!ReadBefore()) return Finish(State::kRefused);
    p_.step = "AddSum";
    Begin();
    Answer a = Call(dev_.AddSum(d.op, d.cash_type, d.cash_amount));
    if (a.lost()) return Lost(a, [&] { return ReconcileCash(); });
    if (!a.ok()) {
      Failed(a);
      return Finish(State::kRefused);
    }
    r_.total = d.cash_amount;
    Answer c = Call(dev_.Counters());
    if (auto n = ReplyNumber(c.reply, prof_.counters_last))
      r_.receipt_number = static_cast<int>(*n);
    return Finish(State::kPrinted);
  }

  Result RunZ() {
    if (!ReadBefore()) return Finish(State::kRefused);
    // The Z report this one will be, so that a lost answer can be settled by its number.
    if (const std::optional<int> last = LastZ()) p_.receipt_number = *last + 1;
    p_.step = "ZDay";
    Begin();
    Answer a = Call(dev_.ZDay());
    if (a.lost()) return Lost(a, [&] { return ReconcileZ(); });
    if (!a.ok()) {
      Failed(a);
      return Finish(State::kRefused);
    }
    if (auto n = ReplyNumber(a.reply, prof_.z_number)) r_.receipt_number = static_cast<int>(*n);
    r_.total = ReplyNumber(a.reply, prof_.z_total);
    return Finish(State::kPrinted);
  }

  // An unfinished row found on start: nothing is repeated, the device is asked.
  Result Settle(Kind kind) {
    r_.evidence.push_back("unfinished at step " + p_.step + "; settled on start");
    if (!Reach()) return Unsettled();
    switch (kind) {
      case Kind::kSale:
        return ReconcileSale();
      case Kind::kCash:
        return ReconcileCash();
      case Kind::kZReport:
        return ReconcileZ();
    }
    return Unsettled();
  }

 private:
  Answer Call(Answer a) {
    r_.steps.push_back({a.member, OutcomeName(a.outcome), a.reply});
    return a;
  }

  void Failed(const Answer& a) {
    if (r_.error) return;  // the first failure is the one that matters
    std::string message = a.error;
    if (message.empty()) {
      switch (a.outcome) {
        case Outcome::kRefused:
          message = "the device refused the command";
          break;
        case Outcome::kNak:
          message = "the device rejected the command (NAK)";
          break;
        case Outcome::kTimeout:
          message = "no answer from the device";
          break;
        case Outcome::kPortError:
          message = "the line failed";
          break;
        case Outcome::kNoConnection:
          message = "the line is not open";
          break;
        default:
          message = OutcomeName(a.outcome);
      }
    }
    if (a.flags.no_paper) message += " (no paper)";
    r_.error = Error{a.member, OutcomeName(a.outcome), message};
  }

  std::optional<Counters> ReadCounters(Answer a) {
    if (!a.ok()) return std::nullopt;
    auto last = ReplyNumber(a.reply, prof_.counters_last);
    auto fiscal = ReplyNumber(a.reply, prof_.counters_fiscal);
    auto voided = ReplyNumber(a.reply, prof_.counters_voided);
    if (!last || !fiscal || !voided) return std::nullopt;
    return Counters{static_cast<int>(*last), static_cast<int>(*fiscal), static_cast<int>(*voided)};
  }

  // The receipt counters before anything changes: reconciliation compares with them.
  bool ReadBefore() {
    Answer a = Call(dev_.Counters());
    p_.before = ReadCounters(a);
    if (p_.before) return true;
    Failed(a);
    if (a.ok()) r_.error->message = "the device's receipt counters could not be read";
    return false;
  }

  void SaveSteps() { p_.steps_json = StepsToJson(r_.steps).dump(); }
  void Begin() {
    SaveSteps();
    if (rec_) rec_->Begin(p_);
  }
  void WriteAhead(const std::string& step) {
    p_.step = step;
    SaveSteps();
    if (rec_) rec_->Update(p_);
  }

  Result Finish(State state) {
    r_.state = state;
    if (state == State::kPrinted) r_.error.reset();  // a lost answer that did no harm
    SaveSteps();
    if (rec_) rec_->Finish(p_, state, ResultJson(r_));
    return r_;
  }
  // The device's state could not be settled now; the row stays unfinished for the next start.
  Result Unsettled() {
    r_.state = State::kUnknown;
    SaveSteps();
    if (rec_) rec_->Update(p_);
    return r_;
  }

  template <class Reconcile>
  Result Lost(const Answer& a, Reconcile reconcile) {
    Failed(a);
    r_.evidence.push_back(a.member + ": " + OutcomeName(a.outcome) +
                          "; the step is not repeated, the device is asked");
    if (!Reach(true)) return Unsettled();
    return reconcile();
  }

  // A failure before the close: void the receipt. When that does not work, ask the device.
  Result Abort(const Answer& a) {
    // A lost answer: the step may have run, and the line may be dead. Ask before voiding.
    if (a.lost()) return Lost(a, [&] { return ReconcileSale(); });
    Failed(a);
    // An open that was refused (or never sent) opened nothing.
    if (a.member == "OpenFiscNote") return Finish(State::kRefused);
    WriteAhead("VoidAll");
    Answer v = Call(dev_.Void());
    if (v.ok()) return Finish(State::kVoided);
    r_.evidence.push_back("VoidAll: " + std::string(OutcomeName(v.outcome)));
    if (!Reach()) return Unsettled();
    return ReconcileSale();
  }

  // The device answers a status request, reopening the line when it must. After a lost answer
  // the line is reopened first: the probe's short wait tells a dead line sooner than a status
  // request that is not answered.
  bool Reach(bool reopen_first = false) {
    if (!reopen_first) {
      Answer st = Call(dev_.Status());
      if (st.ok()) {
        status_ = st;
        return true;
      }
      r_.evidence.push_back("no answer to GetStatus");
    }
    r_.evidence.push_back("the line is reopened");
    if (!dev_.Reconnect()) {
      r_.evidence.push_back("the device did not answer after the line was reopened");
      return false;
    }
    Answer st = Call(dev_.Status());
    if (!st.ok()) {
      r_.evidence.push_back("the device did not answer GetStatus after the line was reopened");
      return false;
    }
    status_ = st;
    return true;
  }

  Result ReconcileSale() {
    Answer info = Call(dev_.ReceiptInfo());
    auto number = ReplyNumber(info.reply, prof_.info_number);
    auto total = ReplyNumber(info.reply, prof_.info_total);
    if (status_.flags.fiscal_receipt_open) {
      r_.evidence.push_back(
          "a fiscal receipt is open on the device" +
          (number ? " (number " + std::to_string(static_cast<int>(*number)) + ")" : std::string()));
      if (p_.receipt_number && number && static_cast<int>(*number) != *p_.receipt_number) {
        r_.evidence.push_back("it is not ours (ours is " + std::to_string(*p_.receipt_number) +
                              ")");
        return Finish(State::kUnknown);
      }
      WriteAhead("VoidAll");
      Answer v = Call(dev_.Void());
      if (v.ok()) return Finish(State::kVoided);
      r_.evidence.push_back("VoidAll: " + std::string(OutcomeName(v.outcome)) +
                            (v.flags.no_paper || status_.flags.no_paper ? " (no paper)" : "") +
                            "; the receipt stays open until the next start");
      return Unsettled();
    }
    const std::optional<Counters> now = ReadCounters(Call(dev_.Counters()));
    if (!now || !info.ok() || !p_.before) {
      r_.evidence.push_back("the receipt counters or the receipt info could not be read");
      return Unsettled();
    }
    const int fiscal = now->fiscal - p_.before->fiscal;
    const int voided = now->voided - p_.before->voided;
    const int receipts = now->last - p_.before->last;
    r_.evidence.push_back("since the start: " + std::to_string(fiscal) + " fiscal receipt(s), " +
                          std::to_string(voided) + " voided, " + std::to_string(receipts) +
                          " receipt number(s) used");
    const bool number_matches =
        !p_.receipt_number || (number && static_cast<int>(*number) == *p_.receipt_number);
    const bool total_matches =
        !p_.expected_total ||
        (total && std::fabs(*total - *p_.expected_total) < prof_.total_tolerance);
    if (fiscal == 1 && voided == 0 && number && number_matches && total_matches) {
      r_.evidence.push_back("the last receipt, number " +
                            std::to_string(static_cast<int>(*number)) + " with total " +
                            Money(total.value_or(0)) + ", is ours: it was closed");
      r_.receipt_number = static_cast<int>(*number);
      r_.total = total;
      r_.change = p_.change.value_or(0);
      return Finish(State::kPrinted);
    }
    if (fiscal == 0 && voided == 1) {
      r_.evidence.push_back("our receipt was voided");
      return Finish(State::kVoided);
    }
    if (fiscal == 0 && voided == 0 && receipts == 0) {
      r_.evidence.push_back("no receipt was opened");
      return Finish(State::kRefused);
    }
    if (fiscal == 1 && number)
      r_.evidence.push_back("the last receipt (number " +
                            std::to_string(static_cast<int>(*number)) + ", total " +
                            Money(total.value_or(0)) + ") does not match ours");
    return Finish(State::kUnknown);
  }

  Result ReconcileCash() {
    const std::optional<Counters> now = ReadCounters(Call(dev_.Counters()));
    if (!now || !p_.before) return Unsettled();
    const int receipts = now->last - p_.before->last;
    r_.evidence.push_back(std::to_string(receipts) + " receipt number(s) used since the start");
    if (receipts == 1) {
      r_.receipt_number = now->last;
      return Finish(State::kPrinted);
    }
    if (receipts == 0) return Finish(State::kRefused);
    return Finish(State::kUnknown);
  }

  std::optional<int> LastZ() {
    const std::optional<double> n = ReplyNumber(Call(dev_.Info()).reply, prof_.info_last_z);
    if (!n || *n < 0 || *n > 1e9) return std::nullopt;
    return static_cast<int>(*n);
  }

  Result ReconcileZ() {
    // The device's last Z number tells for certain, when the one expected was known.
    if (p_.receipt_number) {
      if (const std::optional<int> last = LastZ()) {
        if (*last == *p_.receipt_number) {
          r_.receipt_number = *last;
          r_.evidence.push_back("the device's last Z report is number " + std::to_string(*last) +
                                ", the one this report was to be: it ran");
          return Finish(State::kPrinted);
        }
        if (*last == *p_.receipt_number - 1) {
          r_.evidence.push_back("the device's last Z report is still number " +
                                std::to_string(*last) + ": this one did not run");
          return Finish(State::kRefused);
        }
      }
    }
    const std::optional<Counters> now = ReadCounters(Call(dev_.Counters()));
    if (!now || !p_.before) return Unsettled();
    const bool had = p_.before->fiscal + p_.before->voided > 0;
    const bool reset = now->fiscal == 0 && now->voided == 0;
    if (had && reset) {
      r_.evidence.push_back("the day's counters were reset: the Z report ran");
      return Finish(State::kPrinted);
    }
    r_.evidence.push_back("the day's counters do not tell whether the Z report ran");
    return Finish(State::kUnknown);
  }

  Device& dev_;
  Recorder* rec_;
  const DeviceProfile& prof_;
  Progress p_;
  Result r_;
  Answer status_;
};

const char* KindName(Kind k) {
  switch (k) {
    case Kind::kSale:
      return "sale";
    case Kind::kCash:
      return "cash";
    case Kind::kZReport:
      return "z";
  }
  return "sale";
}

Result RunWith(Device& dev, Recorder* rec, const Document& doc) {
  Progress p;
  p.id = doc.id;
  p.kind = KindName(doc.kind);
  p.document = doc.source;
  Runner runner(dev, rec, DefaultProfile(), p);
  switch (doc.kind) {
    case Kind::kCash:
      return runner.RunCash(doc);
    case Kind::kZReport:
      return runner.RunZ();
    case Kind::kSale:
      break;
  }
  return runner.RunSale(doc);
}

Result Recorded(const JournalEntry& e) {
  Result r = ResultFromJson(*e.result);
  r.from_journal = true;
  return r;
}

}  // namespace

const char* StateName(State state) {
  switch (state) {
    case State::kPrinted:
      return "printed";
    case State::kVoided:
      return "voided";
    case State::kRefused:
      return "refused";
    case State::kUnknown:
      return "unknown";
  }
  return "unknown";
}

std::string ResultJson(const Result& r) {
  json j;
  j["id"] = r.id;
  j["state"] = StateName(r.state);
  j["receiptNumber"] = r.receipt_number ? json(*r.receipt_number) : json(nullptr);
  j["total"] = r.total ? json(std::round(*r.total * 100) / 100) : json(nullptr);
  j["change"] = r.change ? json(std::round(*r.change * 100) / 100) : json(nullptr);
  j["steps"] = StepsToJson(r.steps);
  j["error"] = r.error ? json{{"step", r.error->step},
                              {"outcome", r.error->outcome},
                              {"message", r.error->message}}
                       : json(nullptr);
  j["evidence"] = r.evidence;
  if (r.from_journal) j["fromJournal"] = true;
  return j.dump();
}

Result ResultFromJson(const std::string& text) {
  const json j = json::parse(text);
  Result r;
  r.id = j.value("id", "");
  const std::string state = j.value("state", "unknown");
  r.state = state == "printed"   ? State::kPrinted
            : state == "voided"  ? State::kVoided
            : state == "refused" ? State::kRefused
                                 : State::kUnknown;
  if (j.contains("receiptNumber") && j["receiptNumber"].is_number())
    r.receipt_number = j["receiptNumber"].get<int>();
  if (j.contains("total") && j["total"].is_number()) r.total = j["total"].get<double>();
  if (j.contains("change") && j["change"].is_number()) r.change = j["change"].get<double>();
  if (j.contains("steps")) r.steps = StepsFromJson(j["steps"]);
  if (j.contains("error") && j["error"].is_object()) {
    const json& e = j["error"];
    r.error = Error{e.value("step", ""), e.value("outcome", ""), e.value("message", "")};
  }
  if (j.contains("evidence") && j["evidence"].is_array())
    r.evidence = j["evidence"].get<std::vector<std::string>>();
  return r;
}

std::vector<Result> Settle(NEV& printer, const Line& line, Journal& journal) {
  std::vector<Result> settled;
  const std::vector<Progress> rows = journal.impl().Unfinished();
  if (rows.empty()) return settled;
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  for (const Progress& p : rows) {
    Kind kind = p.kind == "cash" ? Kind::kCash : p.kind == "z" ? Kind::kZReport : Kind::kSale;
    Runner runner(*dev, &journal.impl(), DefaultProfile(), p);
    settled.push_back(runner.Settle(kind));
  }
  return settled;
}

Result Submit(NEV& printer, const Line& line, Journal& journal, const Document& doc) {
  // A document already finished is answered from the journal without touching the line.
  if (auto e = journal.Find(doc.id); e && e->state && e->result) return Recorded(*e);
  // Unfinished work is settled before anything new is sent.
  const std::vector<Result> settled = Settle(printer, line, journal);
  if (auto e = journal.Find(doc.id)) {
    if (e->state && e->result) return Recorded(*e);
    for (const Result& r : settled) {
      if (r.id == doc.id) return r;  // could not be settled yet: still unknown
    }
  }
  if (!journal.impl().Unfinished().empty()) {
    Result r;
    r.id = doc.id;
    r.state = State::kRefused;
    r.error = Error{"", "", "an earlier transaction could not be settled; nothing was sent"};
    for (const Result& s : settled) r.evidence.push_back(s.id + ": " + StateName(s.state));
    return r;
  }
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  return RunWith(*dev, &journal.impl(), doc);
}

Result Run(NEV& printer, const Line& line, const Document& doc) {
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  return RunWith(*dev, nullptr, doc);
}

}  // namespace nev::receipt
