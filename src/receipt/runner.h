// The transaction runner: one document (or one unfinished row) on one device, the journal beside.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "nev/receipt.h"
#include "receipt/device.h"
#include "receipt/journal_store.h"

namespace nev::receipt {

// What is read of the device before anything is sent: who it is and where it stands.
struct Preflight {
  std::string serial;  // empty: the device did not tell
  std::optional<int> last_z;
  std::optional<Counters> counters;  // with the status flags of their reply
  StatusFlags flags;
  std::vector<Step> steps;
  std::optional<Answer> failed;  // the read that failed, if one did
};

// Reads the device's info (serial number, last Z) and its receipt counters.
Preflight ReadDevice(Device& dev);

// Runs the document from its preflight. rec may be null (no journal).
Result RunDocument(Device& dev, Recorder* rec, const Document& doc, const Preflight& pre);

// Settles an unfinished row: nothing is repeated, the device is asked.
Result SettleRow(Device& dev, Recorder* rec, const Progress& row, const Preflight& pre);

// The driver's error record, whole, into a result's error (nothing when there is none).
void CarryRecord(Error& error, const std::optional<ErrorRecord>& record);

const char* KindName(Kind kind);
Kind KindOf(const std::string& name);

// The steps as the journal keeps them (JSON).
std::string StepsJson(const std::vector<Step>& steps);
std::vector<Step> StepsFromJson(const std::string& json_text);

}  // namespace nev::receipt
