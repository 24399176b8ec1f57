// The interface header widl generates from NEVComServer.idl (the GUIDs and _NEV's vtable).
#pragma once

// clang-format off
// windows.h comes first: the other Windows headers build on it.
#include <windows.h>
#include <oaidl.h>
// clang-format on

// The header gives an optional BSTR parameter the default L"", a literal that C++ will not bind
// to a non-const pointer without complaint.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wwrite-strings"
#include "NEVComServer_h.h"
#pragma GCC diagnostic pop
