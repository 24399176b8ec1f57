// The library's entry points: the class factory of NEV, unloading, and self-registration.
// clang-format off
// windows.h comes first: the other Windows headers build on it.
#include <windows.h>
#include <initguid.h>
#include <oaidl.h>
#include <olectl.h>
// clang-format on

#include "server.h"

#include <atomic>
#include <string>

#include "nev_object.h"
#include "platform/codepage.h"
#include "platform/module.h"
#include "typelib.h"

namespace nev::com {

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

constexpr const wchar_t* kProgId = L"NEVComServer.NEV";
constexpr WORD kLibMajor = 15;
constexpr WORD kLibMinor = 0;
// The standard automation marshaller (the type-library proxy).
constexpr const wchar_t* kAutomationMarshaller = L"{00020424-0000-0000-C000-000000000046}";

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // One factory lives as long as the library; locks keep the library, not the factory.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return NEVObject::Create(riid, out);
  }
  // An unlock without a lock is ignored: the count never goes below zero, or the library could
  // never be unloaded again.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
      return S_OK;
    }
    long locks = g_locks.load();
    while (locks > 0 && !g_locks.compare_exchange_weak(locks, locks - 1)) {
    }
    return S_OK;
  }
};

ClassFactory g_factory;

// Writes one value (the default one when name is null) under HKEY_CLASSES_ROOT\path.
bool SetValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS status =
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// Deletes a key with everything under it, subkeys first (RegDeleteKeyW deletes only a key without
// subkeys, and XP has no RegDeleteTreeW). The depth is capped at the registry's own limit of 512
// levels; a subkey that another writer removed first is no failure, but is not waited for long.
LSTATUS DeleteKeyTree(HKEY parent, const wchar_t* name, int depth) {
  if (depth > 512) return ERROR_CANTOPEN;
  HKEY key = nullptr;
  LSTATUS status =
      RegOpenKeyExW(parent, name, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, &key);
  if (status != ERROR_SUCCESS) return status;
  for (int vanished = 0; vanished < 16;) {
    wchar_t child[256];  // key names have at most 255 characters
    DWORD length = 256;
    status = RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    status = DeleteKeyTree(key, child, depth + 1);
    if (status == ERROR_FILE_NOT_FOUND) {
      ++vanished;
    } else if (status != ERROR_SUCCESS) {
      break;
    }
  }
  RegCloseKey(key);
  if (status != ERROR_NO_MORE_ITEMS) return status;
  return RegDeleteKeyW(parent, name);
}

bool DeleteTree(const std::wstring& path) {
  const LSTATUS status = DeleteKeyTree(HKEY_CLASSES_ROOT, path.c_str(), 0);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

HRESULT LoadOwnTypeLib(ITypeLib** lib) {
  const std::wstring path = nev::platform::ToWide(nev::platform::ModulePath());
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib);
}

}  // namespace

void ObjectCreated() {
  ++g_objects;
}
void ObjectDestroyed() {
  --g_objects;
}

HRESULT LoadNEVTypeInfo(ITypeInfo** info) {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadOwnTypeLib(&lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(IID__NEV, info);
  lib->Release();
  return hr;
}

}  // namespace nev::com

using nev::com::GuidText;

STDAPI DllCanUnloadNow() {
  return nev::com::g_objects == 0 && nev::com::g_locks == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_NEV)) return CLASS_E_CLASSNOTAVAILABLE;
  return nev::com::g_factory.QueryInterface(riid, out);
}

STDAPI DllRegisterServer() {
  using namespace nev::com;
  const std::wstring path = nev::platform::ToWide(nev::platform::ModulePath());
  if (path.empty()) return SELFREG_E_CLASS;
  const std::wstring clsid = GuidText(CLSID_NEV);
  const std::wstring libid = GuidText(LIBID_NEVComServer);
  const std::wstring iid = GuidText(IID__NEV);
  const std::wstring class_key = L"CLSID\\" + clsid;
  const std::wstring version = std::to_wstring(kLibMajor) + L"." + std::to_wstring(kLibMinor);
  // Type library versions in the registry are hexadecimal ("f.0" for 15.0).
  wchar_t hex_version[16] = {};
  wsprintfW(hex_version, L"%x.%x", kLibMajor, kLibMinor);

  const bool ok = SetValue(kProgId, nullptr, kProgId) &&
                  SetValue(std::wstring(kProgId) + L"\\Clsid", nullptr, clsid) &&
                  SetValue(class_key, nullptr, kProgId) &&
                  SetValue(class_key + L"\\InprocServer32", nullptr, path) &&
                  SetValue(class_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment") &&
                  SetValue(class_key + L"\\ProgID", nullptr, kProgId) &&
                  SetValue(class_key + L"\\VERSION", nullptr, version) &&
                  SetValue(class_key + L"\\TypeLib", nullptr, libid) &&
                  SetValue(class_key + L"\\Programmable", nullptr, L"");
  if (!ok) return SELFREG_E_CLASS;

  // The type library under its id, version and locale 0; this also registers _NEV with the
  // automation marshaller. The interface keys are written here as well, so that they do not
  // depend on how the system's registration chooses to describe a dual interface.
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadOwnTypeLib(&lib);
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  hr = RegisterTypeLib(lib, const_cast<LPOLESTR>(path.c_str()), nullptr);
  lib->Release();
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  const std::wstring interface_key = L"Interface\\" + iid;
  const bool interface_ok =
      SetValue(interface_key, nullptr, L"_NEV") &&
      SetValue(interface_key + L"\\ProxyStubClsid", nullptr, kAutomationMarshaller) &&
      SetValue(interface_key + L"\\ProxyStubClsid32", nullptr, kAutomationMarshaller) &&
      SetValue(interface_key + L"\\TypeLib", nullptr, libid) &&
      SetValue(interface_key + L"\\TypeLib", L"Version", hex_version);
  return interface_ok ? S_OK : SELFREG_E_TYPELIB;
}

STDAPI DllUnregisterServer() {
  using namespace nev::com;
  const std::wstring clsid = GuidText(CLSID_NEV);
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  // Not registered is no failure: what is gone stays gone.
  UnRegisterTypeLib(LIBID_NEVComServer, kLibMajor, kLibMinor, 0, kind);
  const bool ok = DeleteTree(L"Interface\\" + GuidText(IID__NEV)) &&
                  DeleteTree(L"CLSID\\" + clsid) && DeleteTree(kProgId);
  return ok ? S_OK : SELFREG_E_CLASS;
}
