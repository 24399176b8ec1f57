// Test client of NEVComServer.dll, run under Wine by the COM tests. Each mode checks one side of
// the server the way a client program meets it and prints one line per check ("ok ..." or
// "FAIL ..."); the exit code is the number of failures.
//
//   nevcom_client registry DLLPATH   registration entries, version block, entry points
//   nevcom_client typelib            type library against the member table; name binding
//   nevcom_client typelib-of DLL win32|win64   the same for the type library of a library file
//   nevcom_client receipt            a late-bound receipt with named, omitted and by-ref arguments
//   nevcom_client nodevice           a silent line and an oversize text: what the user is shown
//   nevcom_client unregistered       the ProgID no longer resolves

// clang-format off
// windows.h comes first: the other Windows headers build on it.
#include <windows.h>
#include <initguid.h>
#include <oaidl.h>
#include <oleauto.h>
#include <olectl.h>
// clang-format on

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "service/members.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wwrite-strings"
#include "NEVComServer_h.h"
#pragma GCC diagnostic pop

namespace {

using nev::service::MemberInfo;
using nev::service::MemberKind;
using nev::service::VarType;

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string Narrow(const wchar_t* text, int length = -1) {
  if (!text) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  if (length < 0 && !out.empty()) out.pop_back();
  return out;
}

std::wstring Widen(std::string_view text) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

std::string BstrText(BSTR text) {
  return text ? Narrow(text, SysStringLen(text)) : "";
}

// A VARIANT that clears itself.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
};

VARIANT I2(short value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I2;
  V_I2(&v) = value;
  return v;
}
VARIANT I4(long value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}
VARIANT R8(double value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_R8;
  V_R8(&v) = value;
  return v;
}
VARIANT Bool(bool value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}
VARIANT Null() {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_NULL;
  return v;
}
// A text argument; the caller owns the BSTR (the arguments here live until the process ends).
VARIANT Str(std::string_view utf8) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  const std::wstring wide = Widen(utf8);
  V_BSTR(&v) = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return v;
}

struct CallResult {
  HRESULT hr = E_FAIL;
  Var result;
  UINT arg_error = ~0u;
  EXCEPINFO excepinfo{};
  ~CallResult() {
    SysFreeString(excepinfo.bstrSource);
    SysFreeString(excepinfo.bstrDescription);
    SysFreeString(excepinfo.bstrHelpFile);
  }
};

// A late-bound call by name: positional arguments in parameter order, named ones by name.
void Call(IDispatch* object, const std::string& member, std::vector<VARIANT> positional,
          std::vector<std::pair<std::string, VARIANT>> named, CallResult& out,
          WORD flags = DISPATCH_METHOD) {
  std::vector<std::wstring> names{Widen(member)};
  for (auto& [name, value] : named) names.push_back(Widen(name));
  std::vector<LPOLESTR> name_ptrs;
  for (auto& name : names) name_ptrs.push_back(name.data());
  std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
  out.hr = object->GetIDsOfNames(IID_NULL, name_ptrs.data(), static_cast<UINT>(names.size()),
                                 LOCALE_USER_DEFAULT, ids.data());
  if (FAILED(out.hr)) return;
  const size_t total = positional.size() + named.size();
  std::vector<VARIANT> args(total);
  std::vector<DISPID> named_ids;
  for (size_t j = 0; j < named.size(); ++j) {
    args[j] = named[j].second;
    named_ids.push_back(ids[j + 1]);
  }
  for (size_t i = 0; i < positional.size(); ++i) args[total - 1 - i] = positional[i];
  DISPPARAMS params{args.data(), named_ids.data(), static_cast<UINT>(total),
                    static_cast<UINT>(named.size())};
  out.hr = object->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out.result.v,
                          &out.excepinfo, &out.arg_error);
}

// Calls a method that returns a Boolean and checks it returned True.
void CheckTrue(IDispatch* object, const std::string& member, std::vector<VARIANT> positional,
               std::vector<std::pair<std::string, VARIANT>> named = {}) {
  CallResult r;
  Call(object, member, std::move(positional), std::move(named), r);
  Check(r.hr == S_OK && V_VT(&r.result.v) == VT_BOOL && V_BOOL(&r.result.v) == VARIANT_TRUE,
        member + " returns True (hr " + Hex(r.hr) + ", vt " + std::to_string(V_VT(&r.result.v)) +
            ")");
}

IDispatch* CreateNEV() {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"NEVComServer.NEV", &clsid);
  Check(hr == S_OK && IsEqualCLSID(clsid, CLSID_NEV), "ProgID NEVComServer.NEV names the class");
  if (FAILED(hr)) return nullptr;
  IDispatch* object = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&object));
  Check(hr == S_OK && object, "CoCreateInstance gives IDispatch (hr " + Hex(hr) + ")");
  return SUCCEEDED(hr) ? object : nullptr;
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring RegText(HKEY root, const std::wstring& path, const wchar_t* name) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return L"<missing>";
  }
  return buffer;
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// --- registry: entries, version block, entry points -------------------------------------------

