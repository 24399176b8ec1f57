// Late binding: calling NEV members by name or DISPID with arguments held in a Variant, as an
// automation client does. Names resolve case-insensitively, arguments may be positional or
// named, optional ones take their defaults, values are converted to the parameter types, and
// by-reference outputs are written back into the arguments.
// Portable C++ only: the Windows IDispatch implementation is built on it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "members.h"
#include "nev/error.h"
#include "variant.h"

namespace nev {
class NEV;
}

namespace nev::automation {

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

// How a call reaches a member. A property has two members of one name and DISPID, its get and
// its put; which one a call means is decided here and nowhere else.
enum class Access {
  kRead,         // a method call or a property read (IDispatch METHOD / PROPERTYGET)
  kWrite,        // a property write (IDispatch PROPERTYPUT)
  kByArguments,  // a call by name only (nevctl): a property named with arguments is written
};

// The member a call means; nullptr when there is none. argument_count matters for kByArguments.
const MemberInfo* MemberFor(std::string_view name, Access access, std::size_t argument_count = 0);
const MemberInfo* MemberFor(int32_t dispid, Access access, std::size_t argument_count = 0);

// The parameter index IDispatch uses for the value of a property put.
inline constexpr int32_t kDispidPropertyPut = -3;

// A named argument: the parameter's index in the member's list (its DISPID as name resolution
// gives it), and the value.
struct NamedArgument {
  int32_t param;
  Variant value;
};

// Where a bound argument came from.
struct ArgumentSource {
  enum Kind { kPositional, kNamed, kDefault } kind = kDefault;
  int index = -1;  // into the positional or the named list; -1 for a default
};

// The arguments of one call, converted to the parameter types in parameter order with the
// defaults filled in, and where each came from.
struct Binding {
  std::vector<Variant> args;
  std::vector<ArgumentSource> sources;
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

// Binds the arguments of a call: positional holds them in parameter order; named ones go by
// parameter index (kDispidPropertyPut names the value of a property put). A Missing argument or
// one left out takes the parameter's default; a required one left out is error 449. Every
// argument is converted, so a bad one is refused before anything is called. Calls nothing.
// Throws InvokeError.
// What a by-reference parameter that is left out gets: refused as any required one (a COM
// client's call), or an empty start value (nevctl, where the outputs need not be written).
enum class LeftOutOutputs { kRequired, kStartEmpty };
Binding Bind(const MemberInfo& member, const std::vector<Variant>& positional,
             const std::vector<NamedArgument>& named,
             LeftOutOutputs outputs = LeftOutOutputs::kRequired);

// Calls a member of nev with arguments bound for it; by-reference outputs are updated in
// bound.args and listed in outputs.
InvokeResult Invoke(NEV& nev, const MemberInfo& member, Binding& bound);

// Binds and calls a member of nev. By-reference arguments are written back in place (positional
// or named), with the parameter's type, and listed in outputs. Throws InvokeError.
InvokeResult Invoke(NEV& nev, const MemberInfo& member, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named);
// The same for the member of this DISPID and kind (Function and Procedure match each other).
InvokeResult Invoke(NEV& nev, int32_t dispid, MemberKind kind, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named);

}  // namespace nev::automation
