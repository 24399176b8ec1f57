// Receipt documents: what parses, and every refusal naming the field's JSON path.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "nev/receipt.h"

namespace {

using nev::receipt::Document;
using nev::receipt::DocumentError;
using nev::receipt::Item;
using nev::receipt::Kind;
using nev::receipt::ParseDocument;

const char* kSale = R"({"id": "till7-000123", "operator": {"number": 1, "password": "0000"},
  "invoice": "123456789",
  "items": [{"text": "Хляб", "taxGroup": "Б", "quantity": 1, "price": 1.89},
            {"article": 3, "quantity": 2, "price": 1.80},
            {"department": 1, "quantity": 1.5, "price": 4.5},
            {"comment": "Благодарим! №1 – «добре»"}],
  "adjustment": {"amount": -1.50}, "payments": [{"type": 2, "amount": 5}, {"type": 1}]})";

// The path the document's error names ("" when it parsed).
std::string PathOf(const std::string& text) {
  try {
    ParseDocument(text);
  } catch (const DocumentError& e) {
    return e.path().empty() ? "(document)" : e.path();
  }
  return "";
}

// The sale document with one piece of its text replaced.
std::string Sale(const std::string& from, const std::string& to) {
  std::string text = kSale;
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(ReceiptDocument, EachKindOfDocumentAndItemParsesAsWritten) {
  const Document d = ParseDocument(kSale);
  EXPECT_EQ(d.id, "till7-000123");
  EXPECT_EQ(d.kind, Kind::kSale);
  EXPECT_EQ(d.op.number, 1);
  EXPECT_EQ(d.op.password, "0000");
  EXPECT_EQ(d.invoice, "123456789");
  ASSERT_EQ(d.items.size(), 4u);
  EXPECT_EQ(d.items[0].type, Item::kTaxGroup);
  EXPECT_EQ(d.items[0].tax_group, "Б");
  EXPECT_EQ(d.items[1].type, Item::kArticle);
  EXPECT_EQ(d.items[1].number, 3);
  EXPECT_DOUBLE_EQ(d.items[2].quantity, 1.5);
  EXPECT_EQ(d.items[3].type, Item::kComment);
  ASSERT_TRUE(d.adjustment);
  EXPECT_FALSE(d.adjustment->percent);
  EXPECT_DOUBLE_EQ(d.adjustment->value, -1.5);
  ASSERT_EQ(d.payments.size(), 2u);
  EXPECT_FALSE(d.payments[1].amount);  // pays what is due
  // The normalised source parses to the same document.
  EXPECT_EQ(ParseDocument(d.source).source, d.source);

  // Cash in or out, and Z reports, are documents of their own kind.
  const Document cash = ParseDocument(
      R"({"id": "c1", "kind": "cash", "operator": {"number": 2, "password": "1"}, "amount": -20})");
  EXPECT_EQ(cash.kind, Kind::kCash);
  EXPECT_DOUBLE_EQ(cash.cash_amount, -20);
  EXPECT_EQ(cash.cash_type, 1);
  EXPECT_EQ(ParseDocument(R"({"id": "z1", "kind": "z"})").kind, Kind::kZReport);
}

TEST(ReceiptDocument, EachBadFieldIsNamedByItsPath) {
  struct Case {
    std::string from, to, path;
  };
  const Case cases[] = {
      {R"("price": 1.80})", R"("price": 1.80, "colour": "red"})", "items[1].colour"},
      {R"("price": 1.89)", R"("price": "1.89")", "items[0].price"},
      {R"("price": 1.89)", R"("price": 1e400)", "(document)"},  // refused by the parser
      {R"("price": 1.89)", R"("price": 1e300)", "items[0].price"},
      {R"("price": 1.89)", R"("price": -1)", "items[0].price"},
      {R"("price": 1.89)", R"("price": 1.891)", "items[0].price"},
      {R"("quantity": 2,)", R"("quantity": 0,)", "items[1].quantity"},
      {R"("quantity": 2,)", R"("quantity": 1.0001,)", "items[1].quantity"},
      {R"("article": 3)", R"("article": 3.5)", "items[1].article"},
      {R"("article": 3)", R"("article": 18446744073709551615)", "items[1].article"},
      {R"("department": 1)", R"("department": -1)", "items[2].department"},
      {R"("Хляб")", R"("Хляб\tмек")", "items[0].text"},
      {R"("Хляб")", R"("Хляб\u0001")", "items[0].text"},
      {R"("Хляб")", R"("Хляб 漢")", "items[0].text"},
      {R"("Хляб")", R"("")", "items[0].text"},
      {R"("Хляб")", "\"" + std::string(49, 'x') + "\"", "items[0].text"},
      {R"("taxGroup": "Б")", R"("taxGroup": "D")", "items[0].taxGroup"},
      {R"({"comment": "Благодарим! №1 – «добре»"})", R"({"comment": "a", "price": 1})",
       "items[3].price"},
      {R"({"comment": "Благодарим! №1 – «добре»"})", R"({"sku": 1})", "items[3]"},
      {R"("number": 1,)", R"("number": 17,)", "operator.number"},
      {R"("password": "0000")", R"("password": "00a0")", "operator.password"},
      {R"("invoice": "123456789")", R"("invoice": "12345")", "invoice"},
      {R"({"amount": -1.50})", R"({"amount": -1.50, "percent": 5})", "adjustment"},
      {R"({"amount": -1.50})", R"({"percent": 100})", "adjustment.percent"},
      {R"({"type": 1})", R"({"type": 5})", "payments[1].type"},
      {R"("amount": 5})", R"("amount": 0})", "payments[0].amount"},
      {R"("id": "till7-000123")", R"("id": "till 7")", "id"},
      {R"("id": "till7-000123")", R"("id": 7)", "id"},
  };
  for (const Case& c : cases) EXPECT_EQ(PathOf(Sale(c.from, c.to)), c.path) << c.to;
}

// The device rounds away what an amount has beyond two decimals (a department's quantity beyond
// three), so such a value is refused, decided on the value as written at every magnitude.
TEST(ReceiptDocument, DecimalsTheDeviceWouldRoundAwayAreRefused) {
  const char* kCash = R"({"id": "c1", "kind": "cash", "operator": {"number": 2, "password": "1"},
                         "amount": -20})";
  // Where each field's value is written: in which document, what it replaces.
  struct Field {
    const char* document;
    std::string from, to;
  };
  const std::map<std::string, Field> fields = {
      {"items[0].price", {kSale, R"("price": 1.89)", R"("price": )"}},
      {"items[0].quantity", {kSale, R"("Б", "quantity": 1)", R"("Б", "quantity": )"}},
      {"items[1].quantity", {kSale, R"("quantity": 2)", R"("quantity": )"}},
      {"items[2].quantity", {kSale, R"("quantity": 1.5)", R"("quantity": )"}},
      {"adjustment.amount", {kSale, R"({"amount": -1.50)", R"({"amount": )"}},
      {"adjustment.percent", {kSale, R"({"amount": -1.50)", R"({"percent": )"}},
      {"payments[0].amount", {kSale, R"("type": 2, "amount": 5)", R"("type": 2, "amount": )"}},
      {"amount", {kCash, R"("amount": -20)", R"("amount": )"}},
  };
  // Per field: values taken, and values refused.
  const struct {
    const char* field;
    std::vector<std::string> accepted, refused;
  } cases[] = {
      {"items[0].price",
       {"1.1", "1.10", "0.07", "9999999.99"},
       {"1000.001", "123456.785", "99999.9949", "0.005", "1e-7", "0.30000000000000004"}},
      {"items[0].quantity", {}, {"0.125"}},  // a text item's quantity goes as an amount text
      {"items[1].quantity", {"2.25", "99999.99"}, {"1.125", "0.001"}},  // and so does an article's
      {"items[2].quantity", {"0.001", "99999.999"}, {"1.0001", "1000.0001", "12345.6785"}},
      {"adjustment.amount", {"-0.01"}, {"-123456.785"}},
      {"adjustment.percent", {"-12.5", "99.99"}, {"12.345", "99.98999"}},
      {"payments[0].amount", {"0.07", "9999999.99"}, {"99999.9949"}},
      {"amount", {"-9999999.99"}, {"-1000.001", "1e-7"}},
  };
  for (const auto& c : cases) {
    const Field& f = fields.at(c.field);
    for (const bool accepted : {true, false}) {
      for (const std::string& value : accepted ? c.accepted : c.refused) {
        std::string text = f.document;
        text.replace(text.find(f.from), f.from.size(), f.to + value);
        EXPECT_EQ(PathOf(text), accepted ? "" : c.field) << c.field << " = " << value;
      }
    }
  }
}