void CheckVersionBlock(const std::wstring& dll) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &handle);
  Check(size > 0, "the library has a version block");
  if (size == 0) return;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(dll.c_str(), 0, size, block.data())) {
    Check(false, "GetFileVersionInfoW");
    return;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    Check(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 88,
          "file version 1.0.0.88");
    Check(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 88,
          "product version 1.0.0.88");
    Check(fixed->dwFileType == VFT_DLL, "file type DLL");
    Check(fixed->dwFileOS == VOS__WINDOWS32, "file OS 32-bit Windows");
  } else {
    Check(false, "fixed version info");
  }
  WORD* translation = nullptr;
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translation), &length) &&
      length >= 4) {
    Check(translation[0] == 0x0409 && translation[1] == 0x04B0,
          "translation 0409 / 04B0 (1200, Unicode)");
  } else {
    Check(false, "translation present");
  }
  const std::pair<const wchar_t*, const char*> strings[] = {
      {L"FileVersion", "1.00.0088"},
      {L"ProductVersion", "1.00.0088"},
      {L"ProductName", "NEVComServer"},
      {L"InternalName", "NEVComServer"},
      {L"OriginalFilename", "NEVComServer.dll"},
      {L"OLESelfRegister", ""}};
  for (const auto& [key, expected] : strings) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    wchar_t* value = nullptr;
    length = 0;
    const bool found =
        VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length);
    const std::string text = found && value && length > 0 ? Narrow(value) : "";
    Check(found && text == expected,
          "version string " + Narrow(key) + " = \"" + expected + "\" (got \"" + text + "\")");
  }
}

void CheckEntryPoints(const std::wstring& dll) {
  HMODULE module = LoadLibraryW(dll.c_str());
  Check(module != nullptr, "LoadLibrary of the server");
  if (!module) return;
  const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                         "DllUnregisterServer"};
  for (int ordinal = 1; ordinal <= 4; ++ordinal) {
    FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    FARPROC by_name = GetProcAddress(module, names[ordinal - 1]);
    Check(by_ordinal && by_ordinal == by_name,
          std::string("ordinal ") + std::to_string(ordinal) + " is " + names[ordinal - 1]);
  }
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  // Through void*, as GetProcAddress's own type says nothing of the real signature.
  auto can_unload = reinterpret_cast<CanUnload>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  auto get_class = reinterpret_cast<GetClassObject>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  if (!can_unload || !get_class) return;

  void* none = reinterpret_cast<void*>(1);
  Check(get_class(IID__NEV, IID_IClassFactory, &none) == CLASS_E_CLASSNOTAVAILABLE && !none,
        "DllGetClassObject refuses another class id with CLASS_E_CLASSNOTAVAILABLE");
  IClassFactory* factory = nullptr;
  HRESULT hr = get_class(CLSID_NEV, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  Check(hr == S_OK && factory, "DllGetClassObject hands out the factory of NEV");
  if (!factory) return;
  Check(can_unload() == S_OK, "DllCanUnloadNow S_OK with no object and no lock");
  IUnknown* outer = factory;
  IUnknown* aggregated = nullptr;
  Check(factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&aggregated)) ==
            CLASS_E_NOAGGREGATION,
        "aggregation is refused");
  IDispatch* object = nullptr;
  hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
  Check(hr == S_OK && object, "the factory creates an object");
  Check(can_unload() == S_FALSE, "DllCanUnloadNow S_FALSE while an object lives");
  IUnknown* second = nullptr;
  if (object) object->QueryInterface(IID__NEV, reinterpret_cast<void**>(&second));
  Check(second != nullptr, "the object answers for _NEV");
  if (second) second->Release();
  if (object) object->Release();
  Check(can_unload() == S_OK, "DllCanUnloadNow S_OK once the object is released");
  factory->LockServer(TRUE);
  Check(can_unload() == S_FALSE, "DllCanUnloadNow S_FALSE while the factory is locked");
  factory->LockServer(FALSE);
  Check(can_unload() == S_OK, "DllCanUnloadNow S_OK after the unlock");
  factory->Release();
}

