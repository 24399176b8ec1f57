// The published surface of the NEV class: every member of the dual interface _NEV in slot order,
// with its DISPID, kind, result, parameters and the call it makes. Late binding (nevctl,
// IDispatch), the COM server's vtable and the type library check are driven by this one table.
// Portable C++ only: the Windows build uses it too.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "variant.h"

namespace nev {
class NEV;
}

namespace nev::automation {

enum class MemberKind {
  Function,     // returns a result
  Procedure,    // returns nothing; a late-bound call gives an empty result
  PropertyGet,  // reads a property
  PropertyPut,  // writes a property
};

struct ParamInfo {
  std::string_view name;  // letter for letter as clients bind to it
  VarType type;
  bool by_ref = false;    // in/out: the method writes the caller's variable back
  bool optional = false;  // may be left out; then default_value is passed
  // Default of an optional parameter as a literal of its type: "True"/"False" for Booleans,
  // the text itself for Strings.
  std::string_view default_value = {};
};

struct MemberInfo;

// The arguments of one call, already converted to the parameter types, as a member's call reads
// them. Each read names the type it expects; a read that does not match the parameter's declared
// type is an internal error that names the member and the parameter.
class Arguments {
 public:
  Arguments(const MemberInfo& member, std::vector<Variant>& values);
  const std::string& Text(std::size_t i) const;
  int32_t Long(std::size_t i) const;
  int32_t Integer(std::size_t i) const;
  int32_t Byte(std::size_t i) const;
  double Double(std::size_t i) const;
  bool Boolean(std::size_t i) const;
  // The new value of a by-reference parameter, written back to the caller's variable.
  std::string& TextOutput(std::size_t i);
  double& DoubleOutput(std::size_t i);

 private:
  const Variant& At(std::size_t i, VarType type) const;

  const MemberInfo& member_;
  std::vector<Variant>& values_;
};

// Calls a member of nev with its converted arguments; the result (empty for procedures).
using Invoker = Variant (*)(NEV& nev, Arguments& args);

struct MemberInfo {
  int slot;        // vtable slot of _NEV (0 to 6 are IUnknown and IDispatch)
  int32_t dispid;  // DISPID; a property's get and put share one
  MemberKind kind;
  std::string_view name;
  VarType result;  // None for procedures and property put
  std::span<const ParamInfo> params;
  Invoker invoke;
};

inline constexpr std::size_t kMemberCount = 40;
inline constexpr int kFirstSlot = 7;

// DISPID of the SilentMode property (get and put).
inline constexpr int32_t kDispidSilentMode = 0x4003002C;
// The IDispatch result for a name that does not resolve.
inline constexpr int32_t kDispidUnknown = -1;

// All members, in slot order (slot 7 first).
std::span<const MemberInfo> Members();

// The member with this name (ASCII case-insensitive) and kind; nullptr when there is none.
// A property's name finds its get when kind is not given.
const MemberInfo* FindMember(std::string_view name);
const MemberInfo* FindMember(std::string_view name, MemberKind kind);
// The member with this DISPID and kind (Function and Procedure match each other, since both are
// invoked as methods); nullptr when there is none.
const MemberInfo* FindMember(int32_t dispid, MemberKind kind);

// Index of the parameter with this name (ASCII case-insensitive) in member.params, or -1.
int FindParam(const MemberInfo& member, std::string_view name);

// ASCII case-insensitive equality, as name binding compares.
bool SameName(std::string_view a, std::string_view b);

// Edit distance (insertions, deletions, substitutions, swaps of neighbours) between two names,
// ASCII case-insensitive; only the first 64 bytes of each name count.
std::size_t NameDistance(std::string_view a, std::string_view b);
// The member whose name is nearest to name, for "did you mean" hints; nullptr when even the
// nearest shares too little with it (more than two edits and more than half of the longer name).
const MemberInfo* ClosestMember(std::string_view name);
// The parameter whose name is nearest to name: an index into member.params, or -1 when the
// member has none.
int ClosestParam(const MemberInfo& member, std::string_view name);

// Readable names of the enums ("Long", "property get"...), for tools and messages.
std::string_view TypeName(VarType type);
std::string_view KindName(MemberKind kind);

}  // namespace nev::automation