// Whole documents refused: receipts that cannot close, reports carrying what is not theirs, and
// texts that are no document.
TEST(ReceiptDocument, DocumentsThatCannotRunAreRefused) {
  const std::string op = R"({"id": "a", "operator": {"number": 1, "password": "0"}, )";
  const std::pair<std::string, std::string> cases[] = {
      {op + R"("items": [], "payments": [{"type": 1}]})", "items"},
      // Only comments: nothing is sold, so nothing could be paid.
      {op + R"("items": [{"comment": "x"}], "payments": [{"type": 1}]})", "items"},
      {op + R"("items": [{"article": 1, "quantity": 1, "price": 0}], "payments": []})", "payments"},
      {R"({"id": "z1", "kind": "z", "items": []})", "items"},
      {R"({"id": "c1", "kind": "cash", "operator": {"number": 2, "password": "1"}, "amount": 0})",
       "amount"},
      {R"({"id": "x", "kind": "refund"})", "kind"},
      {"[1, 2]", "(document)"},
      {std::string(200000, '[') + std::string(200000, ']'), "(document)"},
      {std::string(2 << 20, ' ') + "{}", "(document)"},
      {"{\"id\": \"a\"", "(document)"},
      {"{\"id\": \"a\xff\"}", "(document)"},  // not UTF-8: the parser says no
  };
  for (const auto& [text, path] : cases) EXPECT_EQ(PathOf(text), path) << text.substr(0, 80);
}

TEST(ReceiptResult, ItsJsonReadsBackTheSame) {
  nev::receipt::Result r;
  r.id = "till7-1";
  r.state = nev::receipt::State::kUnknown;
  r.receipt_number = 17;
  r.total = 8.99;
  r.steps.push_back({"CloseFiscNote", "timeout", std::nullopt});
  r.steps.push_back({"NoteInfo", "answered", std::string("17\t3\t8.99\t20.00")});
  r.error = nev::receipt::Error{"CloseFiscNote", "timeout", "no answer"};
  r.evidence.push_back("the line is reopened");
  const std::string json = nev::receipt::ResultJson(r);
  EXPECT_NE(json.find(R"("state":"unknown")"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("change":null)"), std::string::npos) << json;
  EXPECT_EQ(nev::receipt::ResultJson(nev::receipt::ResultFromJson(json)), json);
}

}  // namespace
