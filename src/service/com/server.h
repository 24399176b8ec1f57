// What the COM object and the class factory share with the library's entry points.
#pragma once

#include <oaidl.h>
#include <windows.h>

namespace nev::com {

// Live NEV objects and class-factory locks, for DllCanUnloadNow.
void ObjectCreated();
void ObjectDestroyed();

// The type information of _NEV, read from this library's own TYPELIB resource.
HRESULT LoadNEVTypeInfo(ITypeInfo** info);

}  // namespace nev::com
