// What the transaction runner needs of a fiscal device, one call per step. The one
// implementation that talks to the NEV object is in nev_device.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nev/outcome.h"
#include "nev/receipt.h"

namespace nev::receipt {

struct Answer {
  std::string member;
  Outcome outcome = Outcome::kNoConnection;
  std::optional<std::string> reply;  // the reply frame's data (UTF-8)
  StatusFlags flags;
  std::string error;                  // the run-time error's description, if any
  std::optional<ErrorRecord> record;  // the run-time error itself (or the failed open's)

  bool ok() const { return outcome == Outcome::kAnswered; }
  // The command may have reached the device, but its answer did not come back.
  bool lost() const { return outcome == Outcome::kTimeout || outcome == Outcome::kPortError; }
};

class Device {
 public:
  virtual ~Device() = default;
  // Closes the line and opens it again; true when the device answered the probe.
  virtual bool Reconnect() = 0;

  virtual Answer OpenFiscal(const Operator& op, const std::optional<std::string>& invoice) = 0;
  virtual Answer Sell(const Item& item) = 0;  // a comment prints as free text
  virtual Answer Adjust(const Adjustment& adjustment) = 0;
  virtual Answer SubTotal() = 0;
  virtual Answer Pay(const Payment& payment) = 0;
  virtual Answer Close() = 0;
  virtual Answer Void() = 0;
  virtual Answer AddSum(const Operator& op, int type, double amount) = 0;
  virtual Answer ZDay() = 0;
  virtual Answer Counters() = 0;     // receipt counters
  virtual Answer ReceiptInfo() = 0;  // the open receipt's info, else the last one's
  virtual Answer Status() = 0;
  virtual Answer Info() = 0;  // the device's info, with the number of its last Z report
};

// The device behind a NEV object on a line. Connects when the object is not connected.
std::unique_ptr<Device> MakeNevDevice(NEV& printer, const Line& line);

}  // namespace nev::receipt
