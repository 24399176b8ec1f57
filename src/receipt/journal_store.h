// The journal's rows as the runner writes them: begun, each step written ahead, finished; and what
// the journal has seen of each device.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nev/receipt.h"

namespace nev::receipt {

// Receipt counters of the day (GetNumberofNotes).
struct Counters {
  int last = 0, fiscal = 0, voided = 0;
};

// What the journal accounts for on one device: its last Z report and the day's fiscal and voided
// receipts after it. A device whose figures are ahead of these has printed what the journal does
// not know of.
struct Seen {
  int z = 0, fiscal = 0, voided = 0;
};

// What the runner knows of an unfinished transaction.
struct Progress {
  std::string id, kind, step, document;
  std::string device;  // the serial number of the device it began on (empty in old journals)
  std::optional<Counters> before;
  std::optional<int> receipt_number;
  std::optional<double> expected_total;
  std::optional<double> change;
  std::string steps_json = "[]";  // the steps made so far
};

// Where the runner writes. Begin (the intent, before the first step that changes the device) is on
// disk when it returns; Update (a step reached) and Finish (the outcome) survive the end of the
// process but not a power cut: a row that loses them is unfinished again, and the device, asked,
// tells what they told.
class Recorder {
 public:
  virtual ~Recorder() = default;
  virtual void Begin(const Progress& p) = 0;
  virtual void Update(const Progress& p) = 0;
  // seen: the device's figures after this transaction, when they are known.
  virtual void Finish(const Progress& p, State state, const std::string& result_json,
                      const std::optional<Seen>& seen) = 0;
};

// A journal held for one device while a transaction or a settling runs. Another process on the
// same device waits for it; one on another device is told which device holds it.
class JournalLock {
 public:
  JournalLock() = default;
  JournalLock(JournalLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  JournalLock& operator=(JournalLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~JournalLock();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  friend struct Journal::Impl;
  explicit JournalLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

struct Journal::Impl : Recorder {
  explicit Impl(const std::string& path);
  ~Impl() override;
  void Begin(const Progress& p) override;
  void Update(const Progress& p) override;
  void Finish(const Progress& p, State state, const std::string& result_json,
              const std::optional<Seen>& seen) override;
  std::vector<Progress> Unfinished() const;
  std::vector<JournalEntry> List(const std::string* id) const;

  // The figures last recorded for a device, if the journal has met it.
  std::optional<Seen> DeviceSeen(const std::string& serial) const;
  // Records them; the first record of a device is also written into the main database file, so
  // that a lost write-ahead log cannot make the journal forget that it has met the device.
  void RecordSeen(const std::string& serial, const Seen& seen);

  // Takes the journal for the device. Empty, with `holder` set to a text naming the device and
  // process that hold it, when another process holds it for another device or does not let go
  // within wait_ms.
  JournalLock Lock(const std::string& serial, int wait_ms, std::string& holder);

  std::string path;
  struct Db;
  Db* db = nullptr;
};

// The store behind a public Journal, which keeps it opaque to its users.
inline Journal::Impl& StoreOf(Journal& journal) {
  return *journal.impl_;
}

}  // namespace nev::receipt