void ModeRegistry(const std::wstring& dll) {
  const std::wstring clsid = GuidText(CLSID_NEV);
  const std::wstring libid = GuidText(LIBID_NEVComServer);
  const std::wstring iid = GuidText(IID__NEV);
  Check(RegText(HKEY_CLASSES_ROOT, L"NEVComServer.NEV\\Clsid", nullptr) == clsid,
        "ProgID maps to the class id");
  const std::wstring server = L"CLSID\\" + clsid + L"\\InprocServer32";
  Check(lstrcmpiW(RegText(HKEY_CLASSES_ROOT, server, nullptr).c_str(), dll.c_str()) == 0,
        "InprocServer32 names the library: " +
            Narrow(RegText(HKEY_CLASSES_ROOT, server, nullptr).c_str()));
  Check(RegText(HKEY_CLASSES_ROOT, server, L"ThreadingModel") == L"Apartment",
        "ThreadingModel Apartment");
  Check(
      RegText(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\ProgID", nullptr) == L"NEVComServer.NEV",
      "the class names its ProgID");
  Check(RegText(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\TypeLib", nullptr) == libid,
        "the class names its type library");
  const std::wstring typelib =
      L"TypeLib\\" + libid + L"\\f.0\\0\\" + (sizeof(void*) == 8 ? L"win64" : L"win32");
  Check(lstrcmpiW(RegText(HKEY_CLASSES_ROOT, typelib, nullptr).c_str(), dll.c_str()) == 0,
        "type library registered as version 15.0, locale 0, at the library");
  const std::wstring itf = L"Interface\\" + iid;
  Check(RegText(HKEY_CLASSES_ROOT, itf + L"\\ProxyStubClsid32", nullptr) ==
            L"{00020424-0000-0000-C000-000000000046}",
        "_NEV is marshalled by the automation marshaller");
  Check(RegText(HKEY_CLASSES_ROOT, itf + L"\\TypeLib", nullptr) == libid,
        "_NEV names its type library");
  ITypeLib* lib = nullptr;
  Check(LoadRegTypeLib(LIBID_NEVComServer, 15, 0, 0, &lib) == S_OK,
        "LoadRegTypeLib finds version 15.0, locale 0");
  if (lib) lib->Release();
  CheckVersionBlock(dll);
  CheckEntryPoints(dll);
}

// --- typelib: the type library against the member table --------------------------------------

VARTYPE VtOf(VarType type) {
  switch (type) {
    case VarType::Integer:
      return VT_I2;
    case VarType::Long:
      return VT_I4;
    case VarType::Double:
      return VT_R8;
    case VarType::Byte:
      return VT_UI1;
    case VarType::String:
      return VT_BSTR;
    case VarType::Boolean:
      return VT_BOOL;
    case VarType::Variant:
      return VT_VARIANT;
    case VarType::None:
      break;
  }
  return VT_EMPTY;
}

INVOKEKIND InvokeKindOf(MemberKind kind) {
  switch (kind) {
    case MemberKind::PropertyGet:
      return INVOKE_PROPERTYGET;
    case MemberKind::PropertyPut:
      return INVOKE_PROPERTYPUT;
    default:
      return INVOKE_FUNC;
  }
}

bool DefaultMatches(const nev::service::ParamInfo& param, const ELEMDESC& elem) {
  const PARAMDESC& desc = elem.paramdesc;
  if (!(desc.wParamFlags & PARAMFLAG_FHASDEFAULT) || !desc.pparamdescex) return false;
  VARIANT value;
  VariantInit(&value);
  if (FAILED(VariantCopy(&value, &desc.pparamdescex->varDefaultValue))) return false;
  bool same = false;
  if (param.type == VarType::Boolean) {
    same = SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BOOL)) &&
           (V_BOOL(&value) != VARIANT_FALSE) == (param.default_value == "True");
  } else if (param.type == VarType::String) {
    same = V_VT(&value) == VT_BSTR && BstrText(V_BSTR(&value)) == param.default_value;
  }
  VariantClear(&value);
  return same;
}

