// Receipt documents: JSON in, a checked Document out. Everything is validated before anything is
// sent, and every error names the JSON path of the field at fault.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "nev/receipt.h"
#include "receipt/text_rules.h"

namespace nev::receipt {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxDocumentBytes = 1 << 20;
constexpr std::size_t kMaxItems = 500;
constexpr std::size_t kMaxPayments = 8;
constexpr double kMaxAmount = 9999999.99;
constexpr double kMaxQuantity = 99999.999;
constexpr double kMaxCentQuantity = 99999.99;

std::string Join(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

std::string Index(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

[[noreturn]] void Fail(const std::string& path, const std::string& why) {
  throw DocumentError(path, why);
}

void OnlyKeys(const json& object, const std::string& path, std::set<std::string> allowed) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (!allowed.count(it.key())) Fail(Join(path, it.key()), "unknown field");
  }
}

const json& Need(const json& object, const std::string& path, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) Fail(Join(path, key), "missing");
  return *it;
}

const json& Object(const json& value, const std::string& path) {
  if (!value.is_object()) Fail(path, "must be an object");
  return value;
}

// The decimal places of v in its shortest text that reads back to the same double: 1.10 has
// one, 9999999.99 two, 1000.001 three, 1e-7 seven. Exact for every decimal of up to 15
// significant digits (each is the shortest text of its own double), so for every amount below
// 10^13 written with cents.
int DecimalPlaces(double v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific).ptr;
  const std::string_view s(text, static_cast<std::size_t>(end - text));  // "-d.ddde-07"
  const std::size_t e = s.find('e');
  int digits = 0;
  for (std::size_t i = 0; i < e; ++i) digits += s[i] >= '0' && s[i] <= '9';
  std::size_t at = e + 1;
  if (s[at] == '+') ++at;
  int exponent = 0;
  std::from_chars(s.data() + at, s.data() + s.size(), exponent);
  return std::max(0, digits - 1 - exponent);
}

// A JSON number, finite, within [lo, hi], with at most `decimals` decimal places: the device
// would round any further ones away without a word.
double Number(const json& value, const std::string& path, double lo, double hi, int decimals) {
  if (!value.is_number()) Fail(path, "must be a number");
  const double v = value.get<double>();
  if (!std::isfinite(v)) Fail(path, "must be a finite number");
  if (v < lo || v > hi) {
    char range[96];
    std::snprintf(range, sizeof range, "must be from %.*f to %.*f", decimals, lo, decimals, hi);
    Fail(path, range);
  }
  if (DecimalPlaces(v) > decimals)
    Fail(path, "has more than " + std::to_string(decimals) + " decimal places");
  return v;
}

int Whole(const json& value, const std::string& path, int lo, int hi) {
  if (!value.is_number_integer()) Fail(path, "must be a whole number");
  const int64_t v = value.is_number_unsigned()
                        ? static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX))
                        : value.get<int64_t>();
  if (v < lo || v > hi)
    Fail(path, "must be from " + std::to_string(lo) + " to " + std::to_string(hi));
  return static_cast<int>(v);
}

std::string Text(const json& value, const std::string& path, std::size_t max_chars,
                 bool allow_empty = false) {
  if (!value.is_string()) Fail(path, "must be a text");
  const std::string text = value.get<std::string>();
  if (!allow_empty && text.empty()) Fail(path, "must not be empty");
  if (const std::string why = CheckDeviceText(text, max_chars); !why.empty()) Fail(path, why);
  return text;
}

std::string Digits(const json& value, const std::string& path, std::size_t min_len,
                   std::size_t max_len) {
  if (!value.is_string()) Fail(path, "must be a text of digits");
  const std::string text = value.get<std::string>();
  if (text.size() < min_len || text.size() > max_len)
    Fail(path,
         "must have " + std::to_string(min_len) + " to " + std::to_string(max_len) + " digits");
  for (char c : text) {
    if (c < '0' || c > '9') Fail(path, "must hold digits only");
  }
  return text;
}

Operator ParseOperator(const json& doc) {
  const std::string path = "operator";
  const json& o = Object(Need(doc, "", "operator"), path);
  OnlyKeys(o, path, {"number", "password"});
  Operator op;
  op.number = Whole(Need(o, path, "number"), Join(path, "number"), 1, 16);
  op.password = Digits(Need(o, path, "password"), Join(path, "password"), 1, 8);
  return op;
}

std::string GroupLetter(const json& value, const std::string& path) {
  if (!value.is_string()) Fail(path, "must be a text");
  const std::string g = value.get<std::string>();
  static const std::set<std::string> kGroups = {"A", "B", "C", "А", "Б", "В"};
  if (!kGroups.count(g)) Fail(path, "must be A, B or C");
  return g;
}

Item ParseItem(const json& value, const std::string& path) {
  const json& o = Object(value, path);
  Item item;
  if (o.contains("comment")) {
    OnlyKeys(o, path, {"comment"});
    item.type = Item::kComment;
    item.text = Text(o["comment"], Join(path, "comment"), kMaxTextChars);
    return item;
  }
  if (o.contains("text")) {
    OnlyKeys(o, path, {"text", "taxGroup", "quantity", "price"});
    item.type = Item::kTaxGroup;
    item.text = Text(o["text"], Join(path, "text"), kMaxTextChars);
    item.tax_group = GroupLetter(Need(o, path, "taxGroup"), Join(path, "taxGroup"));
  } else if (o.contains("article")) {
    OnlyKeys(o, path, {"article", "quantity", "price"});
    item.type = Item::kArticle;
    item.number = Whole(o["article"], Join(path, "article"), 1, 9999);
  } else if (o.contains("department")) {
    OnlyKeys(o, path, {"department", "quantity", "price"});
    item.type = Item::kDepartment;
    item.number = Whole(o["department"], Join(path, "department"), 1, 99);
  } else {
    Fail(path, "must have one of text, article, department or comment");
  }
  // A department item's quantity travels as a general text, which keeps three decimals; text
  // and article items send theirs as an amount text, which keeps two.
  const bool milli = item.type == Item::kDepartment;
  item.quantity = Number(Need(o, path, "quantity"), Join(path, "quantity"), 0,
                         milli ? kMaxQuantity : kMaxCentQuantity, milli ? 3 : 2);
  if (item.quantity <= 0) Fail(Join(path, "quantity"), "must be more than 0");
  item.price = Number(Need(o, path, "price"), Join(path, "price"), 0, kMaxAmount, 2);
  return item;
}

