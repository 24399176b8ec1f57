// Late-bound calls with arbitrary arguments: conversion to every parameter type, binding, and
// the call itself on an object without a connection (so nothing can reach a device). Nothing
// may crash, leak or hang; refusals are run-time errors.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binding.h"
#include "members.h"
#include "nev/message.h"
#include "nev/nev.h"

namespace sv = nev::automation;

namespace {

struct QuietSink : nev::MessageSink {
  void Show(const std::string&, int, const std::string&) override {}
};

// Reads one variant from the input: a type tag, then its bytes.
sv::Variant NextValue(const uint8_t*& p, const uint8_t* end) {
  if (p >= end) return sv::Missing{};
  const uint8_t tag = *p++;
  const auto left = static_cast<size_t>(end - p);
  switch (tag % 8) {
    case 0:
      return std::monostate{};
    case 1:
      return sv::Missing{};
    case 2:
      return left > 0 ? static_cast<bool>(*p++ & 1) : false;
    case 3: {
      int16_t v = 0;
      if (left >= 2) std::memcpy(&v, p, 2), p += 2;
      return v;
    }
    case 4: {
      int32_t v = 0;
      if (left >= 4) std::memcpy(&v, p, 4), p += 4;
      return v;
    }
    case 5: {
      double v = 0;
      if (left >= 8) std::memcpy(&v, p, 8), p += 8;
      return v;
    }
    case 6:
      return left > 0 ? static_cast<uint8_t>(*p++) : uint8_t{0};
    default: {
      size_t n = left > 0 ? *p++ : 0;
      n = std::min(n, static_cast<size_t>(end - p));
      std::string text(reinterpret_cast<const char*>(p), n);
      p += n;
      return text;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto previous = nev::SetMessageSink(std::make_shared<QuietSink>());
  static nev::NEV* object = [] {
    auto* nev = new nev::NEV("/tmp");
    nev->Log().Level(0);  // no log file
    nev->SilentMode(true);
    return nev;
  }();
  (void)previous;
  if (size < 2) return 0;
  const auto members = sv::Members();
  const sv::MemberInfo& member = members[data[0] % members.size()];
  const uint8_t* p = data + 2;
  const uint8_t* end = data + size;
  std::vector<sv::Variant> positional;
  std::vector<sv::NamedArgument> named;
  for (int i = 0; i < (data[1] & 7) && p < end; ++i) positional.push_back(NextValue(p, end));
  if (data[1] & 8) named.push_back({static_cast<int32_t>(data[1] >> 4) - 4, NextValue(p, end)});

  for (const sv::Variant& value : positional) {
    for (sv::VarType type : {sv::VarType::Integer, sv::VarType::Long, sv::VarType::Double,
                             sv::VarType::Byte, sv::VarType::String, sv::VarType::Boolean}) {
      try {
        sv::ConvertTo(value, type);
      } catch (const nev::RuntimeError&) {
      }
    }
  }
  try {
    sv::Bind(member, positional, named, sv::LeftOutOutputs::kStartEmpty);
  } catch (const nev::RuntimeError&) {
  }
  // Opening a port could reach a real device on this machine: that one member is only bound.
  if (member.name == "InitConnection") return 0;
  try {
    sv::Invoke(*object, member, positional, named);
  } catch (const nev::RuntimeError&) {
  }
  return 0;
}