void CheckFunction(ITypeInfo* info, const FUNCDESC& fd, const MemberInfo& m) {
  const std::string name(m.name);
  const std::string where = name + " (slot " + std::to_string(m.slot) + ")";
  Check(fd.memid == m.dispid, where + " DISPID " + Hex(m.dispid) + " (got " + Hex(fd.memid) + ")");
  Check(fd.invkind == InvokeKindOf(m.kind), where + " kind");
  Check(fd.funckind == FUNC_PUREVIRTUAL && fd.callconv == CC_STDCALL &&
            fd.elemdescFunc.tdesc.vt == VT_HRESULT,
        where + " is a stdcall vtable member returning HRESULT");
  const bool has_result = m.result != VarType::None;
  const size_t declared = m.params.size() + (has_result ? 1 : 0);
  Check(static_cast<size_t>(fd.cParams) == declared,
        where + " has " + std::to_string(declared) + " parameters");
  if (static_cast<size_t>(fd.cParams) != declared) return;

  BSTR names[32] = {};
  UINT count = 0;
  info->GetNames(fd.memid, names, 32, &count);
  // A property's get and put share the DISPID; the names found are the get's.
  if (m.kind != MemberKind::PropertyPut) {
    bool same = count >= 1 + m.params.size() && BstrText(names[0]) == name;
    for (size_t i = 0; same && i < m.params.size(); ++i) {
      same = BstrText(names[i + 1]) == m.params[i].name;
    }
    Check(same, where + " names itself and its parameters letter for letter");
  }
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);

  for (size_t i = 0; i < m.params.size(); ++i) {
    const auto& param = m.params[i];
    const ELEMDESC& elem = fd.lprgelemdescParam[i];
    const std::string what = where + " parameter " + std::string(param.name);
    const USHORT flags = elem.paramdesc.wParamFlags;
    if (param.by_ref) {
      Check(elem.tdesc.vt == VT_PTR && elem.tdesc.lptdesc->vt == VtOf(param.type) &&
                (flags & PARAMFLAG_FIN) && (flags & PARAMFLAG_FOUT),
            what + " is in/out by reference");
    } else {
      Check(
          elem.tdesc.vt == VtOf(param.type) && (flags & PARAMFLAG_FIN) && !(flags & PARAMFLAG_FOUT),
          what + " is in, by value, of its type");
    }
    if (param.optional) {
      Check((flags & PARAMFLAG_FOPT) && DefaultMatches(param, elem),
            what + " is optional with default \"" + std::string(param.default_value) + "\"");
    } else {
      Check(!(flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)), what + " is required");
    }
  }
  if (has_result) {
    const ELEMDESC& elem = fd.lprgelemdescParam[m.params.size()];
    Check(elem.tdesc.vt == VT_PTR && elem.tdesc.lptdesc->vt == VtOf(m.result) &&
              (elem.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) &&
              (elem.paramdesc.wParamFlags & PARAMFLAG_FOUT),
          where + " returns its result as retval");
  }
}

