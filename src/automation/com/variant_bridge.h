// Automation values (BSTR, VARIANT) to and from the core's UTF-8 texts and late-binding variants.
#pragma once

// clang-format off
// windows.h comes first: the other Windows headers build on it.
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <string>

#include "binding.h"

namespace nev::com {

std::string FromBstr(BSTR text);
// A new BSTR; nullptr only when memory runs out.
BSTR ToBstr(const std::string& utf8);

// A VARIANT as an argument, looking through references (VT_BYREF, VT_BYREF | VT_VARIANT) as
// script clients pass their variables. Throws RuntimeError 13 (a type no parameter takes) or 94
// (Null).
automation::Variant FromVariant(const VARIANT& value);
// Fills an empty VARIANT with a value.
HRESULT ToVariant(const automation::Variant& value, VARIANT* out);
// Stores an output into the caller's variable behind a by-reference VARIANT, in the variable's
// own type (a Variant variable takes the value's type). Other VARIANTs are left alone.
void WriteBack(const automation::Variant& value, VARIANT& target);

}  // namespace nev::com
