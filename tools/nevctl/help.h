// nevctl help MEMBER: a member's signature from the member table and its section of the API
// document (docs/api.md, built into nevctl).
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "members.h"

namespace nevctl {

// The API document as it was when nevctl was built.
std::string_view ApiDocument();

// "function SellArt(n As Long, Q As Double, P As Double) As Boolean  DISPID 0x60030035".
std::string Signature(const nev::automation::MemberInfo& member);

// The text of the member's section of the document without its heading and signature lines;
// empty when the document has no such section.
std::string MemberDocumentation(std::string_view document, std::string_view member);

// Writes the help of a member (each signature, then its documentation). Exit code: 0, or 2 for
// an unknown member (with the nearest member's name on err).
int Help(std::string_view member, std::ostream& out, std::ostream& err);

}  // namespace nevctl