// The whole type library, reached from the dispatch type information of _NEV.
void CheckTypeLibrary(ITypeInfo* dispatch_info, SYSKIND syskind) {
  TYPEATTR* attr = nullptr;
  dispatch_info->GetTypeAttr(&attr);
  const WORD wanted = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION |
                      TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FHIDDEN;
  Check(IsEqualGUID(attr->guid, IID__NEV) && attr->typekind == TKIND_DISPATCH,
        "the object's type information is the dispatch interface _NEV");
  // The dispatch view of a dual interface carries its flags but OLE-automation, which belongs
  // to the vtable view (checked below).
  const WORD dispatch_wanted = wanted & ~TYPEFLAG_FOLEAUTOMATION;
  Check((attr->wTypeFlags & dispatch_wanted) == dispatch_wanted &&
            !(attr->wTypeFlags & TYPEFLAG_FCANCREATE),
        "the dispatch view of _NEV is dual, dispatchable, non-extensible and hidden (flags " +
            Hex(attr->wTypeFlags) + ")");
  dispatch_info->ReleaseTypeAttr(attr);

  ITypeLib* lib = nullptr;
  UINT index = 0;
  dispatch_info->GetContainingTypeLib(&lib, &index);
  TLIBATTR* lib_attr = nullptr;
  lib->GetLibAttr(&lib_attr);
  Check(IsEqualGUID(lib_attr->guid, LIBID_NEVComServer) && lib_attr->wMajorVerNum == 15 &&
            lib_attr->wMinorVerNum == 0 && lib_attr->lcid == 0,
        "library version 15.0, locale 0 (got " + std::to_string(lib_attr->wMajorVerNum) + "." +
            std::to_string(lib_attr->wMinorVerNum) + ", lcid " + std::to_string(lib_attr->lcid) +
            ")");
  Check(lib_attr->syskind == syskind,
        "library built for " + std::string(syskind == SYS_WIN64 ? "64" : "32") + "-bit Windows");
  lib->ReleaseTLibAttr(lib_attr);
  BSTR lib_name = nullptr, lib_doc = nullptr, help_file = nullptr;
  lib->GetDocumentation(-1, &lib_name, &lib_doc, nullptr, &help_file);
  Check(BstrText(lib_name) == "NEVComServer" && !lib_doc && !help_file,
        "library NEVComServer without help file or help string");
  SysFreeString(lib_name);
  SysFreeString(lib_doc);
  SysFreeString(help_file);
  Check(lib->GetTypeInfoCount() == 2, "two type infos");

  ITypeInfo* coclass = nullptr;
  Check(lib->GetTypeInfoOfGuid(CLSID_NEV, &coclass) == S_OK, "the coclass NEV is described");
  if (coclass) {
    TYPEATTR* cattr = nullptr;
    coclass->GetTypeAttr(&cattr);
    BSTR cname = nullptr;
    coclass->GetDocumentation(MEMBERID_NIL, &cname, nullptr, nullptr, nullptr);
    INT impl_flags = 0;
    coclass->GetImplTypeFlags(0, &impl_flags);
    HREFTYPE ref = 0;
    ITypeInfo* impl = nullptr;
    coclass->GetRefTypeOfImplType(0, &ref);
    coclass->GetRefTypeInfo(ref, &impl);
    TYPEATTR* iattr = nullptr;
    if (impl) impl->GetTypeAttr(&iattr);
    Check(cattr->typekind == TKIND_COCLASS && BstrText(cname) == "NEV" &&
              (cattr->wTypeFlags & TYPEFLAG_FCANCREATE) && cattr->cImplTypes == 1 &&
              impl_flags == IMPLTYPEFLAG_FDEFAULT && iattr && IsEqualGUID(iattr->guid, IID__NEV),
          "NEV is creatable with _NEV as its only, default interface and no source");
    if (iattr) impl->ReleaseTypeAttr(iattr);
    if (impl) impl->Release();
    SysFreeString(cname);
    coclass->ReleaseTypeAttr(cattr);
    coclass->Release();
  }
  lib->Release();

  // The vtable view of the dual interface: slots, DISPIDs, names, types, flags, defaults.
  HREFTYPE vtable_ref = 0;
  ITypeInfo* vtable_info = nullptr;
  dispatch_info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref);
  dispatch_info->GetRefTypeInfo(vtable_ref, &vtable_info);
  Check(vtable_info != nullptr, "the dual interface has its vtable view");
  if (vtable_info) {
    TYPEATTR* vattr = nullptr;
    vtable_info->GetTypeAttr(&vattr);
    Check((vattr->wTypeFlags & wanted) == wanted,
          "_NEV is dual, dispatchable, OLE-automation, non-extensible and hidden (flags " +
              Hex(vattr->wTypeFlags) + ")");
    // The table's size in pointers of the library's target; Wine leaves it unscaled when a
    // 64-bit process reads a 32-bit library.
    const size_t slots = nev::service::kFirstSlot + nev::service::kMemberCount;
    const size_t library_pointer = syskind == SYS_WIN64 ? 8 : 4;
    Check(vattr->typekind == TKIND_INTERFACE &&
              vattr->cFuncs == static_cast<WORD>(nev::service::kMemberCount) &&
              (vattr->cbSizeVft == slots * sizeof(void*) ||
               vattr->cbSizeVft == slots * library_pointer),
          "_NEV has 40 members after the 7 of IDispatch (funcs " + std::to_string(vattr->cFuncs) +
              ", table " + std::to_string(vattr->cbSizeVft) + " bytes)");
    const WORD funcs = vattr->cFuncs;
    vtable_info->ReleaseTypeAttr(vattr);
    for (const MemberInfo& m : nev::service::Members()) {
      bool found = false;
      for (WORD i = 0; i < funcs && !found; ++i) {
        FUNCDESC* fd = nullptr;
        if (FAILED(vtable_info->GetFuncDesc(i, &fd))) continue;
        if (static_cast<int>(fd->oVft / sizeof(void*)) == m.slot) {
          found = true;
          CheckFunction(vtable_info, *fd, m);
        }
        vtable_info->ReleaseFuncDesc(fd);
      }
      Check(found, std::string(m.name) + " sits in slot " + std::to_string(m.slot));
    }
    vtable_info->Release();
  }
}

