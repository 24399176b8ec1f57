// Late binding: calling NEV members by name or DISPID with arguments held in a small variant,
// as an automation client does. Names resolve case-insensitively, arguments may be positional or
// named, optional ones take their defaults, values are converted to the parameter types with the
// usual automation rules, and by-reference outputs are written back into the arguments.
// Portable C++ only: the Windows IDispatch implementation is built on it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "nev/error.h"
#include "service/members.h"

namespace nev {
class NEV;
}

namespace nev::service {

// An argument that was left out (a gap in a positional list).
struct Missing {
  bool operator==(const Missing&) const = default;
};

// Empty, Boolean, Integer, Long, Double, Byte, String, or Missing.
using Variant =
    std::variant<std::monostate, bool, int16_t, int32_t, double, uint8_t, std::string, Missing>;

// The automation type a variant holds (None for empty and missing).
VarType TypeOf(const Variant& value);
bool IsEmpty(const Variant& value);

// Conversions with the automation rules: empty is 0 / False / ""; True is -1 as a number;
// any non-zero number is True; fractions round half to even; texts are numbers in C-locale form
// ("2.5", "-1e3") or, for Booleans, "True"/"False" in any case. A value outside the target's
// range raises error 6 (Overflow); a text that is not a number, or a missing argument, raises
// error 13 (Type mismatch).
bool ToBoolean(const Variant& value);
int16_t ToInteger(const Variant& value);
int32_t ToLong(const Variant& value);
double ToDouble(const Variant& value);
uint8_t ToByte(const Variant& value);
std::string ToText(const Variant& value);  // Booleans as "True"/"False", numbers in C-locale
Variant ConvertTo(const Variant& value, VarType type);  // Variant and None keep the value

// Numbers in C-locale form, as short as they read back exactly ("2.5", "0.1", "1e+20").
std::string FormatDouble(double value);

// Error numbers of late binding, with their usual descriptions.
enum LateBindingError : int32_t {
  kErrParamNotFound = 448,   // "Named argument not found"
  kErrNotOptional = 449,     // "Argument not optional"
  kErrBadParamCount = 450,   // "Wrong number of arguments or invalid property assignment"
  kErrMemberNotFound = 438,  // "Object doesn't support this property or method"
};

// A failed late-bound call: nothing was called. Names the argument at fault when there is one.
class InvokeError : public RuntimeError {
 public:
  InvokeError(int32_t number, std::string description, int positional = -1, int named = -1);
  int positional() const { return positional_; }  // index into the positional list, or -1
  int named() const { return named_; }            // index into the named list, or -1

 private:
  int positional_;
  int named_;
};

// The parameter index IDispatch uses for the value of a property put.
inline constexpr int32_t kDispidPropertyPut = -3;

// A named argument: the parameter's index in the member's list (its DISPID as name resolution
// gives it), and the value.
struct NamedArgument {
  int32_t param;
  Variant value;
};

struct InvokeResult {
  Variant result;  // empty for procedures and property put
  // The by-reference parameters after the call, in parameter order: name and value.
  std::vector<std::pair<std::string_view, Variant>> outputs;
};

// Name resolution as IDispatch::GetIDsOfNames does it: names[0] is a member name, which gives the
// member's DISPID; the others are parameter names of that member, which give their indexes.
// Names that do not resolve give kDispidUnknown (all parameters do when the member is unknown).
std::vector<int32_t> ResolveNames(std::span<const std::string_view> names);
// True when every id of a ResolveNames result is known.
bool AllResolved(std::span<const int32_t> ids);

// Calls a member of nev. positional holds the arguments in parameter order; named ones go by
// parameter index (kDispidPropertyPut names the value of a property put). A Missing argument or
// one left out takes the parameter's default; a required one left out is error 449. Every
// argument is converted before anything is called, so a bad argument sends nothing. By-reference
// arguments are written back in place (positional or named), with the parameter's type, and
// listed in outputs. Function and Procedure are interchangeable as kind. Throws InvokeError.
InvokeResult Invoke(NEV& nev, int32_t dispid, MemberKind kind, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named);
// The same for a member found in the table.
InvokeResult Invoke(NEV& nev, const MemberInfo& member, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named);

// The arguments Invoke would pass, converted to the parameter types in parameter order, with the
// defaults filled in; throws InvokeError as Invoke does. Calls nothing: for checking a call
// before it is made.
std::vector<Variant> BindArguments(const MemberInfo& member, const std::vector<Variant>& positional,
                                   const std::vector<NamedArgument>& named);

}  // namespace nev::service
