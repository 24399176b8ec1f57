// The receipt document parser: whatever the text, ParseDocument returns a document or throws
// DocumentError (nothing else escapes), and a document it returns keeps to its limits and reads
// back from its own normalised source as the same document.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "nev/receipt.h"

namespace {

using nev::receipt::Document;

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Finite(double v) {
  return std::isfinite(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Document doc;
  try {
    doc = nev::receipt::ParseDocument(text);
  } catch (const nev::receipt::DocumentError&) {
    return 0;
  }
  Check(!doc.id.empty());
  Check(doc.items.size() <= 500 && doc.payments.size() <= 8);
  for (const nev::receipt::Item& item : doc.items) {
    Check(Finite(item.quantity) && Finite(item.price));
  }
  for (const nev::receipt::Payment& p : doc.payments) Check(!p.amount || Finite(*p.amount));
  Check(Finite(doc.cash_amount));
  const Document again = nev::receipt::ParseDocument(doc.source);  // must not throw
  Check(again.source == doc.source && again.id == doc.id && again.kind == doc.kind);
  Check(again.items.size() == doc.items.size() && again.payments.size() == doc.payments.size());
  return 0;
}
