#include "device.h"

#include <cstdio>
#include <ctime>

#include "protocol.h"
#include "text.h"

namespace nevsim {
namespace {

constexpr int64_t kRates[3] = {2000, 900, 0};  // hundredths of a percent, groups A B C
constexpr char kGroupLetter[3] = {'A', 'B', 'C'};
constexpr int64_t kMaxQty = 99999999;     // 99999.999
constexpr int64_t kMaxPrice = 999999999;  // 9999999.99
constexpr int64_t kMaxTotal = 99999999999;
constexpr int kOperators = 16;
constexpr int kCash = 1;

// Texts the device prints are written here in UTF-8 and kept in its code page.
std::string T(const char* utf8) {
  return Utf8ToCp1251(utf8);
}

std::string PayName(int type) {
  switch (type) {
    case 1:
      return T("В БРОЙ");
    case 2:
      return T("КАРТА");
    case 3:
      return T("ЧЕК");
    default:
      return T("ВАУЧЕР");
  }
}

int64_t RoundDiv(int64_t a, int64_t b) {
  const bool negative = (a < 0) != (b < 0);
  const int64_t ua = a < 0 ? -a : a, ub = b < 0 ? -b : b;
  const int64_t q = (ua + ub / 2) / ub;
  return negative ? -q : q;
}

std::string Money(int64_t cents) {
  return FormatFixed(cents, 2);
}
std::string Qty(int64_t milli) {
  return FormatFixed(milli, 3);
}

std::string Now(const char* format) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

std::string Padded(int value, int width) {
  std::string s = std::to_string(value);
  return s.size() < static_cast<size_t>(width) ? std::string(width - s.size(), '0') + s : s;
}

// Tax group from its letter: Latin A B C or Cyrillic А Б В, either case.
int GroupOf(const std::string& g) {
  if (g.size() != 1) return -1;
  switch (static_cast<unsigned char>(g[0])) {
    case 'A':
    case 'a':
    case 0xC0:
    case 0xE0:
      return 0;
    case 'B':
    case 'b':
    case 0xC1:
    case 0xE1:
      return 1;
    case 'C':
    case 'c':
    case 0xC2:
    case 0xE2:
      return 2;
    default:
      return -1;
  }
}

bool EndsWithTab(const std::string& s) {
  return !s.empty() && s.back() == '\t';
}

}  // namespace

Device::Device(Paper& paper) : paper_(paper) {
  departments_[1] = {T("Храни"), 1};
  departments_[2] = {T("Напитки"), 0};
  departments_[3] = {T("Услуги"), 0};
  departments_[4] = {T("Без ДДС"), 2};
  auto art = [&](int n, const char* name, int64_t price, int group, int dep, const char* bc,
                 int64_t stock) {
    Article a;
    a.name = T(name);
    a.price = price;
    a.group = group;
    a.dep = dep;
    a.barcode = bc;
    a.stock = stock;
    articles_[n] = a;
  };
  art(1, "Хляб", 120, 1, 1, "3800000000011", 100000);
  art(2, "Мляко", 235, 1, 1, "3800000000028", 50000);
  art(3, "Кафе", 180, 0, 2, "3800000000035", 200000);
  art(4, "Вода 0.5 л", 90, 0, 2, "3800000000042", 120000);
  art(5, "Bread", 110, 1, 1, "000000000000", 80000);
  art(10, "Услуга", 1500, 0, 3, "000000000000", 0);
  // Earlier days in the fiscal memory, so that its report has pieces out of the box.
  fm_.push_back({1, "01.03.2024", {12050, 4520, 0}});
  fm_.push_back({2, "02.03.2024", {8840, 3310, 1500}});
  fm_.push_back({3, "03.03.2024", {15600, 0, 700}});
}

std::array<uint8_t, 3> Device::Status(bool error) const {
  uint8_t b0 = 0x80;
  if (error) b0 |= 0x01;
  if (NoPaper()) b0 |= 0x04;
  if (fiscal_open_) b0 |= 0x08;
  if (serv_open_) b0 |= 0x10;
  uint8_t b1 = 0x80;
  if (z_denied_) b1 |= 0x01;
  if (fiscal_open_ && receipt_.paying) b1 |= 0x02;
  if (fm_active_) b1 |= 0x04;
  return {b0, b1, 0x80};
}

Answer Device::Ok(uint8_t cmd, std::string data) const {
  Answer a;
  if (AnsweredByAck(cmd)) {
    a.kind = Answer::kAck;
  } else {
    a.kind = Answer::kFrame;
    a.data = std::move(data);
    a.status = Status(false);
  }
  return a;
}

Answer Device::Refuse(uint8_t cmd, std::string why) const {
  Answer a;
  a.note = std::move(why);
  if (AnsweredByAck(cmd) || !Find(cmd)) {
    a.kind = Answer::kNak;
  } else {
    a.kind = Answer::kFrame;
    a.status = Status(true);
  }
  return a;
}

// Every command the device knows, once: its code, its name for traces, how it is answered, whether
// it leaves the device as it was, and what it does.
const Device::CommandInfo Device::kCommands[] = {
    {0x80, "OpenServNote", kFrame, kChanges, &Device::OpenServ},
    {0x81, "CloseServNote", kFrame, kChanges, &Device::CloseServ},
    {0x82, "ServText", kAck, kChanges, &Device::ServText},
    {0x83, "OpenFiscNote", kFrame, kChanges, &Device::OpenFisc},
    {0x84, "CloseFiscNote", kFrame, kChanges, &Device::CloseFisc},
    {0x85, "FiscText", kAck, kChanges, &Device::FiscText},
    {0x86, "SellTaxGroup", kAck, kChanges, &Device::Sell},
    {0x87, "SellArt", kAck, kChanges, &Device::Sell},
    {0x88, "SellDep", kAck, kChanges, &Device::Sell},
    {0x89, "Addition", kAck, kChanges, &Device::Adjust},
    {0x8A, "SubTotal", kFrame, kQuery, &Device::SubTotal},
    {0x8B, "Pay", kFrame, kChanges, &Device::Pay},
    {0x8C, "VoidAll", kAck, kChanges, &Device::Void},
    {0x8D, "AddSum", kFrame, kChanges, &Device::AddSum},
    {0x8E, "OpenDraw", kAck, kChanges, &Device::OpenDrawer},
    {0x8F, "PaperFeed", kAck, kChanges, &Device::Feed},
    {0x90, "Dublicate", kAck, kChanges, &Device::Duplicate},
    {0x91, "EJournal", kFrame, kChanges, &Device::Journal},
    {0x92, "GetNumberofNotes", kFrame, kQuery, &Device::Counters},
    {0x93, "NoteInfo", kFrame, kQuery, &Device::NoteInfo},
    {0x99, "ZDay", kFrame, kChanges, &Device::ZReport},
    {0x9A, "ZArticles", kAck, kChanges, &Device::ZReport},
    {0x9B, "ZDep", kAck, kChanges, &Device::ZReport},
    {0x9C, "ZCasher", kAck, kChanges, &Device::ZReport},
    {0x29, "ZDeny/ZAllow", kAck, kChanges, &Device::ZSwitch},
    {0x54, "GetFirstFMReport", kFrame, kQuery, &Device::FmReport},
    {0x72, "GetTaxRates", kFrame, kQuery, &Device::TaxRates},
    {0xA0, "ECRInfo", kFrame, kQuery, &Device::Info},
    {0xA1, "GetStatus", kFrame, kQuery, &Device::StatusQuery},
    {0xA2, "SendSerNum", kAck, kChanges, &Device::SerialNumber},
    {0x27, "SetArticle", kAck, kChanges, &Device::SetArticle},
    {0x76, "GetDepartment", kFrame, kQuery, &Device::GetDepartment},
    {0x77, "GetArticle", kFrame, kQuery, &Device::GetArticle},
};

Answer Device::ServText(uint8_t cmd, const std::string& data) {
  return Text(cmd, data, false);
}

Answer Device::FiscText(uint8_t cmd, const std::string& data) {
  return Text(cmd, data, true);
}

Answer Device::OpenDrawer(uint8_t cmd, const std::string&) {
  ++drawer_opens_;
  return Ok(cmd);
}

Answer Device::Counters(uint8_t cmd, const std::string&) {
  return Ok(cmd, std::to_string(receipt_no_) + "\t" + std::to_string(fiscal_today_) + "\t" +
                     std::to_string(serv_today_) + "\t" + std::to_string(void_today_));
}

Answer Device::NoteInfo(uint8_t cmd, const std::string&) {
  const int64_t total = receipt_.group[0] + receipt_.group[1] + receipt_.group[2];
  return Ok(cmd, std::to_string(receipt_.number) + "\t" + std::to_string(receipt_.lines) + "\t" +
                     Money(total) + "\t" + Money(receipt_.paid));
}

Answer Device::TaxRates(uint8_t cmd, const std::string&) {
  return Ok(cmd, Money(kRates[0]) + "\t" + Money(kRates[1]) + "\t" + Money(kRates[2]));
}

Answer Device::Info(uint8_t cmd, const std::string&) {
  return Ok(cmd, "NEV-SIM\t" + serial_ + "\t1.00\t" + std::to_string(fm_.back().z));
}

Answer Device::StatusQuery(uint8_t cmd, const std::string&) {
  return Ok(cmd);
}

const Device::CommandInfo* Device::Find(uint8_t cmd) {
  for (const CommandInfo& info : kCommands) {
    if (info.code == cmd) return &info;
  }
  return nullptr;
}

bool Device::AnsweredByAck(uint8_t cmd) {
  const CommandInfo* info = Find(cmd);
  return info && info->reply == kAck;
}

bool Device::Changes(uint8_t cmd) {
  const CommandInfo* info = Find(cmd);
  return info && info->effect == kChanges;
}

const char* CommandName(uint8_t cmd) {
  if (const Device::CommandInfo* info = Device::Find(cmd)) return info->name;
  return cmd == kProbe ? "probe" : "unknown";
}

Answer Device::Command(uint8_t cmd, const std::string& data) {
  if (const CommandInfo* info = Find(cmd)) return (this->*info->run)(cmd, data);
  return Refuse(cmd, cmd == kProbe ? "probe" : "unknown command");
}

int64_t Device::Due() const {
  return receipt_.group[0] + receipt_.group[1] + receipt_.group[2] - receipt_.paid;
}

void Device::PrintHeader(const std::string& title) {
  paper_.Centered(T("ТЕСТОВ ОБЕКТ"));
  paper_.Centered(T("гр. София, ул. Примерна 1"));
  paper_.Centered(T("ЕИК 000000000"));
  paper_.Rule();
  if (!title.empty()) paper_.Centered(title);
}

void Device::PrintFooter(const std::string& kind) {
  paper_.Rule();
  paper_.Row(T("№ ") + Padded(receipt_no_, 7), Now("%d.%m.%Y %H:%M"));
  paper_.Centered(kind);
  paper_.Centered("NEV-SIM " + serial_);
  paper_.Rule('=');
  paper_.Feed(1);
}

void Device::PrintSale(const std::string& name, int64_t qty, int64_t price, int64_t amount,
                       int group) {
  const std::string right = Money(amount) + " " + kGroupLetter[group];
  if (qty == 1000) {
    paper_.Row(name, right);
  } else {
    paper_.Print(name);
    paper_.Row("  " + Qty(qty) + " x " + Money(price), right);
  }
}

std::string Device::CheckOperator(const std::string& field, int& op) const {
  if (field.size() < 2 || field[0] < '0' || field[0] > '9' || field[1] < '0' || field[1] > '9')
    return "operator number missing";
  op = (field[0] - '0') * 10 + (field[1] - '0');
  if (op < 1 || op > kOperators) return "no such operator";
  auto it = passwords_.find(op);
  if (it != passwords_.end() && !it->second.empty() && it->second != field.substr(2))
    return "wrong password";
  return {};
}

Answer Device::OpenServ(uint8_t cmd, const std::string&) {
  if (AnyReceiptOpen()) return Refuse(cmd, "a receipt is already open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  serv_open_ = true;
  ++receipt_no_;
  PrintHeader(T("СЛУЖЕБЕН БОН"));
  return Ok(cmd, std::to_string(receipt_no_));
}

Answer Device::CloseServ(uint8_t cmd, const std::string&) {
  if (!serv_open_) return Refuse(cmd, "no service receipt open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  PrintFooter(T("НЕФИСКАЛЕН БОН"));
  serv_open_ = false;
  ++serv_today_;
  return Ok(cmd, std::to_string(receipt_no_));
}

Answer Device::Text(uint8_t cmd, const std::string& data, bool fiscal) {
  if (fiscal ? !fiscal_open_ : !serv_open_)
    return Refuse(cmd, fiscal ? "no fiscal receipt open" : "no service receipt open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  if (!EndsWithTab(data)) return Refuse(cmd, "text not ended by TAB");
  paper_.Print(data.substr(0, data.size() - 1));
  return Ok(cmd);
}

Answer Device::OpenFisc(uint8_t cmd, const std::string& data) {
  if (AnyReceiptOpen()) return Refuse(cmd, "a receipt is already open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  auto f = SplitTabs(data);
  if (f.size() < 2 || f.size() > 3 || !f.back().empty()) return Refuse(cmd, "bad data");
  int op = 0;
  if (auto why = CheckOperator(f[0], op); !why.empty()) return Refuse(cmd, why);
  std::string buyer;
  if (f.size() == 3) {
    if (f[1].size() < 2 || f[1][0] != 'I') return Refuse(cmd, "bad invoice field");
    buyer = f[1].substr(1);
  }
  receipt_ = Receipt{};
  receipt_.number = ++receipt_no_;
  receipt_.op = op;
  fiscal_open_ = true;
  paper_.BeginCapture();
  PrintHeader(buyer.empty() ? std::string() : T("ФАКТУРА"));
  if (!buyer.empty()) paper_.Print(T("ЕИК на купувача: ") + buyer);
  paper_.Print(T("Оператор ") + Padded(op, 2));
  return Ok(cmd, std::to_string(receipt_.number));
}

Answer Device::Sell(uint8_t cmd, const std::string& data) {
  if (!fiscal_open_) return Refuse(cmd, "no fiscal receipt open");
  if (receipt_.paying) return Refuse(cmd, "payment already begun");
  if (NoPaper()) return Refuse(cmd, "no paper");
  auto f = SplitTabs(data);
  std::string name;
  int group = -1, article = 0, dep = 0;
  std::optional<int64_t> qty, price;
  if (cmd == 0x86) {
    if (f.size() != 5 || !f[4].empty()) return Refuse(cmd, "bad data");
    name = f[0];
    if (name.empty()) return Refuse(cmd, "empty name");
    group = GroupOf(f[1]);
    if (group < 0) return Refuse(cmd, "no such tax group");
    qty = ParseFixed(f[2], 3);
    price = ParseFixed(f[3], 2);
  } else {
    if (f.size() != 4 || !f[3].empty()) return Refuse(cmd, "bad data");
    qty = ParseFixed(f[1], 3);
    price = ParseFixed(f[2], 2);
    if (cmd == 0x87) {
      auto n = ParseWhole(f[0]);
      auto it = n ? articles_.find(static_cast<int>(*n)) : articles_.end();
      if (it == articles_.end()) return Refuse(cmd, "no such article");
      article = it->first;
      name = it->second.name;
      group = it->second.group;
      dep = it->second.dep;
      // A price of 0 sells at the programmed price.
      if (price && *price == 0) price = it->second.price;
    } else {
      auto n = ParseFixed(f[0], 3);
      auto it =
          n && *n % 1000 == 0 ? departments_.find(static_cast<int>(*n / 1000)) : departments_.end();
      if (it == departments_.end()) return Refuse(cmd, "no such department");
      dep = it->first;
      name = it->second.name;
      group = it->second.group;
    }
  }
  if (!qty || !price) return Refuse(cmd, "bad number");
  if (*qty == 0) return Refuse(cmd, "zero quantity");
  if (*qty > kMaxQty || *qty < -kMaxQty || *price > kMaxPrice || *price < -kMaxPrice)
    return Refuse(cmd, "number out of range");
  const int64_t amount = RoundDiv(*qty * *price, 1000);
  if (receipt_.group[group] + amount < 0) return Refuse(cmd, "group total would be negative");
  if (receipt_.group[0] + receipt_.group[1] + receipt_.group[2] + amount > kMaxTotal)
    return Refuse(cmd, "receipt total too large");
  receipt_.group[group] += amount;
  ++receipt_.lines;
  receipt_.sales.push_back({article, dep, group, *qty, amount});
  PrintSale(name.substr(0, paper_.width()), *qty, *price, amount, group);
  return Ok(cmd);
}

Answer Device::Adjust(uint8_t cmd, const std::string& data) {
  if (!fiscal_open_) return Refuse(cmd, "no fiscal receipt open");
  if (receipt_.paying) return Refuse(cmd, "payment already begun");
  if (NoPaper()) return Refuse(cmd, "no paper");
  auto f = SplitTabs(data);
  if (f.size() != 2 || !f[1].empty() || f[0].empty() || (f[0][0] != 'P' && f[0][0] != 'S'))
    return Refuse(cmd, "bad data");
  bool percent = f[0][0] == 'P';
  std::string value = f[0].substr(1);
  if (!value.empty() && value.back() == '%') {
    percent = true;
    value.pop_back();
  }
  auto v = ParseFixed(value, 2);
  if (!v || *v == 0) return Refuse(cmd, "bad value");
  const int64_t total = receipt_.group[0] + receipt_.group[1] + receipt_.group[2];
  if (receipt_.lines == 0 || total <= 0) return Refuse(cmd, "nothing to adjust");
  int64_t adj[3] = {0, 0, 0};
  if (percent) {
    if (*v > 10000 || *v < -10000) return Refuse(cmd, "percent out of range");
    for (int g = 0; g < 3; ++g) adj[g] = RoundDiv(receipt_.group[g] * *v, 10000);
  } else {
    if (*v > kMaxPrice || *v < -kMaxPrice) return Refuse(cmd, "sum out of range");
    // A sum is spread over the groups in proportion to their totals.
    int largest = 0;
    int64_t spread = 0;
    for (int g = 0; g < 3; ++g) {
      adj[g] = RoundDiv(receipt_.group[g] * *v, total);
      spread += adj[g];
      if (receipt_.group[g] > receipt_.group[largest]) largest = g;
    }
    adj[largest] += *v - spread;
  }
  for (int g = 0; g < 3; ++g)
    if (receipt_.group[g] + adj[g] < 0) return Refuse(cmd, "adjustment larger than the receipt");
  int64_t sum = 0;
  for (int g = 0; g < 3; ++g) {
    receipt_.group[g] += adj[g];
    sum += adj[g];
  }
  std::string label = sum < 0 ? T("ОТСТЪПКА") : T("НАДБАВКА");
  if (percent) label += " " + Money(*v) + "%";
  paper_.Row(label, Money(sum));
  return Ok(cmd);
}

Answer Device::SubTotal(uint8_t cmd, const std::string&) {
  if (!fiscal_open_) return Refuse(cmd, "no fiscal receipt open");
  const int64_t* g = receipt_.group;
  return Ok(cmd, Money(g[0] + g[1] + g[2]) + "\t" + Money(g[0]) + "\t" + Money(g[1]) + "\t" +
                     Money(g[2]));
}

Answer Device::Pay(uint8_t cmd, const std::string& data) {
  if (!fiscal_open_) return Refuse(cmd, "no fiscal receipt open");
  if (receipt_.lines == 0) return Refuse(cmd, "nothing sold");
  if (receipt_.paying && Due() <= 0) return Refuse(cmd, "receipt already paid");
  if (NoPaper()) return Refuse(cmd, "no paper");
  if (data.size() < 2 || data[0] < '0' || data[0] > '9' || data[1] < '0' || data[1] > '9')
    return Refuse(cmd, "bad payment type");
  const int type = (data[0] - '0') * 10 + (data[1] - '0');
  if (type < 1 || type > 4) return Refuse(cmd, "no such payment type");
  const int64_t due = Due();
  int64_t amount = due;
  if (data.size() > 2) {
    if (!EndsWithTab(data)) return Refuse(cmd, "amount not ended by TAB");
    auto v = ParseFixed(data.substr(2, data.size() - 3), 2);
    if (!v || *v <= 0 || *v > kMaxTotal) return Refuse(cmd, "bad amount");
    amount = *v;
  }
  if (type != kCash && amount > due) return Refuse(cmd, "change is given for cash only");
  if (!receipt_.paying) {
    paper_.Rule();
    paper_.Row(T("ОБЩА СУМА"), Money(due));
    receipt_.paying = true;
  }
  receipt_.paid += amount;
  receipt_.by_type[type] += amount;
  paper_.Row(PayName(type), Money(amount));
  const int64_t left = Due();
  if (left < 0) {
    receipt_.change = -left;
    paper_.Row(T("РЕСТО"), Money(receipt_.change));
  }
  return Ok(cmd, Money(left > 0 ? left : 0) + "\t" + Money(receipt_.change));
}

Answer Device::CloseFisc(uint8_t cmd, const std::string&) {
  if (!fiscal_open_) return Refuse(cmd, "no fiscal receipt open");
  if (Due() > 0) return Refuse(cmd, "receipt not paid");
  if (NoPaper()) return Refuse(cmd, "no paper");
  const int64_t total = receipt_.group[0] + receipt_.group[1] + receipt_.group[2];
  if (!receipt_.paying) {
    paper_.Rule();
    paper_.Row(T("ОБЩА СУМА"), Money(total));
  }
  for (int g = 0; g < 3; ++g) day_group_[g] += receipt_.group[g];
  for (int t = 1; t < 5; ++t) {
    day_type_[t] += receipt_.by_type[t];
    drawer_[t] += receipt_.by_type[t];
  }
  drawer_[kCash] -= receipt_.change;
  day_type_[kCash] -= receipt_.change;
  for (const Sale& s : receipt_.sales) {
    if (s.article) {
      Article& a = articles_[s.article];
      a.sold_qty += s.qty;
      a.sold_sum += s.amount;
      a.stock -= s.qty;
    }
    if (s.dep && departments_.count(s.dep)) {
      departments_[s.dep].sold_qty += s.qty;
      departments_[s.dep].sold_sum += s.amount;
    }
  }
  OperatorDay& od = operators_[receipt_.op];
  ++od.receipts;
  od.turnover += total;
  ++fiscal_today_;
  journal_.push_back(T("БОН ") + Padded(receipt_.number, 7) + " " + Money(total));
  PrintFooter(T("ФИСКАЛЕН БОН"));
  last_print_ = paper_.EndCapture();
  have_last_ = true;
  duplicate_done_ = false;
  fiscal_open_ = false;
  return Ok(cmd, std::to_string(receipt_.number) + "\t" + Money(total));
}

Answer Device::Void(uint8_t cmd, const std::string&) {
  if (!fiscal_open_) return Refuse(cmd, "no fiscal receipt open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  paper_.Rule();
  paper_.Centered(T("АНУЛИРАН БОН"));
  PrintFooter(T("ФИСКАЛЕН БОН"));
  paper_.EndCapture();
  fiscal_open_ = false;
  ++void_today_;
  journal_.push_back(T("БОН ") + Padded(receipt_.number, 7) + " " + T("АНУЛИРАН"));
  receipt_ = Receipt{};
  return Ok(cmd);
}

Answer Device::AddSum(uint8_t cmd, const std::string& data) {
  if (AnyReceiptOpen()) return Refuse(cmd, "a receipt is open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  auto f = SplitTabs(data);
  if (f.size() != 3 || !f[2].empty()) return Refuse(cmd, "bad data");
  int op = 0;
  if (auto why = CheckOperator(f[0], op); !why.empty()) return Refuse(cmd, why);
  const std::string& p = f[1];
  if (p.size() < 3 || p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9')
    return Refuse(cmd, "bad payment type");
  const int type = (p[0] - '0') * 10 + (p[1] - '0');
  if (type < 1 || type > 4) return Refuse(cmd, "no such payment type");
  auto v = ParseFixed(p.substr(2), 2);
  if (!v || *v == 0 || *v > kMaxTotal || *v < -kMaxTotal) return Refuse(cmd, "bad amount");
  if (drawer_[type] + *v < 0) return Refuse(cmd, "not that much in the drawer");
  drawer_[type] += *v;
  OperatorDay& od = operators_[op];
  (*v > 0 ? od.in : od.out) += *v > 0 ? *v : -*v;
  ++receipt_no_;
  PrintHeader(*v > 0 ? T("СЛУЖЕБНО ВЪВЕДЕНИ") : T("СЛУЖЕБНО ИЗВЕДЕНИ"));
  paper_.Print(T("Оператор ") + Padded(op, 2));
  paper_.Row(PayName(type), Money(*v));
  PrintFooter(T("НЕФИСКАЛЕН БОН"));
  return Ok(cmd, Money(drawer_[type]));
}

Answer Device::Feed(uint8_t cmd, const std::string& data) {
  if (NoPaper()) return Refuse(cmd, "no paper");
  auto rows = ParseWhole(data);
  if (!rows || *rows < 0 || *rows > 99) return Refuse(cmd, "rows out of range");
  paper_.Feed(static_cast<int>(*rows));
  return Ok(cmd);
}

Answer Device::Duplicate(uint8_t cmd, const std::string&) {
  if (AnyReceiptOpen()) return Refuse(cmd, "a receipt is open");
  if (!have_last_) return Refuse(cmd, "no receipt to copy");
  if (duplicate_done_) return Refuse(cmd, "duplicate already printed");
  if (NoPaper()) return Refuse(cmd, "no paper");
  paper_.Centered(T("ДУБЛИКАТ"));
  paper_.Reprint(last_print_);
  paper_.Centered(T("ДУБЛИКАТ"));
  paper_.Feed(1);
  duplicate_done_ = true;
  return Ok(cmd);
}

Answer Device::Journal(uint8_t cmd, const std::string&) {
  if (AnyReceiptOpen()) return Refuse(cmd, "a receipt is open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  ++receipt_no_;
  PrintHeader(T("КОНТРОЛНА ЛЕНТА"));
  for (const auto& line : journal_) paper_.Print(line);
  paper_.Rule('=');
  paper_.Feed(1);
  return Ok(cmd, std::to_string(journal_.size()));
}

void Device::ZDayReport() {
  PrintHeader(T("ДНЕВЕН ОТЧЕТ"));
  const int z = fm_.back().z + 1;
  paper_.Row(T("Z-отчет №"), Padded(z, 4));
  int64_t total = 0;
  for (int g = 0; g < 3; ++g) {
    const int64_t tax = RoundDiv(day_group_[g] * kRates[g], 10000 + kRates[g]);
    paper_.Row(std::string(T("Група ")) + kGroupLetter[g] + " " + Money(kRates[g]) + "%",
               Money(day_group_[g]));
    paper_.Row(T("  ДДС"), Money(tax));
    total += day_group_[g];
  }
  paper_.Row(T("ОБОРОТ"), Money(total));
  for (int t = 1; t < 5; ++t) paper_.Row(PayName(t), Money(day_type_[t]));
  paper_.Row(T("Фискални бонове"), std::to_string(fiscal_today_));
  paper_.Row(T("Анулирани бонове"), std::to_string(void_today_));
  paper_.Row(T("Служебни бонове"), std::to_string(serv_today_));
  FmRecord rec;
  rec.z = z;
  rec.date = Now("%d.%m.%Y");
  for (int g = 0; g < 3; ++g) rec.group[g] = day_group_[g];
  fm_.push_back(rec);
  PrintFooter(T("ФИСКАЛЕН БОН"));
}

void Device::ResetDay() {
  for (int g = 0; g < 3; ++g) day_group_[g] = 0;
  for (int t = 0; t < 5; ++t) day_type_[t] = drawer_[t] = 0;
  fiscal_today_ = serv_today_ = void_today_ = 0;
  journal_.clear();
  have_last_ = false;
  receipt_ = Receipt{};
}

Answer Device::ZReport(uint8_t cmd, const std::string&) {
  if (AnyReceiptOpen()) return Refuse(cmd, "a receipt is open");
  if (z_denied_) return Refuse(cmd, "Z reports are denied");
  if (NoPaper()) return Refuse(cmd, "no paper");
  Answer a;
  ++receipt_no_;
  if (cmd == 0x99) {
    const int64_t* g = day_group_;
    const std::string data = std::to_string(fm_.back().z + 1) + "\t" + Money(g[0] + g[1] + g[2]) +
                             "\t" + Money(g[0]) + "\t" + Money(g[1]) + "\t" + Money(g[2]);
    ZDayReport();
    ResetDay();
    a = Ok(cmd, data);
  } else if (cmd == 0x9A) {
    PrintHeader(T("ОТЧЕТ ПО АРТИКУЛИ"));
    for (auto& [n, art] : articles_) {
      if (art.sold_qty == 0 && art.sold_sum == 0) continue;
      paper_.Print(std::to_string(n) + " " + art.name);
      paper_.Row("  " + Qty(art.sold_qty), Money(art.sold_sum));
      art.sold_qty = art.sold_sum = 0;
    }
    PrintFooter(T("НЕФИСКАЛЕН БОН"));
    a = Ok(cmd);
  } else if (cmd == 0x9B) {
    PrintHeader(T("ОТЧЕТ ПО ДЕПАРТАМЕНТИ"));
    for (auto& [n, dep] : departments_) {
      paper_.Print(std::to_string(n) + " " + dep.name);
      paper_.Row("  " + Qty(dep.sold_qty), Money(dep.sold_sum));
      dep.sold_qty = dep.sold_sum = 0;
    }
    PrintFooter(T("НЕФИСКАЛЕН БОН"));
    a = Ok(cmd);
  } else {
    PrintHeader(T("ОТЧЕТ ПО ОПЕРАТОРИ"));
    for (const auto& [n, od] : operators_) {
      paper_.Print(T("Оператор ") + Padded(n, 2));
      paper_.Row(T("  Бонове"), std::to_string(od.receipts));
      paper_.Row(T("  Оборот"), Money(od.turnover));
      paper_.Row(T("  Въведени"), Money(od.in));
      paper_.Row(T("  Изведени"), Money(od.out));
    }
    operators_.clear();
    PrintFooter(T("НЕФИСКАЛЕН БОН"));
    a = Ok(cmd);
  }
  a.long_op = true;
  return a;
}

Answer Device::ZSwitch(uint8_t cmd, const std::string& data) {
  if (data == "1")
    z_denied_ = true;
  else if (data == "0")
    z_denied_ = false;
  else
    return Refuse(cmd, "data must be 1 or 0");
  return Ok(cmd);
}

Answer Device::FmReport(uint8_t cmd, const std::string& data) {
  if (AnyReceiptOpen()) return Refuse(cmd, "a receipt is open");
  if (NoPaper()) return Refuse(cmd, "no paper");
  // The range is up to two Z numbers separated by anything but digits; none means all.
  std::vector<int64_t> bounds;
  std::string digits;
  for (size_t i = 0; i <= data.size(); ++i) {
    if (i < data.size() && data[i] >= '0' && data[i] <= '9') {
      digits += data[i];
    } else if (!digits.empty()) {
      if (digits.size() > 6) return Refuse(cmd, "bad range");
      bounds.push_back(std::stoll(digits));
      digits.clear();
    }
  }
  if (bounds.size() > 2 || (bounds.empty() && !data.empty())) return Refuse(cmd, "bad range");
  const int64_t from = bounds.empty() ? 0 : bounds[0];
  const int64_t to = bounds.empty() ? 999999 : bounds.back();
  fm_pieces_.clear();
  int64_t sum[3] = {0, 0, 0};
  for (const FmRecord& r : fm_) {
    if (r.z < from || r.z > to) continue;
    const int64_t* g = r.group;
    fm_pieces_.push_back("Z" + Padded(r.z, 4) + "\t" + r.date + "\t" + Money(g[0] + g[1] + g[2]) +
                         "\t" + Money(g[0]) + "\t" + Money(g[1]) + "\t" + Money(g[2]));
    for (int k = 0; k < 3; ++k) sum[k] += g[k];
  }
  if (fm_pieces_.empty()) return Refuse(cmd, "no records in range");
  fm_pieces_.push_back("SUM\t" + Money(sum[0] + sum[1] + sum[2]) + "\t" + Money(sum[0]) + "\t" +
                       Money(sum[1]) + "\t" + Money(sum[2]));
  ++receipt_no_;
  PrintHeader(T("ОТЧЕТ НА ФИСКАЛНАТА ПАМЕТ"));
  for (const auto& piece : fm_pieces_) {
    auto f = SplitTabs(piece);
    paper_.Row(f[0] + " " + (f.size() == 6 ? f[1] : std::string()), f[f.size() == 6 ? 2 : 1]);
  }
  paper_.Rule('=');
  paper_.Feed(1);
  fm_active_ = true;
  fm_next_ = 1;
  return Ok(cmd, fm_pieces_[0]);
}

Answer Device::NextPiece() {
  Answer a;
  a.kind = Answer::kFrame;
  if (!fm_active_) {
    a.status = Status(true);
    a.note = "no fiscal-memory report in progress";
    return a;
  }
  if (fm_next_ < fm_pieces_.size()) {
    a.data = fm_pieces_[fm_next_++];
  } else {
    fm_active_ = false;  // the empty piece ends the report
  }
  a.status = Status(false);
  return a;
}

Answer Device::SerialNumber(uint8_t cmd, const std::string& data) {
  if (data.empty() || data.size() > 16) return Refuse(cmd, "serial number of 1 to 16 digits");
  std::string hex;
  for (unsigned char c : data) {
    if (c < 0x30 || c > 0x3F) return Refuse(cmd, "not a digit-nibble character");
    hex += "0123456789ABCDEF"[c - 0x30];
  }
  serial_ = hex;
  return Ok(cmd);
}

Answer Device::SetArticle(uint8_t cmd, const std::string& data) {
  if (fiscal_open_) return Refuse(cmd, "a fiscal receipt is open");
  auto f = SplitTabs(data);
  if (f.size() != 6 || !f[5].empty()) return Refuse(cmd, "bad record");
  auto n = ParseWhole(f[0]);
  if (!n || *n < 1 || *n > 9999) return Refuse(cmd, "article number out of range");
  if (f[1].empty() || f[1].size() > 32) return Refuse(cmd, "name of 1 to 32 characters");
  auto price = ParseFixed(f[2], 2);
  if (!price || *price < 0 || *price > kMaxPrice) return Refuse(cmd, "bad price");
  const std::string& codes = f[3];
  if (codes.size() < 4) return Refuse(cmd, "bad record");
  const int group = static_cast<unsigned char>(codes[0]) - '1';
  if (group < 0 || group > 2) return Refuse(cmd, "tax group must be 1 to 3");
  const int dep = static_cast<unsigned char>(codes[1]) - '0';
  if (dep < 0 || (dep > 0 && !departments_.count(dep))) return Refuse(cmd, "no such department");
  if (static_cast<unsigned char>(codes[2]) < '0' || static_cast<unsigned char>(codes[3]) < '0')
    return Refuse(cmd, "bad record");
  const std::string bc = codes.substr(4);
  if (bc.size() > 20) return Refuse(cmd, "barcode too long");
  std::optional<int64_t> q = f[4].empty() ? std::optional<int64_t>(0) : ParseFixed(f[4], 3);
  if (!q || *q > kMaxQty * 10 || *q < -kMaxQty * 10) return Refuse(cmd, "bad quantity");
  Article& a = articles_[static_cast<int>(*n)];
  a.name = f[1];
  a.price = *price;
  a.group = group;
  a.dep = dep;
  a.pay = codes[2];
  a.flag = codes[3];
  a.barcode = bc;
  a.stock = *q;
  return Ok(cmd);
}

Answer Device::GetArticle(uint8_t cmd, const std::string& data) {
  // "R", a blank or "-", the number, TAB.
  if (data.size() < 4 || data[0] != 'R' || (data[1] != ' ' && data[1] != '-') || !EndsWithTab(data))
    return Refuse(cmd, "bad data");
  auto n = ParseWhole(data.substr(2, data.size() - 3));
  if (!n || data[1] == '-') return Refuse(cmd, "no such article");
  auto it = articles_.find(static_cast<int>(*n));
  if (it == articles_.end()) return Refuse(cmd, "no such article");
  const Article& a = it->second;
  return Ok(cmd, std::to_string(it->first) + "\t" + a.name + "\t" + Money(a.price) + "\t" +
                     kGroupLetter[a.group] + "\t" + std::to_string(a.dep) + "\t" + a.barcode +
                     "\t" + Qty(a.stock) + "\t" + Qty(a.sold_qty) + "\t" + Money(a.sold_sum));
}

Answer Device::GetDepartment(uint8_t cmd, const std::string& data) {
  if (data.size() != 2) return Refuse(cmd, "bad data");
  const auto hi = static_cast<unsigned char>(data[0]), lo = static_cast<unsigned char>(data[1]);
  if (hi < 0x30 || hi > 0x3F || lo < 0x30 || lo > 0x3F) return Refuse(cmd, "bad data");
  auto it = departments_.find((hi - 0x30) * 16 + (lo - 0x30));
  if (it == departments_.end()) return Refuse(cmd, "no such department");
  const Department& d = it->second;
  return Ok(cmd, std::to_string(it->first) + "\t" + d.name + "\t" + kGroupLetter[d.group] + "\t" +
                     Qty(d.sold_qty) + "\t" + Money(d.sold_sum));
}

Simulator::Totals Device::Totals() const {
  Simulator::Totals t;
  t.a = receipt_.group[0] / 100.0;
  t.b = receipt_.group[1] / 100.0;
  t.c = receipt_.group[2] / 100.0;
  t.total = (receipt_.group[0] + receipt_.group[1] + receipt_.group[2]) / 100.0;
  t.paid = receipt_.paid / 100.0;
  t.change = receipt_.change / 100.0;
  t.fiscal_open = fiscal_open_;
  t.nonfiscal_open = serv_open_;
  t.receipts = fiscal_today_;
  t.day_total = (day_group_[0] + day_group_[1] + day_group_[2]) / 100.0;
  t.cash = drawer_[kCash] / 100.0;
  t.z_number = fm_.back().z;
  t.z_denied = z_denied_;
  return t;
}

}  // namespace nevsim
