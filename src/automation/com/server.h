// What the COM object and the class factory share with the library's entry points.
#pragma once

// clang-format off
// windows.h comes first: the other Windows headers build on it.
#include <windows.h>
#include <oaidl.h>
// clang-format on

namespace nev::com {

// Live NEV objects and class-factory locks, for DllCanUnloadNow.
void ObjectCreated();
void ObjectDestroyed();

// The type information of _NEV, read from this library's own TYPELIB resource.
HRESULT LoadNEVTypeInfo(ITypeInfo** info);

}  // namespace nev::com