Adjustment ParseAdjustment(const json& value) {
  const std::string path = "adjustment";
  const json& o = Object(value, path);
  Adjustment a;
  if (o.contains("percent") && o.contains("amount"))
    Fail(path, "must have percent or amount, not both");
  if (o.contains("percent")) {
    OnlyKeys(o, path, {"percent"});
    a.percent = true;
    a.value = Number(o["percent"], Join(path, "percent"), -99.99, 99.99, 2);
    if (a.value == 0) Fail(Join(path, "percent"), "must not be 0");
  } else if (o.contains("amount")) {
    OnlyKeys(o, path, {"amount"});
    a.percent = false;
    a.value = Number(o["amount"], Join(path, "amount"), -kMaxAmount, kMaxAmount, 2);
    if (a.value == 0) Fail(Join(path, "amount"), "must not be 0");
  } else {
    Fail(path, "must have percent or amount");
  }
  return a;
}

Payment ParsePayment(const json& value, const std::string& path) {
  const json& o = Object(value, path);
  OnlyKeys(o, path, {"type", "amount"});
  Payment p;
  p.type = Whole(Need(o, path, "type"), Join(path, "type"), 1, 4);
  if (o.contains("amount")) {
    p.amount = Number(o["amount"], Join(path, "amount"), 0, kMaxAmount, 2);
    if (*p.amount <= 0) Fail(Join(path, "amount"), "must be more than 0");
  }
  return p;
}

std::string ParseId(const json& doc) {
  const json& v = Need(doc, "", "id");
  if (!v.is_string()) Fail("id", "must be a text");
  const std::string id = v.get<std::string>();
  if (id.empty() || id.size() > 64) Fail("id", "must have 1 to 64 characters");
  for (char c : id) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == ':' || c == '/';
    if (!ok) Fail("id", "may hold only letters, digits and - _ . : /");
  }
  return id;
}

}  // namespace

Document ParseDocument(const std::string& json_text) {
  if (json_text.size() > kMaxDocumentBytes) Fail("", "the document is larger than 1 MiB");
  json doc;
  try {
    doc = json::parse(json_text);
  } catch (const json::parse_error& e) {
    Fail("", std::string("not valid JSON: ") + e.what());
  } catch (const json::exception& e) {
    // A number too large for a double (1e400) is refused while parsing, before any path exists.
    Fail("", std::string("a number cannot be read: ") + e.what());
  }
  if (!doc.is_object()) Fail("", "the document must be a JSON object");
  Document d;
  d.id = ParseId(doc);
  std::string kind = "sale";
  if (doc.contains("kind")) {
    if (!doc["kind"].is_string()) Fail("kind", "must be a text");
    kind = doc["kind"].get<std::string>();
  }
  if (kind == "z") {
    OnlyKeys(doc, "", {"id", "kind"});
    d.kind = Kind::kZReport;
  } else if (kind == "cash") {
    OnlyKeys(doc, "", {"id", "kind", "operator", "type", "amount"});
    d.kind = Kind::kCash;
    d.op = ParseOperator(doc);
    d.cash_type = doc.contains("type") ? Whole(doc["type"], "type", 1, 4) : 1;
    d.cash_amount = Number(Need(doc, "", "amount"), "amount", -kMaxAmount, kMaxAmount, 2);
    if (d.cash_amount == 0) Fail("amount", "must not be 0");
  } else if (kind == "sale") {
    OnlyKeys(doc, "", {"id", "kind", "operator", "invoice", "items", "adjustment", "payments"});
    d.kind = Kind::kSale;
    d.op = ParseOperator(doc);
    if (doc.contains("invoice")) d.invoice = Digits(doc["invoice"], "invoice", 9, 13);
    const json& items = Need(doc, "", "items");
    if (!items.is_array()) Fail("items", "must be an array");
    if (items.empty()) Fail("items", "must not be empty");
    if (items.size() > kMaxItems) Fail("items", "has more than 500 items");
    bool sold = false;
    for (std::size_t i = 0; i < items.size(); ++i) {
      d.items.push_back(ParseItem(items[i], Index("items", i)));
      if (d.items.back().type != Item::kComment) sold = true;
    }
    if (!sold) Fail("items", "must sell at least one item");
    if (doc.contains("adjustment")) d.adjustment = ParseAdjustment(doc["adjustment"]);
    const json& payments = Need(doc, "", "payments");
    if (!payments.is_array()) Fail("payments", "must be an array");
    if (payments.empty()) Fail("payments", "must not be empty");
    if (payments.size() > kMaxPayments) Fail("payments", "has more than 8 payments");
    for (std::size_t i = 0; i < payments.size(); ++i)
      d.payments.push_back(ParsePayment(payments[i], Index("payments", i)));
  } else {
    Fail("kind", "must be sale, cash or z");
  }
  d.source = doc.dump();
  return d;
}

}  // namespace nev::receipt