void ModeTypelib() {
  IDispatch* object = CreateNEV();
  if (!object) return;
  UINT count = 0;
  Check(object->GetTypeInfoCount(&count) == S_OK && count == 1, "GetTypeInfoCount is 1");
  ITypeInfo* dispatch_info = nullptr;
  Check(object->GetTypeInfo(1, 0, &dispatch_info) == DISP_E_BADINDEX, "GetTypeInfo(1) is refused");
  HRESULT hr = object->GetTypeInfo(0, 0, &dispatch_info);
  Check(hr == S_OK && dispatch_info, "GetTypeInfo(0)");
  if (!dispatch_info) return;
  CheckTypeLibrary(dispatch_info, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  dispatch_info->Release();

  // Name binding through the object: names in any case, parameters by name.
  const struct {
    std::vector<const wchar_t*> names;
    std::vector<DISPID> ids;
  } bindings[] = {{{L"SILENTMODE"}, {0x4003002C}},
                  {{L"zdeny"}, {0x6003004E}},
                  {{L"OpenFiscNote", L"BS", L"CASHER", L"Pass"}, {0x60030039, 2, 0, 1}},
                  {{L"SetArticle", L"q", L"TaxG"}, {0x60030056, 8, 3}}};
  for (const auto& binding : bindings) {
    std::vector<LPOLESTR> ptrs;
    for (const wchar_t* n : binding.names) ptrs.push_back(const_cast<LPOLESTR>(n));
    std::vector<DISPID> ids(ptrs.size(), 0);
    hr =
        object->GetIDsOfNames(IID_NULL, ptrs.data(), static_cast<UINT>(ptrs.size()), 0, ids.data());
    Check(hr == S_OK && ids == binding.ids,
          "GetIDsOfNames binds " + Narrow(binding.names[0]) + " and its parameter names");
  }
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"SellArt"), const_cast<LPOLESTR>(L"Qty")};
  DISPID ids[2] = {0, 0};
  hr = object->GetIDsOfNames(IID_NULL, unknown, 2, 0, ids);
  Check(hr == DISP_E_UNKNOWNNAME && ids[0] == 0x60030035 && ids[1] == DISPID_UNKNOWN,
        "an unknown parameter name gives DISP_E_UNKNOWNNAME and DISPID_UNKNOWN");
  LPOLESTR missing[] = {const_cast<LPOLESTR>(L"PrintReceipt")};
  hr = object->GetIDsOfNames(IID_NULL, missing, 1, 0, ids);
  Check(hr == DISP_E_UNKNOWNNAME && ids[0] == DISPID_UNKNOWN, "an unknown member name");
  object->Release();
}

// --- receipt: late-bound calls that the device sees -------------------------------------------

void CheckNothingSentFailures(IDispatch* nev) {
  // Calls the binding refuses: none of them reaches the device.
  {
    CallResult r;
    Call(nev, "PaperFeed", {}, {}, r);
    Check(r.hr == DISP_E_PARAMNOTOPTIONAL, "PaperFeed without Rows: DISP_E_PARAMNOTOPTIONAL");
  }
  {
    CallResult r;
    Call(nev, "PaperFeed", {Str("abc")}, {}, r);
    Check(r.hr == DISP_E_TYPEMISMATCH && r.arg_error == 0,
          "PaperFeed(\"abc\"): DISP_E_TYPEMISMATCH at argument 0 (hr " + Hex(r.hr) + ")");
  }
  {
    CallResult r;
    Call(nev, "PaperFeed", {I4(100000)}, {}, r);
    Check(r.hr == DISP_E_OVERFLOW, "PaperFeed(100000): DISP_E_OVERFLOW (hr " + Hex(r.hr) + ")");
  }
  {
    CallResult r;
    Call(nev, "SellArt", {I4(1), R8(1), R8(1), R8(1)}, {}, r);
    Check(r.hr == DISP_E_BADPARAMCOUNT, "SellArt with four arguments: DISP_E_BADPARAMCOUNT");
  }
  {
    CallResult r;
    Call(nev, "FiscText", {Null()}, {}, r);
    Check(r.hr == DISP_E_EXCEPTION && r.excepinfo.scode == static_cast<SCODE>(0x800A005E),
          "FiscText(Null): run-time error 94 (hr " + Hex(r.hr) + ")");
  }
  {
    VARIANT arg = I2(1);
    DISPID gap = 0x60030031;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    Var result;
    HRESULT hr =
        nev->Invoke(gap, IID_NULL, 0, DISPATCH_METHOD, &params, &result.v, nullptr, nullptr);
    Check(hr == DISP_E_MEMBERNOTFOUND, "a DISPID of the gaps: DISP_E_MEMBERNOTFOUND");
    DISPID bad_named = 5;
    DISPPARAMS named{&arg, &bad_named, 1, 1};
    UINT arg_error = ~0u;
    hr = nev->Invoke(0x60030032, IID_NULL, 0, DISPATCH_METHOD, &named, &result.v, nullptr,
                     &arg_error);
    Check(hr == DISP_E_PARAMNOTFOUND && arg_error == 0,
          "a named argument PaperFeed does not have: DISP_E_PARAMNOTFOUND");
  }
  {
    CallResult r;
    Call(nev, "SellArt", {R8(std::nan("")), R8(1), R8(1)}, {}, r);
    Check(r.hr == DISP_E_OVERFLOW || r.hr == DISP_E_TYPEMISMATCH,
          "SellArt with a NaN article number is refused (hr " + Hex(r.hr) + ")");
  }
  {
    VARIANT object;
    V_VT(&object) = VT_DISPATCH;
    V_DISPATCH(&object) = nev;
    CallResult r;
    Call(nev, "PaperFeed", {object}, {}, r);
    Check(r.hr == DISP_E_TYPEMISMATCH, "PaperFeed(an object): DISP_E_TYPEMISMATCH");
    VARIANT array;
    V_VT(&array) = VT_ARRAY | VT_I4;
    V_ARRAY(&array) = SafeArrayCreateVector(VT_I4, 0, 3);
    CallResult a;
    Call(nev, "PaperFeed", {array}, {}, a);
    Check(a.hr == DISP_E_TYPEMISMATCH, "PaperFeed(an array): DISP_E_TYPEMISMATCH");
    SafeArrayDestroy(V_ARRAY(&array));
  }
  {
    // A text far beyond a frame: False, reported to the log in silent mode, nothing sent.
    VARIANT on = Bool(true);
    VARIANT off = Bool(false);
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS put_on{&on, &put_id, 1, 1};
    DISPPARAMS put_off{&off, &put_id, 1, 1};
    nev->Invoke(nev::service::kDispidSilentMode, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put_on,
                nullptr, nullptr, nullptr);
    CallResult r;
    Call(nev, "FiscText", {Str(std::string(1000000, 'x'))}, {}, r);
    Check(r.hr == S_OK && V_VT(&r.result.v) == VT_BOOL && V_BOOL(&r.result.v) == VARIANT_FALSE,
          "FiscText with a million characters returns False");
    nev->Invoke(nev::service::kDispidSilentMode, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put_off,
                nullptr, nullptr, nullptr);
  }
}

