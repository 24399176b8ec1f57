// The journal's rows as the runner writes them: begun, each step written ahead, finished.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "nev/receipt.h"

namespace nev::receipt {

// Receipt counters read before the open.
struct Counters {
  int last = 0, fiscal = 0, voided = 0;
};

// What the runner knows of an unfinished transaction.
struct Progress {
  std::string id, kind, step, document;
  std::optional<Counters> before;
  std::optional<int> receipt_number;
  std::optional<double> expected_total;
  std::optional<double> change;
  std::string steps_json = "[]";  // the steps made so far
};

// Where the runner writes ahead. The journal's implementation syncs each write to disk before it
// returns; the runner without a journal writes nowhere.
class Recorder {
 public:
  virtual ~Recorder() = default;
  virtual void Begin(const Progress& p) = 0;   // a new row
  virtual void Update(const Progress& p) = 0;  // step reached and what is known so far
  virtual void Finish(const Progress& p, State state, const std::string& result_json) = 0;
};

struct Journal::Impl : Recorder {
  explicit Impl(const std::string& path);
  ~Impl() override;
  void Begin(const Progress& p) override;
  void Update(const Progress& p) override;
  void Finish(const Progress& p, State state, const std::string& result_json) override;
  std::vector<Progress> Unfinished() const;
  std::vector<JournalEntry> List(const std::string* id) const;

  struct Db;
  Db* db = nullptr;
};

}  // namespace nev::receipt
