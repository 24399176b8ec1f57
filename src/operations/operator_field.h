// The operator field that opens a fiscal receipt and an added sum.
#pragma once

#include <string>
#include <string_view>

namespace nev::operations {

// Two-digit text of the leading number of casher, then Pass, then TAB. A number outside 0..99
// (after rounding) is run-time error 5 naming casher.
std::string OperatorField(std::string_view casher, std::string_view pass);

}  // namespace nev::operations