void ModeReceipt() {
  IDispatch* nev = CreateNEV();
  if (!nev) return;

  // SilentMode through property get and put.
  {
    CallResult get;
    Call(nev, "SilentMode", {}, {}, get, DISPATCH_PROPERTYGET);
    Check(get.hr == S_OK && V_VT(&get.result.v) == VT_BOOL && V_BOOL(&get.result.v) == 0,
          "SilentMode starts False");
    VARIANT value = Bool(true);
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put_id, 1, 1};
    HRESULT hr = nev->Invoke(nev::service::kDispidSilentMode, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                             &params, nullptr, nullptr, nullptr);
    CallResult after;
    Call(nev, "silentmode", {}, {}, after, DISPATCH_PROPERTYGET | DISPATCH_METHOD);
    Check(hr == S_OK && V_VT(&after.result.v) == VT_BOOL && V_BOOL(&after.result.v) == VARIANT_TRUE,
          "SilentMode put True reads back True");
    value = Bool(false);
    nev->Invoke(nev::service::kDispidSilentMode, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                nullptr, nullptr, nullptr);
  }

  CheckTrue(nev, "InitConnection", {I4(1), I4(9600), I4(1), I4(0), I4(8)});
  // BS left out: the default "" sends no buyer field.
  CheckTrue(nev, "OpenFiscNote", {Str("1"), Str("0000")});
  CheckTrue(nev, "FiscText", {Str("Касова бележка")});
  CheckNothingSentFailures(nev);
  // All arguments named, in another order than declared.
  CheckTrue(nev, "SellTaxGroup", {},
            {{"P", R8(1.25)}, {"q", I2(2)}, {"TaxGroup", Str("Б")}, {"Name", Str("Хляб")}});
  // Arguments of other types, converted as automation converts them.
  CheckTrue(nev, "SellDep", {Str("2"), I2(1), Str("3")});
  // Proportional left out (True), V named.
  {
    CallResult r;
    Call(nev, "Addition", {}, {{"V", Str(" -10 ")}}, r);
    Check(r.hr == S_OK && V_VT(&r.result.v) == VT_EMPTY,
          "Addition is a procedure: the call gives an empty result");
  }
  // SubTotal writes its totals into variables passed by reference, of any type.
  {
    double total = -1;
    VARIANT total_ref;
    V_VT(&total_ref) = VT_BYREF | VT_R8;
    V_R8REF(&total_ref) = &total;
    VARIANT a_var;
    VariantInit(&a_var);
    VARIANT a_ref;
    V_VT(&a_ref) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&a_ref) = &a_var;
    VARIANT b_var = I2(7);
    VARIANT b_ref;
    V_VT(&b_ref) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&b_ref) = &b_var;
    LONG c = -1;
    VARIANT c_ref;
    V_VT(&c_ref) = VT_BYREF | VT_I4;
    V_I4REF(&c_ref) = &c;
    CallResult r;
    Call(nev, "SubTotal", {total_ref, a_ref, b_ref, c_ref}, {}, r);
    Check(r.hr == S_OK && V_VT(&r.result.v) == VT_BOOL && V_BOOL(&r.result.v) == VARIANT_TRUE,
          "SubTotal returns True (hr " + Hex(r.hr) + ")");
    char line[160];
    std::snprintf(line, sizeof line, "subtotal %.2f %.2f %.2f %ld (vt %d %d)", total,
                  V_VT(&a_var) == VT_R8 ? V_R8(&a_var) : -1.0,
                  V_VT(&b_var) == VT_R8 ? V_R8(&b_var) : -1.0, c, V_VT(&a_var), V_VT(&b_var));
    std::printf("%s\n", line);
    Check(std::fabs(total - 4.95) < 0.001, "Total through VT_BYREF|VT_R8 is 4.95");
    Check(V_VT(&a_var) == VT_R8 && std::fabs(V_R8(&a_var) - 2.70) < 0.001,
          "TotalA through a Variant variable is a Double 2.70");
    Check(V_VT(&b_var) == VT_R8 && std::fabs(V_R8(&b_var) - 2.25) < 0.001,
          "TotalB turns its Integer Variant variable into a Double 2.25");
    Check(c == 0, "TotalC through VT_BYREF|VT_I4 is 0");
    VariantClear(&b_var);
  }
  CheckTrue(nev, "Pay", {I4(1), R8(10)});
  CheckTrue(nev, "CloseFiscNote", {});

  // The same object through its vtable, as an early-bound client calls it.
  _NEV* direct = nullptr;
  HRESULT hr = nev->QueryInterface(IID__NEV, reinterpret_cast<void**>(&direct));
  Check(hr == S_OK && direct, "QueryInterface for _NEV");
  if (direct) {
    VARIANT_BOOL fed = VARIANT_FALSE;
    hr = direct->PaperFeed(1, &fed);
    Check(hr == S_OK && fed == VARIANT_TRUE, "PaperFeed(1) through the vtable");
    LONG status = 12345;
    hr = direct->GetStatus(&status);
    Check(hr == S_OK && status != 12345, "GetStatus through the vtable gives a status code");
    direct->Release();
  }
  CallResult stop;
  Call(nev, "StopConnection", {}, {}, stop);
  Check(stop.hr == S_OK && V_VT(&stop.result.v) == VT_BOOL, "StopConnection");
  nev->Release();
}

