// The interface header widl generates from NEVComServer.idl (the GUIDs and _NEV's vtable).
#pragma once

#include <oaidl.h>
#include <windows.h>

// The header gives an optional BSTR parameter the default L"", a literal that C++ will not bind
// to a non-const pointer without complaint.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wwrite-strings"
#include "NEVComServer_h.h"
#pragma GCC diagnostic pop
