#include "binding.h"

namespace nev::automation {
namespace {

std::string Quoted(std::string_view s) {
  return "'" + std::string(s) + "'";
}

std::string Described(int32_t number, const std::string& detail) {
  return StandardDescription(number) + detail;
}

Variant DefaultOf(const ParamInfo& param) {
  return ConvertTo(Variant(std::string(param.default_value)), param.type);
}

bool IsProperty(const MemberInfo& member) {
  return member.kind == MemberKind::PropertyGet || member.kind == MemberKind::PropertyPut;
}

// The put of a property found by its get (or itself), else the member as found.
const MemberInfo* Resolved(const MemberInfo* found, Access access, std::size_t argument_count) {
  if (found == nullptr || !IsProperty(*found)) {
    return access == Access::kWrite ? nullptr : found;
  }
  const bool write =
      access == Access::kWrite || (access == Access::kByArguments && argument_count > 0);
  return FindMember(found->dispid, write ? MemberKind::PropertyPut : MemberKind::PropertyGet);
}

}  // namespace

InvokeError::InvokeError(int32_t number, std::string description, int positional, int named)
    : RuntimeError({number, std::move(description), "NEVComServer"}),
      positional_(positional),
      named_(named) {}

const MemberInfo* MemberFor(std::string_view name, Access access, std::size_t argument_count) {
  return Resolved(FindMember(name), access, argument_count);
}

const MemberInfo* MemberFor(int32_t dispid, Access access, std::size_t argument_count) {
  const MemberInfo* found = FindMember(dispid, MemberKind::PropertyGet);
  if (found == nullptr) found = FindMember(dispid, MemberKind::Function);
  return Resolved(found, access, argument_count);
}

std::vector<int32_t> ResolveNames(std::span<const std::string_view> names) {
  std::vector<int32_t> ids(names.size(), kDispidUnknown);
  if (names.empty()) return ids;
  const MemberInfo* member = FindMember(names[0]);
  if (member == nullptr) return ids;
  ids[0] = member->dispid;
  // A property's parameter names are those of its put (a read-only one has none).
  const MemberInfo* with_params = member;
  if (IsProperty(*member)) {
    if (const MemberInfo* put = MemberFor(names[0], Access::kWrite)) with_params = put;
  }
  for (std::size_t i = 1; i < names.size(); ++i) {
    const int index = FindParam(*with_params, names[i]);
    if (index >= 0) ids[i] = index;
  }
  return ids;
}

bool AllResolved(std::span<const int32_t> ids) {
  for (int32_t id : ids) {
    if (id == kDispidUnknown) return false;
  }
  return true;
}

Binding Bind(const MemberInfo& member, const std::vector<Variant>& positional,
             const std::vector<NamedArgument>& named, LeftOutOutputs outputs) {
  const std::size_t count = member.params.size();
  const std::string where = " (" + std::string(member.name) + ")";
  if (positional.size() > count) {
    throw InvokeError(
        kErrBadParamCount,
        Described(kErrBadParamCount, ": " + std::string(member.name) + " takes " +
                                         std::to_string(count) + ", " +
                                         std::to_string(positional.size()) + " given"),
        static_cast<int>(count));
  }

  Binding bound;
  bound.sources.resize(count);
  for (std::size_t i = 0; i < positional.size(); ++i) {
    if (!std::holds_alternative<Missing>(positional[i])) {
      bound.sources[i] = {ArgumentSource::kPositional, static_cast<int>(i)};
    }
  }
  for (std::size_t j = 0; j < named.size(); ++j) {
    int32_t index = named[j].param;
    if (index == kDispidPropertyPut && member.kind == MemberKind::PropertyPut && count > 0) {
      index = static_cast<int32_t>(count) - 1;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= count) {
      throw InvokeError(kErrParamNotFound, Described(kErrParamNotFound, where), -1,
                        static_cast<int>(j));
    }
    if (bound.sources[index].kind != ArgumentSource::kDefault) {
      throw InvokeError(kErrInvalidArgument,
                        "Argument " + Quoted(member.params[index].name) + " is given twice" + where,
                        -1, static_cast<int>(j));
    }
    bound.sources[index] = {ArgumentSource::kNamed, static_cast<int>(j)};
  }

  // Convert every argument before anything is called.
  bound.args.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const ParamInfo& param = member.params[i];
    const ArgumentSource& from = bound.sources[i];
    if (from.kind == ArgumentSource::kDefault) {
      if (param.by_ref && outputs == LeftOutOutputs::kStartEmpty) {
        bound.args[i] = ConvertTo(Variant{}, param.type);
        continue;
      }
      if (!param.optional) {
        throw InvokeError(kErrNotOptional,
                          Described(kErrNotOptional, ": " + Quoted(param.name) + where),
                          static_cast<int>(i));
      }
      bound.args[i] = DefaultOf(param);
      continue;
    }
    const bool by_position = from.kind == ArgumentSource::kPositional;
    const Variant& value = by_position ? positional[from.index] : named[from.index].value;
    try {
      bound.args[i] = ConvertTo(value, param.type);
    } catch (const RuntimeError& e) {
      throw InvokeError(e.number(), e.record().description + " for " + Quoted(param.name) + where,
                        by_position ? from.index : -1, by_position ? -1 : from.index);
    }
  }
  return bound;
}

InvokeResult Invoke(NEV& nev, const MemberInfo& member, Binding& bound) {
  Arguments args(member, bound.args);
  InvokeResult result;
  result.result = member.invoke(nev, args);
  for (std::size_t i = 0; i < member.params.size(); ++i) {
    if (member.params[i].by_ref) result.outputs.emplace_back(member.params[i].name, bound.args[i]);
  }
  return result;
}

InvokeResult Invoke(NEV& nev, const MemberInfo& member, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named) {
  Binding bound = Bind(member, positional, named);
  InvokeResult result = Invoke(nev, member, bound);
  for (std::size_t i = 0; i < member.params.size(); ++i) {
    if (!member.params[i].by_ref) continue;
    const ArgumentSource& from = bound.sources[i];
    if (from.kind == ArgumentSource::kPositional) positional[from.index] = bound.args[i];
    if (from.kind == ArgumentSource::kNamed) named[from.index].value = bound.args[i];
  }
  return result;
}

InvokeResult Invoke(NEV& nev, int32_t dispid, MemberKind kind, std::vector<Variant>& positional,
                    std::vector<NamedArgument>& named) {
  const MemberInfo* member = FindMember(dispid, kind);
  if (member == nullptr) {
    throw InvokeError(kErrMemberNotFound, StandardDescription(kErrMemberNotFound));
  }
  return Invoke(nev, *member, positional, named);
}

}  // namespace nev::automation
