// Where the device puts what reconciliation reads: field positions (1-based, TAB-separated) in
// the reply data of each command. The default profile matches the simulator's layouts.
#pragma once

#include <optional>
#include <string>

#include "nev/scan.h"

namespace nev::receipt {

struct DeviceProfile {
  int open_number = 1;                                              // OpenFiscNote: receipt number
  int close_number = 1, close_total = 2;                            // CloseFiscNote
  int pay_due = 1, pay_change = 2;                                  // Pay
  int subtotal_total = 1;                                           // SubTotal
  int counters_last = 1, counters_fiscal = 2, counters_voided = 4;  // GetNumberofNotes
  int info_number = 1, info_total = 3;                              // NoteInfo
  int z_number = 1, z_total = 2;                                    // ZDay
  int info_serial = 2;             // ECRInfo: the device's serial number
  int info_last_z = 4;             // ECRInfo: the number of the last Z report
  int info_model = 1;              // ECRInfo: the device's model
  double total_tolerance = 0.005;  // totals that differ by less than this are equal
};

const DeviceProfile& DefaultProfile();

// Scan options that identify devices by this profile's ECRInfo fields (serial number, model).
ScanOptions ScanOptionsFor(const DeviceProfile& profile);

// Field `index` of a reply as text without surrounding blanks, if it is there and not empty.
std::optional<std::string> ReplyText(const std::optional<std::string>& reply, int index);

// Field `index` of a reply as a number ("." or "," as the decimal point), if it is one.
std::optional<double> ReplyNumber(const std::optional<std::string>& reply, int index);

}  // namespace nev::receipt
