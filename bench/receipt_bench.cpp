// Receipts as documents: the time of one receipt run as a transaction against the same calls made
// one by one (unpaced simulator), the journal's cost per receipt (the intent synced, the steps and
// the outcome written without a sync), and that cost against a receipt's time at 115200 baud,
// alone and in place. Prints figures; asserts nothing.
//   receipt_bench [FOLDER]   the journal goes in FOLDER (default: the current folder, so that it
//                            is on a normal disk rather than a memory file system)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "nev/message.h"
#include "nev/nev.h"
#include "nev/receipt.h"
#include "nevsim/simulator.h"
#include "receipt/journal_store.h"

namespace {

namespace rc = nev::receipt;
using Clock = std::chrono::steady_clock;

const char* kDocument = R"({"id": "ID", "operator": {"number": 1, "password": "0000"},
  "items": [{"text": "Хляб", "taxGroup": "B", "quantity": 1, "price": 1.89},
            {"article": 3, "quantity": 2, "price": 1.80},
            {"department": 1, "quantity": 1, "price": 4.5},
            {"comment": "Благодарим!"}],
  "payments": [{"type": 1, "amount": 20}]})";

rc::Document Doc(const std::string& id) {
  std::string text = kDocument;
  text.replace(text.find("ID"), 2, id);
  return rc::ParseDocument(text);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

template <class F>
double TimeMs(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Bench {
  explicit Bench(int baud)
      : sim([&] {
          nevsim::Options o;
          o.baud = baud;
          return o;
        }()) {
    sim.Start();
    line.device = sim.SlavePath();
    line.baud = 115200;
    printer.SilentMode(true);
    printer.InitConnection(line.device, line.baud);
  }
  nevsim::Simulator sim;
  nev::NEV printer{std::filesystem::temp_directory_path().string()};
  rc::Line line;
};

bool CallsOneByOne(nev::NEV& p) {
  bool ok = p.OpenFiscNote("1", "0000");
  ok &= p.SellTaxGroup("Хляб", "B", 1, 1.89);
  ok &= p.SellArt(3, 2, 1.80);
  ok &= p.SellDep(1, 1, 4.5);
  ok &= p.FiscText("Благодарим!");
  double t = 0, a = 0, b = 0, c = 0;
  ok &= p.SubTotal(t, a, b, c);
  ok &= p.Pay(1, 20);
  ok &= p.CloseFiscNote();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  nev::SetMessageSink(std::make_shared<nev::RecordingSink>());
  const std::filesystem::path folder =
      std::filesystem::absolute(argc > 1 ? argv[1] : ".") / "receipt_bench_journal";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  constexpr int kReceipts = 200;
  // Receipts without the journal are printed on the same device in between: for the journal, the
  // device is shared (its check runs, and only warns).
  rc::Policy shared;
  shared.shared = true;

  // 1. Unpaced: document against calls one by one, and the document with the journal.
  std::vector<double> doc_ms, calls_ms, journal_ms;
  int failures = 0;
  {
    Bench b(0);
    rc::Journal journal((folder / "unpaced.db").string());
    for (int i = 0; i < kReceipts; ++i) {
      calls_ms.push_back(TimeMs([&] { failures += !CallsOneByOne(b.printer); }));
      doc_ms.push_back(TimeMs([&] {
        failures +=
            rc::Run(b.printer, b.line, Doc("d" + std::to_string(i))).state != rc::State::kPrinted;
      }));
      journal_ms.push_back(TimeMs([&] {
        failures +=
            rc::Submit(b.printer, b.line, journal, Doc("j" + std::to_string(i)), shared).state !=
            rc::State::kPrinted;
      }));
    }
  }

  // 2. The journal alone: the writes of one receipt (the intent, a write before each step that
  //    changes the device, the outcome with the device's figures); the first synced.
  std::vector<double> alone_ms;
  {
    rc::Journal journal((folder / "alone.db").string());
    for (int i = 0; i < kReceipts; ++i) {
      alone_ms.push_back(TimeMs([&] {
        rc::Progress p;
        p.id = "a" + std::to_string(i);
        p.kind = "sale";
        p.document = kDocument;
        p.step = "OpenFiscNote";
        p.before = rc::Counters{i, i, 0};
        rc::StoreOf(journal).Begin(p);
        for (const char* step :
             {"items[0]", "items[1]", "items[2]", "items[3]", "payments[0]", "CloseFiscNote"}) {
          p.step = step;
          rc::StoreOf(journal).Update(p);
        }
        rc::StoreOf(journal).Finish(p, rc::State::kPrinted, "{}", rc::Seen{0, i + 1, 0});
      }));
    }
  }

  // 3. A receipt's time at 115200 baud, without and with the journal (turn about).
  std::vector<double> paced_ms, paced_journal_ms;
  {
    Bench b(115200);
    rc::Journal journal((folder / "paced.db").string());
    for (int i = 0; i < 20; ++i) {
      paced_ms.push_back(TimeMs([&] {
        failures +=
            rc::Run(b.printer, b.line, Doc("p" + std::to_string(i))).state != rc::State::kPrinted;
      }));
      paced_journal_ms.push_back(TimeMs([&] {
        failures +=
            rc::Submit(b.printer, b.line, journal, Doc("q" + std::to_string(i)), shared).state !=
            rc::State::kPrinted;
      }));
    }
  }
  std::filesystem::remove_all(folder);

  const double doc = Median(doc_ms), calls = Median(calls_ms), with = Median(journal_ms);
  const double alone = Median(alone_ms), paced = Median(paced_ms);
  const double paced_with = Median(paced_journal_ms);
  std::printf("receipt of 4 items and a payment, %d receipts each (medians)\n", kReceipts);
  std::printf("  unpaced nev-sim, calls one by one:     %8.3f ms per receipt\n", calls);
  std::printf("  unpaced nev-sim, as a document:        %8.3f ms per receipt (%+.1f %%)\n", doc,
              100.0 * (doc - calls) / calls);
  std::printf("  unpaced nev-sim, document + journal:   %8.3f ms per receipt\n", with);
  std::printf("  journal alone (8 writes, 1 synced):    %8.3f ms per receipt\n", alone);
  std::printf("  at 115200 baud, as a document:         %8.3f ms per receipt\n", paced);
  std::printf("  at 115200 baud, document + journal:    %8.3f ms per receipt\n", paced_with);
  std::printf(
      "  journal cost / receipt at 115200 baud: %8.1f %% alone, %.1f %% in place "
      "(target at most 5 %%)\n",
      100.0 * alone / paced, 100.0 * (paced_with - paced) / paced);
  std::printf("  journal folder: %s\n", folder.parent_path().c_str());
  if (failures) std::printf("  %d receipts did not print\n", failures);
  return failures ? 1 : 0;
}
