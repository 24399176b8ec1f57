// One receipt document on the device at argv[1], run as a transaction through the installed
// receipt library with a journal in argv[2]; then the same document again, which must come from
// the journal. Prints both results; exits 0 when the first printed and the second was replayed.
#include "nev/receipt.h"

#include <cstdio>
#include <string>

#include "nev/message.h"
#include "nev/nev.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: receipt DEVICE JOURNAL\n");
    return 2;
  }
  nev::SetMessageSink(std::make_shared<nev::RecordingSink>());
  try {
    const nev::receipt::Document doc = nev::receipt::ParseDocument(R"({
      "id": "consumer-1", "operator": {"number": 1, "password": "0000"},
      "items": [{"text": "Хляб", "taxGroup": "B", "quantity": 2, "price": 1.20},
                {"text": "Мляко", "taxGroup": "B", "quantity": 1, "price": 2.35}],
      "payments": [{"type": 1, "amount": 5}]})");
    nev::receipt::Journal journal(argv[2]);
    nev::NEV printer;
    const nev::receipt::Line line{argv[1], 9600};
    const nev::receipt::Result first = nev::receipt::Submit(printer, line, journal, doc);
    const nev::receipt::Result again = nev::receipt::Submit(printer, line, journal, doc);
    std::printf("%s\n%s\n", nev::receipt::ResultJson(first).c_str(),
                nev::receipt::ResultJson(again).c_str());
    const bool ok = first.state == nev::receipt::State::kPrinted && first.total &&
                    *first.total > 4.74 && *first.total < 4.76 && again.from_journal &&
                    again.receipt_number == first.receipt_number;
    std::printf("receipt %s\n", ok ? "ok" : "wrong");
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receipt: %s\n", e.what());
    return 1;
  }
}
