// One document, one transaction, as a table of steps run by one loop. Each kind of step says
// whether it changes the device, where the journal writes before it, what settles it when its
// answer is lost, and how a refusal is taken. A lost answer is never repeated: the device is asked.
#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>

#include "nev/nev.h"
#include "receipt/profile.h"
#include "receipt/runner.h"

namespace nev::receipt {

namespace {

using json = nlohmann::ordered_json;

// Where the journal writes before a step. kIntent is synced to disk (a crash must not lose that
// the device may have been changed); kAhead, like the outcome, only reaches the operating system
// (what it records, the device can be asked again).
enum class Point { kNone, kIntent, kAhead };
// What tells whether the step ran when its answer is lost.
enum class AskBy { kSale, kCash, kZ };
// How a refusal (a NAK, or a reply with the general-error bit) is taken. A refusal may be a late
// answer to something else, so where a refusal of a state-changing step would be reported as
// such, the device is asked first.
enum class IfRefused {
  kAskIfOpened,  // the open: did the device open the receipt all the same? Else refused
  kVoid,         // a step inside the receipt: void the receipt
  kAsk,          // the close, cash, Z: the device's counters tell what happened
};

struct StepKind {
  const char* name;
  bool changes;
  Point point;
  AskBy ask;
  IfRefused if_refused;
};

enum StepId { kOpen, kSell, kAdjust, kSubTotal, kPay, kClose, kAddSum, kZDay };

// clang-format off
constexpr StepKind kSteps[] = {
//  name             changes  journal        lost answer  refused
  {"OpenFiscNote",   true,    Point::kIntent, AskBy::kSale,  IfRefused::kAskIfOpened},
  {"items",          true,    Point::kAhead,  AskBy::kSale,  IfRefused::kVoid},
  {"adjustment",     true,    Point::kAhead,  AskBy::kSale,  IfRefused::kVoid},
  {"SubTotal",       false,   Point::kNone,   AskBy::kSale,  IfRefused::kVoid},
  {"payments",       true,    Point::kAhead,  AskBy::kSale,  IfRefused::kVoid},
  {"CloseFiscNote",  true,    Point::kAhead,  AskBy::kSale,  IfRefused::kAsk},
  {"AddSum",         true,    Point::kIntent, AskBy::kCash,  IfRefused::kAsk},
  {"ZDay",           true,    Point::kIntent, AskBy::kZ,     IfRefused::kAsk},
};
// clang-format on

// One step of a document's plan.
struct Planned {
  StepId id;
  std::string label;  // the journal's step name: "items[2]", "CloseFiscNote"
  std::function<Answer()> call;
  std::function<void(const Answer&)> take;  // what the answer tells, when it is accepted
};

std::string Money(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string Indexed(const char* name, std::size_t i) {
  return std::string(name) + "[" + std::to_string(i) + "]";
}

bool NotSent(const Answer& a) {
  return a.outcome == Outcome::kBadArgument || a.outcome == Outcome::kBusy ||
         a.outcome == Outcome::kNoConnection;
}

std::optional<Counters> ReadCounters(const Answer& a, const DeviceProfile& prof) {
  if (!a.ok()) return std::nullopt;
  auto last = ReplyNumber(a.reply, prof.counters_last);
  auto fiscal = ReplyNumber(a.reply, prof.counters_fiscal);
  auto voided = ReplyNumber(a.reply, prof.counters_voided);
  if (!last || !fiscal || !voided) return std::nullopt;
  return Counters{static_cast<int>(*last), static_cast<int>(*fiscal), static_cast<int>(*voided)};
}

std::optional<int> LastZOf(const Answer& a, const DeviceProfile& prof) {
  const std::optional<double> n = ReplyNumber(a.reply, prof.info_last_z);
  if (!a.ok() || !n || *n < 0 || *n > 1e9) return std::nullopt;
  return static_cast<int>(*n);
}

class Runner {
 public:
  Runner(Device& device, Recorder* recorder, Progress progress, const Preflight& pre)
      : dev_(device), rec_(recorder), prof_(DefaultProfile()), p_(std::move(progress)) {
    r_.id = p_.id;
    r_.steps = StepsFromJson(p_.steps_json);
    r_.steps.insert(r_.steps.end(), pre.steps.begin(), pre.steps.end());
    if (!pre.serial.empty()) {
      r_.device = pre.serial;
      if (p_.device.empty()) p_.device = pre.serial;
    }
    last_z_ = pre.last_z;
    if (!p_.before) p_.before = pre.counters;
    if (p_.before && last_z_) seen_ = Seen{*last_z_, p_.before->fiscal, p_.before->voided};
  }

  Result Run(const Document& d) {
    if (!p_.before) {
      r_.state = State::kRefused;
      r_.error = Error{"GetNumberofNotes", "unread",
                       "the device's receipt counters could not be read; nothing was sent"};
      return r_;  // nothing sent: nothing to record
    }
    switch (d.kind) {
      case Kind::kSale:
        return Execute(SalePlan(d), [&] { return ClosedSale(); });
      case Kind::kCash:
        return Execute(CashPlan(d), [&] { return PrintedCash(d); });
      case Kind::kZReport:
        // The Z report this one will be, so that a lost answer can be settled by its number.
        if (last_z_) p_.receipt_number = *last_z_ + 1;
        return Execute(ZPlan(), [&] { return Finish(State::kPrinted); });
    }
    return r_;
  }

  // An unfinished row found on start: nothing is repeated, the device is asked.
  Result Settle() {
    sent_ = true;  // the row says something may have been sent
    r_.evidence.push_back("unfinished at step " + p_.step + "; settled on start");
    if (!Reach()) return Unsettled();
    return Ask(AskOf(KindOf(p_.kind)));
  }

 private:
  // ---- the plans -------------------------------------------------------------------------
  std::vector<Planned> SalePlan(const Document& d) {
    std::vector<Planned> plan;
    plan.push_back({kOpen, "OpenFiscNote", [&] { return dev_.OpenFiscal(d.op, d.invoice); },
                    [&](const Answer& a) {
                      if (auto n = ReplyNumber(a.reply, prof_.open_number))
                        p_.receipt_number = static_cast<int>(*n);
                    }});
    for (std::size_t i = 0; i < d.items.size(); ++i)
      plan.push_back({kSell, Indexed("items", i), [&, i] { return dev_.Sell(d.items[i]); }, {}});
    if (d.adjustment)
      plan.push_back({kAdjust, "adjustment", [&] { return dev_.Adjust(*d.adjustment); }, {}});
    plan.push_back(
        {kSubTotal, "SubTotal", [&] { return dev_.SubTotal(); },
         [&](const Answer& a) { p_.expected_total = ReplyNumber(a.reply, prof_.subtotal_total); }});
    for (std::size_t i = 0; i < d.payments.size(); ++i)
      plan.push_back({kPay, Indexed("payments", i),
                      [&, i] {
                        paying_ = &d.payments[i];
                        return dev_.Pay(d.payments[i]);
                      },
                      [&](const Answer& a) {
                        if (auto c = ReplyNumber(a.reply, prof_.pay_change)) p_.change = *c;
                        due_ = ReplyNumber(a.reply, prof_.pay_due);
                      }});
    plan.push_back({kClose, "CloseFiscNote", [&] { return dev_.Close(); },
                    [&](const Answer& a) {
                      if (auto n = ReplyNumber(a.reply, prof_.close_number))
                        r_.receipt_number = static_cast<int>(*n);
                      r_.total = ReplyNumber(a.reply, prof_.close_total);
                    }});
    return plan;
  }

  std::vector<Planned> CashPlan(const Document& d) {
    return {{kAddSum, "AddSum", [&] { return dev_.AddSum(d.op, d.cash_type, d.cash_amount); }, {}}};
  }

  std::vector<Planned> ZPlan() {
    return {{kZDay, "ZDay", [&] { return dev_.ZDay(); },
             [&](const Answer& a) {
               if (auto n = ReplyNumber(a.reply, prof_.z_number)) {
                 r_.receipt_number = static_cast<int>(*n);
                 seen_ = Seen{static_cast<int>(*n), 0, 0};
                 seen_fresh_ = true;
               }
               r_.total = ReplyNumber(a.reply, prof_.z_total);
             }}};
  }

  // ---- the loop --------------------------------------------------------------------------
  template <class Done>
  Result Execute(const std::vector<Planned>& plan, Done done) {
    for (const Planned& s : plan) {
      const StepKind& k = kSteps[s.id];
      p_.step = s.label;
      if (k.point == Point::kIntent) Begin();
      if (k.point == Point::kAhead) WriteAhead();
      if (k.changes) sent_ = true;
      const Answer a = Call(s.call());
      if (a.ok()) {
        if (s.take) s.take(a);
        continue;
      }
      if (a.lost()) return Lost(a, k.ask);
      why_ = Why(s.id, a);
      switch (k.if_refused) {
        case IfRefused::kAskIfOpened:
          Failed(a);
          if (NotSent(a)) return Finish(State::kRefused);
          if (!Reach()) return Unsettled();
          if (OpenedAnyway(a)) continue;
          return Finish(State::kRefused);
        case IfRefused::kVoid:
          return VoidAfter(a);
        case IfRefused::kAsk:
          Failed(a);
          r_.evidence.push_back(a.member + ": " + OutcomeName(a.outcome) +
                                "; the device is asked whether it ran");
          if (!Reach()) return Unsettled();
          return Ask(k.ask);
      }
    }
    return done();
  }

  Result ClosedSale() {
    if (!r_.total) r_.total = p_.expected_total;
    r_.change = p_.change.value_or(0);
    return Finish(State::kPrinted);
  }

  Result PrintedCash(const Document& d) {
    r_.total = d.cash_amount;
    const Answer c = Call(dev_.Counters());
    if (auto n = ReplyNumber(c.reply, prof_.counters_last))
      r_.receipt_number = static_cast<int>(*n);
    return Finish(State::kPrinted);
  }

  Answer Call(Answer a) {
    r_.steps.push_back({a.member, OutcomeName(a.outcome), a.reply});
    return a;
  }

  // Why the device refused a step, where the figures or the status tell: a payment that does not
  // cover the total, a card paying more than is due, no paper. A NAK carries no status, so the
  // device is asked for it. Empty when nothing tells.
  std::string Why(StepId id, const Answer& a) {
    if (a.outcome != Outcome::kRefused && a.outcome != Outcome::kNak) return {};
    const std::optional<double> due = due_ ? due_ : p_.expected_total;
    if (id == kClose && due_ && *due_ > prof_.total_tolerance) {
      return "the payments do not cover the total: " + Money(*due_) +
             " still due (pay it, then close)";
    }
    if (id == kPay && paying_ && paying_->type != 1 && paying_->amount && due &&
        *paying_->amount > *due + prof_.total_tolerance) {
      return "the payment of " + Money(*paying_->amount) + " by type " +
             std::to_string(paying_->type) + " is above the " + Money(*due) +
             " still due: only cash gives change";
    }
    StatusFlags flags = a.flags;
    if (a.outcome == Outcome::kNak && kSteps[id].changes) {
      const Answer st = Call(dev_.Status());
      if (st.ok()) {
        status_ = st;
        flags = st.flags;
      }
    }
    if (flags.no_paper) return "the device is out of paper: load paper";
    return {};
  }

  void Failed(const Answer& a) {
    if (r_.error) return;  // the first failure is the one that matters
    std::string message = why_.empty() ? a.error : why_;
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
    if (a.flags.no_paper && why_.empty()) message += " (no paper)";
    r_.error = Error{a.member, OutcomeName(a.outcome), message};
    CarryRecord(*r_.error, a.record);
  }

  // ---- the journal -----------------------------------------------------------------------
  // Before anything is sent a journal that cannot be written stops the document (the error goes
  // up); once something was sent it cannot change the result: it becomes a warning, and the row
  // is settled from the device at the next start.
  template <class Write>
  void Journal(Write&& write) {
    if (!rec_ || journal_failed_) return;
    p_.steps_json = StepsJson(r_.steps);
    try {
      write();
    } catch (const std::exception& e) {
      if (!sent_) throw;
      journal_failed_ = true;
      r_.warnings.push_back(std::string("the journal could not record this transaction (") +
                            e.what() +
                            "); the result stands as the device gave it, and the journal settles "
                            "it with the device at its next use");
    }
  }
  void Begin() {
    Journal([&] { rec_->Begin(p_); });
  }
  void WriteAhead() {
    Journal([&] { rec_->Update(p_); });
  }

  Result Finish(State state) {
    r_.state = state;
    if (state == State::kPrinted) r_.error.reset();  // a lost answer that did no harm
    Account(state);
    Journal([&] { rec_->Finish(p_, state, ResultJson(r_), seen_); });
    return r_;
  }
  // The device's state could not be settled now; the row stays unfinished for the next start.
  Result Unsettled() {
    r_.state = State::kUnknown;
    Journal([&] { rec_->Update(p_); });
    return r_;
  }

  // The device's figures after this transaction, from those before it and what it did (or as
  // reconciliation read them).
  void Account(State state) {
    if (!seen_ || seen_fresh_) return;
    const Kind kind = KindOf(p_.kind);
    if (kind == Kind::kSale && state == State::kPrinted) ++seen_->fiscal;
    if (kind == Kind::kSale && state == State::kVoided) ++seen_->voided;
    if (state == State::kUnknown) seen_.reset();
  }
  void SeenNow(const Counters& now) {
    if (!last_z_) return;
    seen_ = Seen{*last_z_, now.fiscal, now.voided};
    seen_fresh_ = true;
  }

  // ---- when the answer is not the awaited one -------------------------------------------
  Result Lost(const Answer& a, AskBy ask) {
    Failed(a);
    r_.evidence.push_back(a.member + ": " + OutcomeName(a.outcome) +
                          "; the step is not repeated, the device is asked");
    if (!Reach(true)) return Unsettled();
    return Ask(ask);
  }

  // The open was refused; but a NAK may have been a late answer to another command, so the
  // device tells whether the receipt was opened. None was open before (the preflight checked),
  // and the journal is held for this device, so an open receipt is this one.
  bool OpenedAnyway(const Answer& a) {
    if (!status_.flags.fiscal_receipt_open) return false;
    const Answer info = Call(dev_.ReceiptInfo());
    const auto number = ReplyNumber(info.reply, prof_.info_number);
    if (!number) return false;
    p_.receipt_number = static_cast<int>(*number);
    r_.evidence.push_back(a.member + ": " + OutcomeName(a.outcome) +
                          ", yet the device opened receipt " + std::to_string(*p_.receipt_number) +
                          ": the refusal answered something else; the receipt goes on");
    r_.error.reset();
    return true;
  }

  // A step inside the receipt failed: void the receipt. When that does not work, ask the device.
  Result VoidAfter(const Answer& a) {
    Failed(a);
    p_.step = "VoidAll";
    WriteAhead();
    const Answer v = Call(dev_.Void());
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
      const Answer st = Call(dev_.Status());
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
    const Answer st = Call(dev_.Status());
    if (!st.ok()) {
      r_.evidence.push_back("the device did not answer GetStatus after the line was reopened");
      return false;
    }
    status_ = st;
    return true;
  }

  static AskBy AskOf(Kind kind) {
    return kind == Kind::kCash ? AskBy::kCash : kind == Kind::kZReport ? AskBy::kZ : AskBy::kSale;
  }
  Result Ask(AskBy ask) {
    switch (ask) {
      case AskBy::kSale:
        return ReconcileSale();
      case AskBy::kCash:
        return ReconcileCash();
      case AskBy::kZ:
        return ReconcileZ();
    }
    return Unsettled();
  }

  Result ReconcileSale() {
    const Answer info = Call(dev_.ReceiptInfo());
    const auto number = ReplyNumber(info.reply, prof_.info_number);
    const auto total = ReplyNumber(info.reply, prof_.info_total);
    if (status_.flags.fiscal_receipt_open) {
      r_.evidence.push_back(
          "a fiscal receipt is open on the device" +
          (number ? " (number " + std::to_string(static_cast<int>(*number)) + ")" : std::string()));
      if (p_.receipt_number && number && static_cast<int>(*number) != *p_.receipt_number) {
        r_.evidence.push_back("it is not ours (ours is " + std::to_string(*p_.receipt_number) +
                              ")");
        return Finish(State::kUnknown);
      }
      p_.step = "VoidAll";
      WriteAhead();
      const Answer v = Call(dev_.Void());
      if (v.ok()) return Finish(State::kVoided);
      r_.evidence.push_back("VoidAll: " + std::string(OutcomeName(v.outcome)) +
                            (v.flags.no_paper || status_.flags.no_paper ? " (no paper)" : "") +
                            "; the receipt stays open until the next start");
      return Unsettled();
    }
    const std::optional<Counters> now = ReadCounters(Call(dev_.Counters()), prof_);
    if (!now || !info.ok() || !p_.before) {
      r_.evidence.push_back("the receipt counters or the receipt info could not be read");
      return Unsettled();
    }
    SeenNow(*now);
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
    const std::optional<Counters> now = ReadCounters(Call(dev_.Counters()), prof_);
    if (!now || !p_.before) return Unsettled();
    SeenNow(*now);
    const int receipts = now->last - p_.before->last;
    r_.evidence.push_back(std::to_string(receipts) + " receipt number(s) used since the start");
    if (receipts == 1) {
      r_.receipt_number = now->last;
      return Finish(State::kPrinted);
    }
    if (receipts == 0) return Finish(State::kRefused);
    return Finish(State::kUnknown);
  }

  Result ReconcileZ() {
    // The device's last Z number tells for certain, when the one expected was known.
    const std::optional<int> last = LastZOf(Call(dev_.Info()), prof_);
    if (last) last_z_ = *last;
    if (p_.receipt_number && last) {
      if (*last == *p_.receipt_number) {
        r_.receipt_number = *last;
        seen_ = Seen{*last, 0, 0};
        seen_fresh_ = true;
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
    const std::optional<Counters> now = ReadCounters(Call(dev_.Counters()), prof_);
    if (!now || !p_.before) return Unsettled();
    SeenNow(*now);
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
  std::optional<int> last_z_;
  std::optional<Seen> seen_;  // the device's figures as far as this transaction knows them
  bool seen_fresh_ = false;   // read from the device after the transaction's own work
  bool sent_ = false;         // a step that changes the device was sent
  bool journal_failed_ = false;
  std::optional<double> due_;        // what the last payment's answer left due
  const Payment* paying_ = nullptr;  // the payment being sent
  std::string why_;                  // why the failing step was refused, when known
};

}  // namespace

void CarryRecord(Error& error, const std::optional<ErrorRecord>& record) {
  if (!record) return;
  error.number = record->number;
  error.description = record->description;
  error.port = record->port;
  error.speed = record->speed;
  error.remedy = record->remedy;
}

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

Kind KindOf(const std::string& name) {
  return name == "cash" ? Kind::kCash : name == "z" ? Kind::kZReport : Kind::kSale;
}

Preflight ReadDevice(Device& dev) {
  Preflight pre;
  const DeviceProfile& prof = DefaultProfile();
  const Answer info = dev.Info();
  pre.steps.push_back({info.member, OutcomeName(info.outcome), info.reply});
  if (!info.ok()) {
    pre.failed = info;
    return pre;
  }
  pre.serial = ReplyText(info.reply, prof.info_serial).value_or("");
  pre.last_z = LastZOf(info, prof);
  const Answer c = dev.Counters();
  pre.steps.push_back({c.member, OutcomeName(c.outcome), c.reply});
  pre.counters = ReadCounters(c, prof);
  pre.flags = c.flags;
  if (!pre.counters) pre.failed = c;
  return pre;
}

Result RunDocument(Device& dev, Recorder* rec, const Document& doc, const Preflight& pre) {
  Progress p;
  p.id = doc.id;
  p.kind = KindName(doc.kind);
  p.document = doc.source;
  return Runner(dev, rec, std::move(p), pre).Run(doc);
}

Result SettleRow(Device& dev, Recorder* rec, const Progress& row, const Preflight& pre) {
  Preflight settle = pre;
  settle.steps.clear();     // the preflight's steps belong to the document that asked for it
  settle.counters.reset();  // the row's own counters from before it began are the reference
  return Runner(dev, rec, row, settle).Settle();
}

std::string StepsJson(const std::vector<Step>& steps) {
  json a = json::array();
  for (const Step& s : steps) {
    a.push_back({{"member", s.member},
                 {"outcome", s.outcome},
                 {"reply", s.reply ? json(*s.reply) : json(nullptr)}});
  }
  return a.dump();
}

std::vector<Step> StepsFromJson(const std::string& text) {
  std::vector<Step> steps;
  json a;
  try {
    a = json::parse(text);
  } catch (const json::exception&) {
    return steps;
  }
  if (!a.is_array()) return steps;
  for (const json& s : a) {
    if (!s.is_object()) continue;
    Step step;
    step.member = s.value("member", "");
    step.outcome = s.value("outcome", "");
    if (s.contains("reply") && s["reply"].is_string()) step.reply = s["reply"].get<std::string>();
    steps.push_back(std::move(step));
  }
  return steps;
}

}  // namespace nev::receipt
