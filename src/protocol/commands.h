// The device's command codes, by name.
#pragma once

#include <cstdint>

namespace nev::protocol {

enum class Command : uint8_t {
  kSetArticle = 0x27,
  kZSwitch = 0x29,      // ZDeny ("1") and ZAllow ("0")
  kNextFMPiece = 0x4E,  // the bare byte "N", never framed
  kFirstFMReport = 0x54,
  kTaxRates = 0x72,
  kGetDepartment = 0x76,
  kGetArticle = 0x77,
  kOpenServNote = 0x80,
  kCloseServNote = 0x81,
  kServText = 0x82,
  kOpenFiscNote = 0x83,
  kCloseFiscNote = 0x84,
  kFiscText = 0x85,
  kSellTaxGroup = 0x86,
  kSellArt = 0x87,
  kSellDep = 0x88,
  kAddition = 0x89,
  kSubTotal = 0x8A,
  kPay = 0x8B,
  kVoidAll = 0x8C,
  kAddSum = 0x8D,
  kOpenDraw = 0x8E,
  kPaperFeed = 0x8F,
  kDuplicate = 0x90,
  kEJournal = 0x91,
  kNumberOfNotes = 0x92,
  kNoteInfo = 0x93,
  kZDay = 0x99,
  kZArticles = 0x9A,
  kZDep = 0x9B,
  kZCasher = 0x9C,
  kECRInfo = 0xA0,
  kGetStatus = 0xA1,
  kSendSerNum = 0xA2,
  kProbe = 0xFF,  // InitConnection's probe, answered by NAK
};

constexpr uint8_t Code(Command command) {
  return static_cast<uint8_t>(command);
}

// The name of a command code for the trace ("PaperFeed", "probe"); "unknown" for any other.
const char* CommandName(uint8_t code);

}  // namespace nev::protocol
