#include "memory.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "device.h"
#include "paper.h"

namespace campaign {

namespace {

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "CC DDDD...": the command code and its data in hex; false for a line that is not one.
bool DecodeLine(const std::string& line, uint8_t& cmd, std::string& data) {
  if (line.size() < 3 || line[2] != ' ' || (line.size() - 3) % 2 != 0) return false;
  const int hi = Nibble(line[0]), lo = Nibble(line[1]);
  if (hi < 0 || lo < 0) return false;
  cmd = static_cast<uint8_t>(hi * 16 + lo);
  data.clear();
  for (std::size_t i = 3; i + 1 < line.size(); i += 2) {
    const int h = Nibble(line[i]), l = Nibble(line[i + 1]);
    if (h < 0 || l < 0) return false;
    data += static_cast<char>(h * 16 + l);
  }
  return true;
}

// The first word of a text field (up to the first TAB): the document id the campaign puts there.
std::string FirstWord(const std::string& data) {
  const std::string field = data.substr(0, data.find('\t'));
  return field.substr(0, field.find(' '));
}

std::string Field(const std::string& data, int index) {
  std::size_t from = 0;
  for (int i = 0; i < index; ++i) {
    from = data.find('\t', from);
    if (from == std::string::npos) return {};
    ++from;
  }
  return data.substr(from, data.find('\t', from) - from);
}

}  // namespace

DeviceMemory ReadDeviceMemory(const std::string& state_path, long long limit) {
  std::ifstream in(state_path, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (limit >= 0 && static_cast<std::size_t>(limit) < text.size()) text.resize(limit);

  nevsim::Paper paper(32);
  nevsim::Device device(paper);
  DeviceMemory memory;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
    uint8_t cmd = 0;
    std::string data;
    if (!DecodeLine(text.substr(from, end - from), cmd, data)) break;
    const nevsim::Answer a = device.Command(cmd, data);
    const bool open =
        !memory.receipts.empty() && memory.receipts.back().state == DeviceReceipt::kOpen;
    switch (cmd) {
      case 0x83:  // OpenFiscNote
        memory.receipts.push_back({});
        memory.receipts.back().number = std::atoi(a.data.c_str());
        break;
      case 0x86:  // SellTaxGroup
      case 0x85:  // FiscText
        if (open) memory.receipts.back().docs.insert(FirstWord(data));
        break;
      case 0x84:  // CloseFiscNote: "number TAB total"
        if (open) {
          memory.receipts.back().state = DeviceReceipt::kClosed;
          memory.receipts.back().total = Field(a.data, 1);
        }
        break;
      case 0x8C:  // VoidAll
        if (open) memory.receipts.back().state = DeviceReceipt::kVoided;
        break;
      default:
        break;
    }
  }
  const nevsim::Answer info = device.Command(0xA0, "");  // ECRInfo: "NEV-SIM TAB serial ..."
  memory.serial = Field(info.data, 1);
  return memory;
}

}  // namespace campaign
