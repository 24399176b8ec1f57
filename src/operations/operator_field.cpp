#include "operations/operator_field.h"

#include "nev/error.h"
#include "operations/number_format.h"
#include "operations/number_scan.h"

namespace nev::operations {

std::string OperatorField(std::string_view casher, std::string_view pass) {
  std::string field = TwoDigitText(LeadingNumber(casher));
  // More digits, or a sign, would run into the password.
  if (field.size() != 2 || field[0] == '-') {
    Raise(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": casher = " +
                                   field.substr(0, 20) + " is out of range (0 to 99)");
  }
  field += pass;
  field.push_back('\t');
  return field;
}

}  // namespace nev::operations
