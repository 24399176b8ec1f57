// The fiscal device itself: receipts, sales, payments, reports and tables. It takes one command
// at a time (code and data bytes in its code page) and says how to answer; it does no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nevsim/simulator.h"
#include "paper.h"

namespace nevsim {

struct Answer {
  enum Kind { kAck, kNak, kFrame } kind = kAck;
  std::string data;                 // reply frame data (device code page)
  std::array<uint8_t, 3> status{};  // status bytes of a reply frame (bit 7 set)
  bool long_op = false;             // a report that takes a while: SYN keep-alives first
  std::string note;                 // why the command was refused, for traces
};

class Device {
 public:
  explicit Device(Paper& paper);

  Answer Command(uint8_t cmd, const std::string& data);
  Answer NextPiece();  // the bare "N"

  void SetPaperOut(bool out) { paper_out_ = out; }
  void SetSerial(const std::string& serial) { serial_ = serial; }
  bool PaperOut() const { return NoPaper(); }
  void SetOperatorPassword(int op, const std::string& pass) { passwords_[op] = pass; }
  Simulator::Totals Totals() const;
  // Status bytes as they stand now; error sets bit 0 of byte 0.
  std::array<uint8_t, 3> Status(bool error) const;

  enum Reply { kAck, kFrame };       // how an accepted command is answered
  enum Effect { kChanges, kQuery };  // a query leaves the device as it was
  struct CommandInfo {
    uint8_t code;
    const char* name;
    Reply reply;
    Effect effect;
    Answer (Device::*run)(uint8_t cmd, const std::string& data);
  };
  // The command's row, or nullptr for a code the device does not know.
  static const CommandInfo* Find(uint8_t cmd);
  static bool AnsweredByAck(uint8_t cmd);
  // A known command that changes the device (what a durable state must keep).
  static bool Changes(uint8_t cmd);

 private:
  struct Sale {
    int article = 0, dep = 0, group = 0;
    int64_t qty = 0, amount = 0;
  };
  struct Receipt {
    int number = 0, op = 0, lines = 0;
    int64_t group[3] = {0, 0, 0};
    int64_t paid = 0, change = 0;
    int64_t by_type[5] = {0, 0, 0, 0, 0};
    bool paying = false;
    std::vector<Sale> sales;
  };
  struct Article {
    std::string name;
    int64_t price = 0;  // cents
    int group = 0, dep = 0;
    char pay = '0', flag = '0';
    std::string barcode;
    int64_t stock = 0;  // thousandths
    int64_t sold_qty = 0, sold_sum = 0;
  };
  struct Department {
    std::string name;
    int group = 0;
    int64_t sold_qty = 0, sold_sum = 0;
  };
  struct OperatorDay {
    int receipts = 0;
    int64_t turnover = 0, in = 0, out = 0;
  };
  struct FmRecord {
    int z = 0;
    std::string date;
    int64_t group[3] = {0, 0, 0};
  };

  static const CommandInfo kCommands[];

  Answer Ok(uint8_t cmd, std::string data = {}) const;
  Answer Refuse(uint8_t cmd, std::string why) const;

  // The commands, each taking its data bytes (ignored by those without data).
  Answer OpenServ(uint8_t cmd, const std::string& data);
  Answer CloseServ(uint8_t cmd, const std::string& data);
  Answer ServText(uint8_t cmd, const std::string& data);
  Answer FiscText(uint8_t cmd, const std::string& data);
  Answer Text(uint8_t cmd, const std::string& data, bool fiscal);
  Answer OpenFisc(uint8_t cmd, const std::string& data);
  Answer CloseFisc(uint8_t cmd, const std::string& data);
  Answer Sell(uint8_t cmd, const std::string& data);
  Answer Adjust(uint8_t cmd, const std::string& data);
  Answer SubTotal(uint8_t cmd, const std::string& data);
  Answer Pay(uint8_t cmd, const std::string& data);
  Answer Void(uint8_t cmd, const std::string& data);
  Answer AddSum(uint8_t cmd, const std::string& data);
  Answer OpenDrawer(uint8_t cmd, const std::string& data);
  Answer Feed(uint8_t cmd, const std::string& data);
  Answer Duplicate(uint8_t cmd, const std::string& data);
  Answer Journal(uint8_t cmd, const std::string& data);
  Answer Counters(uint8_t cmd, const std::string& data);
  Answer NoteInfo(uint8_t cmd, const std::string& data);
  Answer ZReport(uint8_t cmd, const std::string& data);
  Answer ZSwitch(uint8_t cmd, const std::string& data);
  Answer FmReport(uint8_t cmd, const std::string& data);
  Answer TaxRates(uint8_t cmd, const std::string& data);
  Answer Info(uint8_t cmd, const std::string& data);
  Answer StatusQuery(uint8_t cmd, const std::string& data);
  Answer SerialNumber(uint8_t cmd, const std::string& data);
  Answer SetArticle(uint8_t cmd, const std::string& data);
  Answer GetArticle(uint8_t cmd, const std::string& data);
  Answer GetDepartment(uint8_t cmd, const std::string& data);

  // Operator field: two-digit operator number, then the password. Empty text when it is good.
  std::string CheckOperator(const std::string& field, int& op) const;
  bool NoPaper() const { return paper_out_ || paper_.Exhausted(); }
  bool AnyReceiptOpen() const { return fiscal_open_ || serv_open_; }
  int64_t Due() const;
  void PrintHeader(const std::string& title);
  void PrintFooter(const std::string& kind);
  void PrintSale(const std::string& name, int64_t qty, int64_t price, int64_t amount, int group);
  void ZDayReport();
  void ResetDay();

  Paper& paper_;
  bool paper_out_ = false;
  bool z_denied_ = false;
  bool fiscal_open_ = false, serv_open_ = false;
  Receipt receipt_;  // the open fiscal receipt, or the last one closed
  bool have_last_ = false, duplicate_done_ = false;
  std::vector<std::string> last_print_;
  int receipt_no_ = 0;  // last receipt number (fiscal, service and sums in/out)
  int fiscal_today_ = 0, serv_today_ = 0, void_today_ = 0;
  int64_t day_group_[3] = {0, 0, 0};
  int64_t day_type_[5] = {0, 0, 0, 0, 0};
  int64_t drawer_[5] = {0, 0, 0, 0, 0};
  std::vector<std::string> journal_;
  std::map<int, Article> articles_;
  std::map<int, Department> departments_;
  std::map<int, OperatorDay> operators_;
  std::map<int, std::string> passwords_;
  std::vector<FmRecord> fm_;
  std::vector<std::string> fm_pieces_;
  size_t fm_next_ = 0;
  bool fm_active_ = false;
  std::string serial_ = "00000001";
  int drawer_opens_ = 0;
};

// Name of a command code for traces ("PaperFeed", "probe", "unknown").
const char* CommandName(uint8_t cmd);

}  // namespace nevsim
