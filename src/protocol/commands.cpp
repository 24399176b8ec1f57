#include "protocol/commands.h"

namespace nev::protocol {

namespace {

constexpr struct {
  Command command;
  const char* name;
} kNames[] = {
    {Command::kSetArticle, "SetArticle"},
    {Command::kZSwitch, "ZDeny/ZAllow"},
    {Command::kNextFMPiece, "GetNextFMReport"},
    {Command::kFirstFMReport, "GetFirstFMReport"},
    {Command::kTaxRates, "GetTaxRates"},
    {Command::kGetDepartment, "GetDepartment"},
    {Command::kGetArticle, "GetArticle"},
    {Command::kOpenServNote, "OpenServNote"},
    {Command::kCloseServNote, "CloseServNote"},
    {Command::kServText, "ServText"},
    {Command::kOpenFiscNote, "OpenFiscNote"},
    {Command::kCloseFiscNote, "CloseFiscNote"},
    {Command::kFiscText, "FiscText"},
    {Command::kSellTaxGroup, "SellTaxGroup"},
    {Command::kSellArt, "SellArt"},
    {Command::kSellDep, "SellDep"},
    {Command::kAddition, "Addition"},
    {Command::kSubTotal, "SubTotal"},
    {Command::kPay, "Pay"},
    {Command::kVoidAll, "VoidAll"},
    {Command::kAddSum, "AddSum"},
    {Command::kOpenDraw, "OpenDraw"},
    {Command::kPaperFeed, "PaperFeed"},
    {Command::kDuplicate, "Dublicate"},
    {Command::kEJournal, "EJournal"},
    {Command::kNumberOfNotes, "GetNumberofNotes"},
    {Command::kNoteInfo, "NoteInfo"},
    {Command::kZDay, "ZDay"},
    {Command::kZArticles, "ZArticles"},
    {Command::kZDep, "ZDep"},
    {Command::kZCasher, "ZCasher"},
    {Command::kECRInfo, "ECRInfo"},
    {Command::kGetStatus, "GetStatus"},
    {Command::kSendSerNum, "SendSerNum"},
    {Command::kProbe, "probe"},
};

}  // namespace

const char* CommandName(uint8_t code) {
  for (const auto& entry : kNames) {
    if (Code(entry.command) == code) return entry.name;
  }
  return "unknown";
}

}  // namespace nev::protocol
