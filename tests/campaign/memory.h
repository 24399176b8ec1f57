// A simulated device's memory as the campaign's checker sees it: the state file nev-sim keeps
// (every accepted command that changed the device), read without writing and replayed through
// the simulator's device, so that each fiscal receipt is known with its number, total, state and
// the documents whose items it holds.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace campaign {

struct DeviceReceipt {
  int number = 0;
  std::string total;           // as the device answered the close ("9.99")
  std::set<std::string> docs;  // document ids named by the first word of its item texts
  enum State { kOpen, kClosed, kVoided } state = kOpen;
};

struct DeviceMemory {
  std::string serial;
  std::vector<DeviceReceipt> receipts;  // fiscal receipts in the order they were opened
};

// The memory held by the first `limit` bytes of the state file (the whole file when limit is
// negative). A torn last line is left out, as the device does when it starts.
DeviceMemory ReadDeviceMemory(const std::string& state_path, long long limit = -1);

}  // namespace campaign