// --- nodevice: what a user is shown -----------------------------------------------------------

void ModeNoDevice() {
  IDispatch* nev = CreateNEV();
  if (!nev) return;
  CallResult init;
  Call(nev, "InitConnection", {I4(1), I4(9600), I4(1), I4(0), I4(8)}, {}, init);
  Check(init.hr == S_OK && V_VT(&init.result.v) == VT_BOOL && V_BOOL(&init.result.v) == 0,
        "InitConnection with a silent device returns False");
  CallResult text;
  Call(nev, "FiscText", {Str(std::string(300, 'x'))}, {}, text);
  Check(text.hr == S_OK && V_VT(&text.result.v) == VT_BOOL && V_BOOL(&text.result.v) == 0,
        "FiscText with 300 characters returns False, reported by a message");
  nev->Release();
}

// The type library embedded in a library file, read without loading its code (so a 64-bit
// process can check the 32-bit DLL too).
void ModeTypelibOf(const std::wstring& dll, SYSKIND syskind) {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &lib);
  Check(hr == S_OK && lib, "the library file holds a type library (hr " + Hex(hr) + ")");
  if (!lib) return;
  ITypeInfo* dispatch_info = nullptr;
  hr = lib->GetTypeInfoOfGuid(IID__NEV, &dispatch_info);
  Check(hr == S_OK && dispatch_info, "it describes _NEV");
  if (dispatch_info) {
    CheckTypeLibrary(dispatch_info, syskind);
    dispatch_info->Release();
  }
  lib->Release();
}

void ModeUnregistered() {
  CLSID clsid;
  Check(CLSIDFromProgID(L"NEVComServer.NEV", &clsid) != S_OK, "the ProgID no longer resolves");
  Check(!KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(CLSID_NEV)), "the class id is gone");
  Check(!KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + GuidText(LIBID_NEVComServer) + L"\\f.0"),
        "the type library registration is gone");
  Check(!KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(IID__NEV)),
        "the interface registration is gone");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: nevcom_client registry DLL | typelib | typelib-of DLL win32|win64 | "
                 "receipt | nodevice | unregistered\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::fprintf(stderr, "CoInitializeEx failed\n");
    return 2;
  }
  if (mode == "registry" && argc >= 3) {
    ModeRegistry(Widen(argv[2]));
  } else if (mode == "typelib") {
    ModeTypelib();
  } else if (mode == "typelib-of" && argc >= 4) {
    ModeTypelibOf(Widen(argv[2]), std::string(argv[3]) == "win32" ? SYS_WIN32 : SYS_WIN64);
  } else if (mode == "receipt") {
    ModeReceipt();
  } else if (mode == "nodevice") {
    ModeNoDevice();
  } else if (mode == "unregistered") {
    ModeUnregistered();
  } else {
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    CoUninitialize();
    return 2;
  }
  CoUninitialize();
  std::printf("%s: %d failure(s)\n", mode.c_str(), g_failures);
  return g_failures > 125 ? 125 : g_failures;
}
