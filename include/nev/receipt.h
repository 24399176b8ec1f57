// Receipts as transactions: a JSON document runs as one transaction on one NEV object, with a
// durable journal so that a document id is printed at most once, whatever fails on the way.
//
//   nev::receipt::Document doc = nev::receipt::ParseDocument(text);  // throws DocumentError
//   nev::receipt::Journal journal("receipts.db");
//   nev::receipt::Line line{"/dev/ttyS0", 9600};
//   nev::receipt::Result r = nev::receipt::Submit(printer, line, journal, doc);
//   std::cout << nev::receipt::ResultJson(r);
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nev {
class NEV;
}

namespace nev::receipt {

// A document that cannot be run: path names the field ("items[2].price"; empty for the whole
// document), what() says what is wrong with it.
class DocumentError : public std::runtime_error {
 public:
  DocumentError(std::string path, const std::string& message)
      : std::runtime_error(path.empty() ? message : path + ": " + message),
        path_(std::move(path)) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

enum class Kind { kSale, kCash, kZReport };

struct Operator {
  int number = 1;
  std::string password;
};

struct Item {
  enum Type { kTaxGroup, kArticle, kDepartment, kComment } type = kTaxGroup;
  std::string text;       // kTaxGroup: the name; kComment: the printed text
  std::string tax_group;  // kTaxGroup: "A", "B", "C" (or Cyrillic "А", "Б", "В")
  int number = 0;         // kArticle, kDepartment
  double quantity = 0, price = 0;
};

struct Adjustment {
  bool percent = true;  // a percentage of the subtotal, else a sum of money
  double value = 0;     // negative: a discount
};

struct Payment {
  int type = 1;                  // 1 cash, 2 card, 3 cheque, 4 voucher
  std::optional<double> amount;  // absent: pays what is still due
};

struct Document {
  std::string id;
  Kind kind = Kind::kSale;
  Operator op;
  std::optional<std::string> invoice;
  std::vector<Item> items;
  std::optional<Adjustment> adjustment;
  std::vector<Payment> payments;
  double cash_amount = 0;  // kCash: money in (positive) or out (negative)
  int cash_type = 1;       // kCash: payment type of the money
  std::string source;      // the document as JSON (normalised)
};

// Parses and validates everything before anything is sent. Throws DocumentError.
Document ParseDocument(const std::string& json_text);

enum class State { kPrinted, kVoided, kRefused, kUnknown };
const char* StateName(State state);  // "printed", "voided", "refused", "unknown"

struct Step {
  std::string member;
  std::string outcome;               // an outcome name ("answered", "timeout", ...)
  std::optional<std::string> reply;  // the reply frame's data, when one came
};

struct Error {
  std::string step;     // the member that failed
  std::string outcome;  // its outcome name
  std::string message;
  // The driver's own error record, when it raised one (number 0: none): its number and
  // description, the port and speed the line tried, and what to do about it.
  int32_t number = 0;
  std::string description{};
  std::string port{};
  int32_t speed = 0;
  std::string remedy{};
};

struct Result {
  std::string id;
  State state = State::kUnknown;
  std::optional<int> receipt_number;
  std::optional<double> total, change;
  std::vector<Step> steps;
  std::optional<Error> error;
  std::vector<std::string> evidence;  // what reconciliation saw (for an operator)
  std::vector<std::string> warnings;  // what went wrong without changing the state (the journal)
  std::optional<std::string> device;  // the serial number of the device that ran it
  bool from_journal = false;          // the recorded result of an earlier submission
};

// One JSON object: {"id", "state", "receiptNumber", "total", "change", "steps", "error",
// "evidence", "warnings", "device"}; error is {"step", "outcome", "message"} and, when the driver
// raised an error, "number", "description", "port", "speed" and "remedy". error.outcome is an
// outcome name, or one of the journal's own: "journal-busy" (another device holds the journal),
// "journal-behind" (the device has printed what the journal does not account for), "receipt-open"
// (the device has a receipt open that the journal did not open), "unidentified" (the device did not
// tell its serial number).
std::string ResultJson(const Result& result);
Result ResultFromJson(const std::string& json_text);

// The line to reopen when it died: a port text (nev/port_spec.h: a device path, a port number,
// tcp://HOST:PORT or rfc2217://HOST:PORT) and the baud rate.
struct Line {
  std::string device;
  int32_t baud = 9600;
};

// One journal row.
struct JournalEntry {
  std::string id;
  std::string kind;
  std::string step;                   // the last step written ahead
  std::optional<std::string> state;   // absent while unfinished
  std::string document;               // JSON
  std::optional<std::string> result;  // JSON, once finished
  std::string updated;                // UTC time of the last write
  std::optional<std::string> device;  // the serial number of the device it began on
};

// The current UTC time as the journal writes it: "2026-12-07T05:20:00Z".
std::string UtcTimestamp();

// The durable journal: SQLite in WAL mode, one row per document id, synced to disk before the
// device is changed. Throws std::runtime_error when the file cannot be opened or written.
class Journal {
 public:
  explicit Journal(const std::string& path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  std::vector<JournalEntry> List() const;
  std::optional<JournalEntry> Find(const std::string& id) const;

  struct Impl;

 private:
  friend Impl& StoreOf(Journal& journal);  // the receipt library's way in

  std::unique_ptr<Impl> impl_;
};

// How a journal treats its device.
struct Policy {
  // Other programs print on the device too: figures of the device ahead of the journal are a
  // warning, not a reason to stop.
  bool shared = false;
  // How long to wait for another process that holds the journal for the same device.
  int lock_wait_ms = 60000;
};

// Settles every unfinished transaction of the journal that began on the device answering on the
// line (through printer, connected to line, or connected by this call). Returns the settled
// results; rows of another device are left for that device.
std::vector<Result> Settle(NEV& printer, const Line& line, Journal& journal,
                           const Policy& policy = {});

// Runs the document as one transaction: settles unfinished work first; a document id already in
// the journal returns its recorded result and sends nothing. The printer is connected to line
// (or connected by this call when it is not). Before anything is sent, the device must be the one
// the journal knows (its serial number), must not be ahead of the journal (unless shared), and
// must have no receipt open that the journal did not open. Once something was sent, a journal
// that cannot be written does not change the result: it is reported in the result's warnings.
Result Submit(NEV& printer, const Line& line, Journal& journal, const Document& doc,
              const Policy& policy = {});

// Voids a fiscal receipt that is open on the device although no row of the journal opened it
// (after unfinished rows are settled). The result is "voided", or "refused" with the reason.
Result VoidOpen(NEV& printer, const Line& line, Journal& journal, const Policy& policy = {});

// The operator's word that the journal is to account for everything the device has printed so
// far (after a journal was restored or damaged, or the device was used by another program).
// Returns what was accepted, as a sentence; throws std::runtime_error when the device could not
// be read or the journal not written.
std::string AcceptDevice(NEV& printer, const Line& line, Journal& journal,
                         const Policy& policy = {});

// What a journal says of the device answering on the line, read without changing either (for a
// technician's check): the device's serial number (empty when it did not tell), whether another
// process holds the journal (holder names it), the unfinished rows of this device, and how the
// device is ahead of what the journal accounts for (empty when it is not, or cannot be told).
struct JournalCheck {
  std::string serial;
  bool held = false;
  std::string holder;
  int unfinished = 0;
  std::string behind;
};
JournalCheck CheckJournal(NEV& printer, const Line& line, Journal& journal);

// The same without a journal (nothing is remembered).
Result Run(NEV& printer, const Line& line, const Document& doc);

}  // namespace nev::receipt
