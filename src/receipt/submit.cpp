// The doors of the receipt library: a document submitted, a journal settled, an open receipt
// voided, the device's figures accepted. Before anything is sent each of them makes sure that the
// device answering is the one the journal knows, that this process alone holds the journal for
// it, and that the device has printed nothing the journal does not account for.
#include <cmath>
#include <nlohmann/json.hpp>

#include "nev/nev.h"
#include "receipt/profile.h"
#include "receipt/runner.h"

namespace nev::receipt {

namespace {

using json = nlohmann::ordered_json;

Result Recorded(const JournalEntry& e) {
  Result r = ResultFromJson(*e.result);
  r.from_journal = true;
  return r;
}

// A result for which nothing was sent that changes the device.
Result Stopped(const std::string& id, const Preflight& pre, State state, const char* code,
               const std::string& message) {
  Result r;
  r.id = id;
  r.state = state;
  r.steps = pre.steps;
  if (!pre.serial.empty()) r.device = pre.serial;
  r.error = Error{"", code, message + "; nothing was sent"};
  return r;
}

std::string CounterText(int z, int fiscal, int voided) {
  return std::to_string(fiscal) + " fiscal and " + std::to_string(voided) +
         " voided receipt(s) since Z report " + std::to_string(z);
}

// The device identified and the journal held for it, or why not.
struct Held {
  Preflight pre;
  JournalLock lock;
  std::optional<Result> refusal;
};

Held Take(Device& dev, Journal& journal, const Policy& policy, const std::string& id) {
  Held h;
  h.pre = ReadDevice(dev);
  if (h.pre.serial.empty()) {
    const Answer& a = h.pre.failed ? *h.pre.failed : Answer{};
    h.refusal = Stopped(id, h.pre, State::kRefused, "unidentified",
                        "the device did not tell its serial number (" + a.member + ": " +
                            OutcomeName(a.outcome) + (a.error.empty() ? "" : ", " + a.error) + ")");
    CarryRecord(*h.refusal->error, a.record);
    return h;
  }
  std::string holder;
  h.lock = StoreOf(journal).Lock(h.pre.serial, policy.lock_wait_ms, holder);
  if (!h.lock) {
    h.refusal = Stopped(id, h.pre, State::kRefused, "journal-busy",
                        "the journal " + StoreOf(journal).path + " is held by " + holder +
                            ": a journal belongs to one printer (give each printer its own)");
  }
  return h;
}

bool Mine(const Progress& row, const std::string& serial) {
  return row.device.empty() || row.device == serial;
}

std::vector<Result> SettleHeld(Device& dev, Journal& journal, const Preflight& pre) {
  std::vector<Result> settled;
  for (const Progress& row : StoreOf(journal).Unfinished()) {
    if (Mine(row, pre.serial)) settled.push_back(SettleRow(dev, &StoreOf(journal), row, pre));
  }
  return settled;
}

// Where the device stands once the unfinished rows are settled: read again when settling may
// have changed it, the reads before it kept among the steps.
Preflight AfterSettling(Device& dev, const Preflight& before, const std::vector<Result>& settled) {
  if (settled.empty()) return before;
  Preflight now = ReadDevice(dev);
  now.steps.insert(now.steps.begin(), before.steps.begin(), before.steps.end());
  return now;
}

// The figures the device reports (its counters and last Z must have been read).
Seen SeenOf(const Preflight& pre) {
  return Seen{*pre.last_z, pre.counters->fiscal, pre.counters->voided};
}

// The device's figures against the journal's: a text saying how the device is ahead, or empty.
std::string Ahead(const Preflight& pre, const Seen& seen) {
  const Seen d = SeenOf(pre);
  const bool ahead =
      d.z > seen.z || (d.z == seen.z && (d.fiscal > seen.fiscal || d.voided > seen.voided));
  if (!ahead) return {};
  return "the device has " + CounterText(d.z, d.fiscal, d.voided) + "; the journal accounts for " +
         CounterText(seen.z, seen.fiscal, seen.voided);
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
  j["steps"] = json::parse(StepsJson(r.steps));
  j["error"] = nullptr;
  if (r.error) {
    const Error& e = *r.error;
    j["error"] = {{"step", e.step}, {"outcome", e.outcome}, {"message", e.message}};
    if (e.number != 0) {
      j["error"]["number"] = e.number;
      j["error"]["description"] = e.description;
      j["error"]["port"] = e.port.empty() ? json(nullptr) : json(e.port);
      j["error"]["speed"] = e.speed > 0 ? json(e.speed) : json(nullptr);
      j["error"]["remedy"] = e.remedy.empty() ? json(nullptr) : json(e.remedy);
    }
  }
  j["evidence"] = r.evidence;
  j["warnings"] = r.warnings;
  j["device"] = r.device ? json(*r.device) : json(nullptr);
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
  if (j.contains("steps")) r.steps = StepsFromJson(j["steps"].dump());
  if (j.contains("error") && j["error"].is_object()) {
    const json& e = j["error"];
    r.error = Error{e.value("step", ""), e.value("outcome", ""), e.value("message", "")};
    if (e.contains("number") && e["number"].is_number_integer()) {
      r.error->number = e["number"].get<int32_t>();
      r.error->description = e.value("description", "");
      if (e.contains("port") && e["port"].is_string()) r.error->port = e["port"];
      if (e.contains("speed") && e["speed"].is_number_integer()) r.error->speed = e["speed"];
      if (e.contains("remedy") && e["remedy"].is_string()) r.error->remedy = e["remedy"];
    }
  }
  for (const char* key : {"evidence", "warnings"}) {
    if (!j.contains(key) || !j[key].is_array()) continue;
    std::vector<std::string>& into = std::string(key) == "evidence" ? r.evidence : r.warnings;
    for (const json& e : j[key])
      if (e.is_string()) into.push_back(e.get<std::string>());
  }
  if (j.contains("device") && j["device"].is_string()) r.device = j["device"].get<std::string>();
  return r;
}

std::vector<Result> Settle(NEV& printer, const Line& line, Journal& journal, const Policy& policy) {
  if (StoreOf(journal).Unfinished().empty()) return {};
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  Held held = Take(*dev, journal, policy, "");
  if (held.refusal) throw std::runtime_error(held.refusal->error->message);
  return SettleHeld(*dev, journal, held.pre);
}

Result Submit(NEV& printer, const Line& line, Journal& journal, const Document& doc,
              const Policy& policy) {
  // A document already finished is answered from the journal without touching the line.
  std::optional<JournalEntry> e = journal.Find(doc.id);
  if (e && e->state && e->result) return Recorded(*e);
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  Held held = Take(*dev, journal, policy, doc.id);
  if (held.refusal) return *held.refusal;
  const std::string& serial = held.pre.serial;

  // Unfinished work of this device is settled before anything new is sent; then the document is
  // looked up again (another process may have run it while this one waited for the journal).
  const std::vector<Result> settled = SettleHeld(*dev, journal, held.pre);
  e = journal.Find(doc.id);
  if (e) {
    if (e->state && e->result) return Recorded(*e);
    if (e->device && *e->device != serial) {
      Result r = Stopped(
          doc.id, held.pre, State::kUnknown, "another-device",
          "another device answers on this port: serial " + serial + ", expected " + *e->device);
      r.evidence.push_back("this document began on device " + *e->device +
                           " and is unfinished there; it is settled when that device answers "
                           "again");
      return r;
    }
    for (const Result& r : settled) {
      if (r.id == doc.id) return r;  // could not be settled yet: still unknown
    }
  }
  bool waiting = false;
  if (!settled.empty()) {
    for (const Progress& row : StoreOf(journal).Unfinished())
      waiting = waiting || Mine(row, serial);
  }
  if (waiting) {
    // What to do: the row settles by itself once the device can answer for it.
    bool no_paper = held.pre.flags.no_paper;
    for (const Result& s : settled) {
      for (const std::string& e : s.evidence)
        no_paper = no_paper || e.find("(no paper)") != std::string::npos;
    }
    Result r = Stopped(doc.id, held.pre, State::kRefused, "unsettled",
                       std::string("an earlier transaction could not be settled: ") +
                           (no_paper ? "load paper: it settles when the printer answers again"
                                     : "it settles when the printer answers for it again (switch "
                                       "it on, check its paper and cable)") +
                           ", at the next request; nothing new is printed before it is");
    for (const Result& s : settled) r.evidence.push_back(s.id + ": " + StateName(s.state));
    return r;
  }

  const Preflight pre = AfterSettling(*dev, held.pre, settled);
  if (!pre.counters) return RunDocument(*dev, &StoreOf(journal), doc, pre);  // refused: unread
  if (pre.flags.fiscal_receipt_open || pre.flags.nonfiscal_receipt_open) {
    return Stopped(doc.id, pre, State::kRefused, "receipt-open",
                   std::string("the device has a ") +
                       (pre.flags.fiscal_receipt_open ? "fiscal" : "service") +
                       " receipt open that this journal did not open: finish it on the device, "
                       "or void it (nevctl void-open, or nevd's void-open request)");
  }
  std::vector<std::string> warnings;
  if (!pre.last_z) {
    warnings.push_back(
        "the device's last Z report could not be read: the journal could not "
        "check that it accounts for everything the device printed");
  } else if (const std::optional<Seen> seen = StoreOf(journal).DeviceSeen(serial); !seen) {
    StoreOf(journal).RecordSeen(serial, SeenOf(pre));
  } else if (const std::string ahead = Ahead(pre, *seen); !ahead.empty()) {
    if (!policy.shared) {
      Result r = Stopped(doc.id, pre, State::kUnknown, "journal-behind",
                         "the device has printed what this journal does not account for: the "
                         "journal is behind (damaged, or restored from a backup) or another "
                         "program used the device. This document may be among what the journal "
                         "lost. Compare the device's last receipts with your records, then let "
                         "the journal account for them (nevctl journal accept, or nevd's "
                         "journal/accept request), or mark the printer as shared");
      r.evidence.push_back(ahead);
      const Answer info = dev->ReceiptInfo();
      r.steps.push_back({info.member, OutcomeName(info.outcome), info.reply});
      const DeviceProfile& prof = DefaultProfile();
      if (auto n = ReplyNumber(info.reply, prof.info_number)) {
        r.evidence.push_back("the device's last receipt is number " +
                             std::to_string(static_cast<int>(*n)) + ", total " +
                             ReplyText(info.reply, prof.info_total).value_or("?"));
      }
      return r;
    }
    warnings.push_back("shared device: " + ahead);
  }
  Result r = RunDocument(*dev, &StoreOf(journal), doc, pre);
  r.warnings.insert(r.warnings.begin(), warnings.begin(), warnings.end());
  return r;
}

Result VoidOpen(NEV& printer, const Line& line, Journal& journal, const Policy& policy) {
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  Held held = Take(*dev, journal, policy, "");
  if (held.refusal) return *held.refusal;
  // A receipt that an unfinished row opened is that row's to settle.
  const std::vector<Result> settled = SettleHeld(*dev, journal, held.pre);
  const Preflight pre = AfterSettling(*dev, held.pre, settled);
  if (!pre.counters) {
    return Stopped("", pre, State::kRefused, "unread", "the device's counters could not be read");
  }
  if (!pre.flags.fiscal_receipt_open) {
    return Stopped("", pre, State::kRefused, "no-receipt-open",
                   "no fiscal receipt is open on the device");
  }
  Result r;
  r.device = pre.serial;
  r.steps = pre.steps;
  const DeviceProfile& prof = DefaultProfile();
  const Answer info = dev->ReceiptInfo();
  r.steps.push_back({info.member, OutcomeName(info.outcome), info.reply});
  if (auto n = ReplyNumber(info.reply, prof.info_number)) r.receipt_number = static_cast<int>(*n);
  r.total = ReplyNumber(info.reply, prof.info_total);
  const std::optional<Seen> seen = StoreOf(journal).DeviceSeen(pre.serial);
  const bool accounted = pre.last_z && seen && Ahead(pre, *seen).empty();
  const Answer v = dev->Void();
  r.steps.push_back({v.member, OutcomeName(v.outcome), v.reply});
  if (!v.ok()) {
    r.state = v.lost() ? State::kUnknown : State::kRefused;
    r.error = Error{v.member, OutcomeName(v.outcome),
                    std::string("the device did not void the receipt") +
                        (v.flags.no_paper ? " (no paper)" : "")};
    return r;
  }
  r.state = State::kVoided;
  r.evidence.push_back("the open receipt" +
                       (r.receipt_number ? " number " + std::to_string(*r.receipt_number) : "") +
                       ", which no row of this journal opened, was voided");
  // The void is the journal's own doing: it accounts for it, unless it was behind already.
  if (accounted) {
    Journal::Impl& j = StoreOf(journal);
    try {
      Seen after = SeenOf(pre);
      ++after.voided;
      j.RecordSeen(pre.serial, after);
    } catch (const std::exception& e) {
      r.warnings.push_back(std::string("the journal could not record the void: ") + e.what());
    }
  }
  return r;
}

std::string AcceptDevice(NEV& printer, const Line& line, Journal& journal, const Policy& policy) {
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  Held held = Take(*dev, journal, policy, "");
  if (held.refusal) throw std::runtime_error(held.refusal->error->message);
  const std::vector<Result> settled = SettleHeld(*dev, journal, held.pre);
  const Preflight pre = AfterSettling(*dev, held.pre, settled);
  if (!pre.counters || !pre.last_z) {
    throw std::runtime_error("the device's counters or its last Z report could not be read");
  }
  StoreOf(journal).RecordSeen(pre.serial, SeenOf(pre));
  return "the journal now accounts for everything device " + pre.serial +
         " has printed: " + CounterText(*pre.last_z, pre.counters->fiscal, pre.counters->voided);
}

JournalCheck CheckJournal(NEV& printer, const Line& line, Journal& journal) {
  JournalCheck check;
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  const Preflight pre = ReadDevice(*dev);
  check.serial = pre.serial;
  if (pre.serial.empty()) return check;
  Journal::Impl& store = StoreOf(journal);
  const JournalLock lock = store.Lock(pre.serial, 0, check.holder);
  check.held = !lock;
  for (const Progress& row : store.Unfinished()) check.unfinished += Mine(row, pre.serial) ? 1 : 0;
  const std::optional<Seen> seen = store.DeviceSeen(pre.serial);
  if (seen && pre.counters && pre.last_z) check.behind = Ahead(pre, *seen);
  return check;
}

Result Run(NEV& printer, const Line& line, const Document& doc) {
  std::unique_ptr<Device> dev = MakeNevDevice(printer, line);
  return RunDocument(*dev, nullptr, doc, ReadDevice(*dev));
}

}  // namespace nev::receipt
