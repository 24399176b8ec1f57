// Test client of NEVComServer.dll, run under Wine by the COM tests: `nevcom_client MODE [DLL]`
// with the modes of main(). It prints a "FAIL ..." line per failed check and last "MODE: N
// failure(s)"; the exit code is the failure count.

// clang-format off
// windows.h comes first: the other Windows headers build on it.
#include <windows.h>
#include <initguid.h>
#include <oaidl.h>
#include <oleauto.h>
#include <olectl.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "members.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wwrite-strings"
#include "NEVComServer_h.h"
#pragma GCC diagnostic pop

namespace {

using nev::automation::MemberInfo;
using nev::automation::MemberKind;
using nev::automation::VarType;

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::printf("FAIL %s\n", what.c_str());
  ++g_failures;
}

std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string Narrow(const std::wstring& text) {
  std::string out(text.size() * 3, '\0');
  out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}

std::string Text(BSTR text) {
  return text ? Narrow(std::wstring(text, SysStringLen(text))) : "";
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Argument VARIANTs. Numbers and Booleans are converted from a Double as automation converts
// them; the BSTRs live until the process ends.
VARIANT Typed(VARTYPE vt, double value = 0) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_R8;
  V_R8(&v) = value;
  if (vt != VT_R8 && FAILED(VariantChangeType(&v, &v, 0, vt))) V_VT(&v) = vt;
  return v;
}

VARIANT Str(const std::wstring& text) {
  VARIANT v = Typed(VT_EMPTY);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

VARIANT Ref(VARTYPE vt, void* target) {
  VARIANT v = Typed(VT_EMPTY);
  V_VT(&v) = VT_BYREF | vt;
  V_BYREF(&v) = target;
  return v;
}

struct Outcome {
  HRESULT hr;  // the scode of the exception for DISP_E_EXCEPTION (run-time errors)
  VARIANT result;
  bool Returned(bool value) const {
    return hr == S_OK && V_VT(&result) == VT_BOOL && (V_BOOL(&result) != 0) == value;
  }
};

// Invoke with rgvarg as IDispatch takes it: named arguments first, then the positional ones
// last first.
Outcome InvokeId(IDispatch* object, DISPID id, std::vector<VARIANT> rgvarg,
                 std::vector<DISPID> named, WORD flags = DISPATCH_METHOD) {
  if (flags == DISPATCH_PROPERTYPUT) named = {DISPID_PROPERTYPUT};
  DISPPARAMS params{rgvarg.data(), named.data(), static_cast<UINT>(rgvarg.size()),
                    static_cast<UINT>(named.size())};
  Outcome out{E_FAIL, Typed(VT_EMPTY)};
  EXCEPINFO error{};  // its texts are left to the end of the process, as the results are
  UINT arg_error = 0;
  out.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out.result, &error,
                          &arg_error);
  if (out.hr == DISP_E_EXCEPTION) out.hr = error.scode;
  return out;
}

// A late-bound call by (ASCII) name: positional arguments in parameter order, named ones by name.
Outcome Call(IDispatch* object, const std::string& member, std::vector<VARIANT> positional,
             std::vector<std::pair<std::string, VARIANT>> named = {},
             WORD flags = DISPATCH_METHOD) {
  std::vector<std::wstring> names{{member.begin(), member.end()}};
  for (const auto& arg : named) names.emplace_back(arg.first.begin(), arg.first.end());
  std::vector<LPOLESTR> pointers;
  for (auto& name : names) pointers.push_back(name.data());
  std::vector<DISPID> ids(names.size());
  const HRESULT hr =
      object->GetIDsOfNames(IID_NULL, pointers.data(), ids.size(), LOCALE_USER_DEFAULT, ids.data());
  if (FAILED(hr)) return {hr, Typed(VT_EMPTY)};
  std::vector<VARIANT> rgvarg;
  for (const auto& arg : named) rgvarg.push_back(arg.second);
  rgvarg.insert(rgvarg.end(), positional.rbegin(), positional.rend());
  return InvokeId(object, ids[0], rgvarg, {ids.begin() + 1, ids.end()}, flags);
}

void CheckTrue(IDispatch* object, const std::string& member, std::vector<VARIANT> positional,
               std::vector<std::pair<std::string, VARIANT>> named = {}) {
  const Outcome r = Call(object, member, std::move(positional), std::move(named));
  Check(r.Returned(true), member + " returns True (hr " + Hex(r.hr) + ", vt " +
                              std::to_string(V_VT(&r.result)) + ")");
}

IDispatch* CreateNEV() {
  CLSID clsid{};
  IDispatch* object = nullptr;
  Check(CLSIDFromProgID(L"NEVComServer.NEV", &clsid) == S_OK && IsEqualCLSID(clsid, CLSID_NEV) &&
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void**>(&object)) == S_OK,
        "the ProgID NEVComServer.NEV names the class, and it creates the object");
  return object;
}

// InitConnection's arguments for COM1 at 9600 baud, 8N1.
std::vector<VARIANT> Com1() {
  return {Typed(VT_I4, 1), Typed(VT_I4, 9600), Typed(VT_I4, 1), Typed(VT_I4, 0), Typed(VT_I4, 8)};
}

// --- registration, version block, class factory -----------------------------------------------

struct RegEntry {
  std::wstring key;
  const wchar_t* value;
  std::wstring expected;
};

std::wstring RegText(const RegEntry& entry) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer;
  return RegGetValueW(HKEY_CLASSES_ROOT, entry.key.c_str(), entry.value, RRF_RT_REG_SZ, nullptr,
                      buffer, &size) == ERROR_SUCCESS
             ? buffer
             : L"<missing>";
}

void CheckVersionBlock(const std::wstring& dll) {
  DWORD handle = 0;
  std::vector<BYTE> block(GetFileVersionInfoSizeW(dll.c_str(), &handle) + 1);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  Check(GetFileVersionInfoW(dll.c_str(), 0, block.size(), block.data()) &&
            VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
            fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 88 &&
            fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 88 &&
            fixed->dwFileType == VFT_DLL && fixed->dwFileOS == VOS__WINDOWS32,
        "version block: file and product version 1.0.0.88, a DLL for 32-bit Windows");
  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"FileVersion", L"1.00.0088"},
      {L"ProductVersion", L"1.00.0088"},
      {L"ProductName", L"NEVComServer"},
      {L"InternalName", L"NEVComServer"},
      {L"OriginalFilename", L"NEVComServer.dll"},
      {L"OLESelfRegister", L""}};
  for (const auto& [key, expected] : strings) {
    wchar_t* value = nullptr;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + std::wstring(key);
    const bool found =
        VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length);
    const std::wstring text = found && value && length > 0 ? value : L"<missing>";
    Check(text == expected, Narrow(key) + " = \"" + Narrow(text) + "\"");
  }
}

// DllGetClassObject for this class only; DllCanUnloadNow counts objects and locks.
void CheckClassFactory(const std::wstring& dll) {
  HMODULE module = LoadLibraryW(dll.c_str());
  // Through void*, as GetProcAddress's own type says nothing of the real signature.
  auto get_class = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  auto can_unload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  IClassFactory* factory = nullptr;
  IDispatch* object = nullptr;
  Check(get_class(IID__NEV, IID_IClassFactory, reinterpret_cast<void**>(&factory)) ==
                CLASS_E_CLASSNOTAVAILABLE &&
            get_class(CLSID_NEV, IID_IClassFactory, reinterpret_cast<void**>(&factory)) == S_OK &&
            factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)) ==
                S_OK,
        "DllGetClassObject gives a factory for NEV only, and it creates the object");
  if (!object) return;
  const HRESULT with_object = can_unload();
  object->Release();
  const HRESULT without = can_unload();
  factory->LockServer(TRUE);
  const HRESULT locked = can_unload();
  factory->LockServer(FALSE);
  Check(with_object == S_FALSE && without == S_OK && locked == S_FALSE && can_unload() == S_OK,
        "DllCanUnloadNow is S_FALSE while an object lives or the server is locked, else S_OK");
  // Unlocks without a lock count for nothing: one lock still locks, its unlock unlocks.
  const bool unmatched_ok =
      factory->LockServer(FALSE) == S_OK && factory->LockServer(FALSE) == S_OK;
  const HRESULT after_unmatched = can_unload();
  factory->LockServer(TRUE);
  const HRESULT relocked = can_unload();
  factory->LockServer(FALSE);
  Check(unmatched_ok && after_unmatched == S_OK && relocked == S_FALSE && can_unload() == S_OK,
        "LockServer(FALSE) without a matching TRUE leaves the lock count at zero");
  factory->Release();
}

void ModeRegistry(const std::wstring& dll, bool registered) {
  const std::wstring clsid_key = L"CLSID\\" + GuidText(CLSID_NEV);
  const std::wstring libid = GuidText(LIBID_NEVComServer);
  const std::wstring itf = L"Interface\\" + GuidText(IID__NEV);
  const RegEntry entries[] = {
      {L"NEVComServer.NEV\\Clsid", nullptr, GuidText(CLSID_NEV)},
      {clsid_key + L"\\InprocServer32", nullptr, dll},
      {clsid_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsid_key + L"\\ProgID", nullptr, L"NEVComServer.NEV"},
      {clsid_key + L"\\TypeLib", nullptr, libid},
      {L"TypeLib\\" + libid + L"\\f.0\\0\\win64", nullptr, dll},
      {itf + L"\\ProxyStubClsid32", nullptr, L"{00020424-0000-0000-C000-000000000046}"},
      {itf + L"\\TypeLib", nullptr, libid}};
  CLSID clsid;
  Check((CLSIDFromProgID(L"NEVComServer.NEV", &clsid) == S_OK) == registered,
        registered ? "the ProgID resolves" : "the ProgID no longer resolves");
  for (const RegEntry& entry : entries) {
    const std::wstring got = RegText(entry);
    Check(registered ? lstrcmpiW(got.c_str(), entry.expected.c_str()) == 0 : got == L"<missing>",
          Narrow(entry.key) + (entry.value ? " " + Narrow(entry.value) : "") + " is \"" +
              Narrow(got) + "\", not \"" + Narrow(entry.expected) + "\"");
  }
  if (!registered) return;
  CheckVersionBlock(dll);
  CheckClassFactory(dll);
}

// --- the type library against the member table ------------------------------------------------

VARTYPE VtOf(VarType type) {
  // In the order of VarType: None, Integer, Long, Double, Byte, String, Boolean, Variant.
  constexpr VARTYPE kVt[] = {VT_EMPTY, VT_I2, VT_I4, VT_R8, VT_UI1, VT_BSTR, VT_BOOL, VT_VARIANT};
  return kVt[static_cast<int>(type)];
}

// The default of a parameter as the table writes it, Booleans as "True"/"False".
std::string DefaultText(const ELEMDESC& elem, VARTYPE vt) {
  const PARAMDESC& desc = elem.paramdesc;
  if (!(desc.wParamFlags & PARAMFLAG_FHASDEFAULT) || !desc.pparamdescex) return "<none>";
  VARIANT value = Typed(VT_EMPTY);
  std::string text = "<not of the parameter's type>";
  if (SUCCEEDED(VariantChangeType(&value, &desc.pparamdescex->varDefaultValue, 0, vt))) {
    text = vt == VT_BOOL ? (V_BOOL(&value) ? "True" : "False") : Text(V_BSTR(&value));
  }
  VariantClear(&value);
  return text;
}

// A member in one line, from the table and from the type library, to be compared:
// "slot name DISPID invoke-kind (param:vt in|in/out[=default]...) -> result-vt". A property
// put's parameter goes unnamed: the type library names the get's parameters only.
std::string Signature(const MemberInfo& m) {
  const int kind = m.kind == MemberKind::PropertyGet   ? INVOKE_PROPERTYGET
                   : m.kind == MemberKind::PropertyPut ? INVOKE_PROPERTYPUT
                                                       : INVOKE_FUNC;
  std::string text = std::to_string(m.slot) + " " + std::string(m.name) + " " + Hex(m.dispid) +
                     " " + std::to_string(kind) + " (";
  for (const auto& p : m.params) {
    text += (m.kind == MemberKind::PropertyPut ? "" : std::string(p.name)) + ":" +
            std::to_string(VtOf(p.type)) + (p.by_ref ? " in/out" : " in") +
            (p.optional ? "=" + std::string(p.default_value) : "") + " ";
  }
  return text + ") -> " + std::to_string(VtOf(m.result));
}

std::string Signature(ITypeInfo* info, const FUNCDESC& fd) {
  BSTR names[16] = {};
  UINT count = 0;
  info->GetNames(fd.memid, names, 16, &count);
  std::string text = std::to_string(fd.oVft / static_cast<int>(sizeof(void*))) + " " +
                     Text(names[0]) + " " + Hex(fd.memid) + " " + std::to_string(fd.invkind) + " (";
  VARTYPE result = VT_EMPTY;
  for (int i = 0; i < fd.cParams; ++i) {
    const ELEMDESC& e = fd.lprgelemdescParam[i];
    const USHORT flags = e.paramdesc.wParamFlags;
    const bool ptr = e.tdesc.vt == VT_PTR;
    const VARTYPE vt = ptr ? e.tdesc.lptdesc->vt : e.tdesc.vt;
    if (ptr && (flags & PARAMFLAG_FRETVAL)) {
      result = vt;
      continue;
    }
    const bool in = (flags & PARAMFLAG_FIN) && !(flags & PARAMFLAG_FOUT) && !ptr;
    const bool in_out = (flags & PARAMFLAG_FIN) && (flags & PARAMFLAG_FOUT) && ptr;
    text +=
        (fd.invkind == INVOKE_PROPERTYPUT ? "" : Text(names[i + 1])) + ":" + std::to_string(vt) +
        (in       ? " in"
         : in_out ? " in/out"
                  : " ?") +
        (flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT) ? "=" + DefaultText(e, vt) : "") + " ";
  }
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
  return text + ") -> " + std::to_string(result);
}

// The whole type library, reached from the dispatch type information of _NEV.
void CheckTypeLibrary(ITypeInfo* dispatch_info, SYSKIND syskind) {
  ITypeLib* lib = nullptr;
  UINT index = 0;
  TLIBATTR* lib_attr = nullptr;
  dispatch_info->GetContainingTypeLib(&lib, &index);
  lib->GetLibAttr(&lib_attr);
  Check(IsEqualGUID(lib_attr->guid, LIBID_NEVComServer) && lib_attr->wMajorVerNum == 15 &&
            lib_attr->wMinorVerNum == 0 && lib_attr->lcid == 0 && lib_attr->syskind == syskind,
        "library NEVComServer version 15.0, locale 0, for its platform");
  lib->ReleaseTLibAttr(lib_attr);
  lib->Release();

  // The flags sit on the vtable view of the dual interface.
  const WORD wanted = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION |
                      TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FHIDDEN;
  TYPEATTR* attr = nullptr;
  HREFTYPE ref = 0;
  ITypeInfo* info = nullptr;
  dispatch_info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
  dispatch_info->GetRefTypeInfo(ref, &info);
  if (!info) return Check(false, "the dual interface has no vtable view");
  info->GetTypeAttr(&attr);
  Check(attr->typekind == TKIND_INTERFACE && (attr->wTypeFlags & wanted) == wanted &&
            attr->cFuncs == nev::automation::kMemberCount,
        "the vtable view has the flags and 40 members (flags " + Hex(attr->wTypeFlags) +
            ", members " + std::to_string(attr->cFuncs) + ")");
  const size_t funcs = std::min<size_t>(attr->cFuncs, nev::automation::kMemberCount);
  info->ReleaseTypeAttr(attr);
  // Members are described in slot order, as the table lists them.
  for (size_t i = 0; i < funcs; ++i) {
    const MemberInfo& m = nev::automation::Members()[i];
    FUNCDESC* fd = nullptr;
    if (FAILED(info->GetFuncDesc(static_cast<UINT>(i), &fd))) continue;
    const std::string expected = Signature(m), got = Signature(info, *fd);
    Check(got == expected, "type library has " + got + "\n     the table has " + expected);
    info->ReleaseFuncDesc(fd);
  }
  info->Release();
}

// The type library of the object, or the one embedded in a library file read without loading its
// code (so that the 32-bit DLL can be checked too).
void ModeTypelib(const std::wstring& dll) {
  IDispatch* object = dll.empty() ? CreateNEV() : nullptr;
  ITypeLib* lib = nullptr;
  ITypeInfo* info = nullptr;
  UINT count = 0;
  if (object) {
    Check(object->GetTypeInfoCount(&count) == S_OK && count == 1 &&
              object->GetTypeInfo(0, 0, &info) == S_OK,
          "one type information, given by GetTypeInfo(0)");
    object->Release();
  } else {
    Check(LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &lib) == S_OK &&
              lib->GetTypeInfoOfGuid(IID__NEV, &info) == S_OK,
          "the library file holds a type library describing _NEV");
  }
  if (info) CheckTypeLibrary(info, dll.empty() && sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  if (info) info->Release();
  if (lib) lib->Release();
}

// --- a late-bound receipt ---------------------------------------------------------------------

void ModeReceipt() {
  IDispatch* nev = CreateNEV();
  if (!nev) return;
  // SilentMode read, written and read back by a name in another case.
  Check(Call(nev, "SilentMode", {}, {}, DISPATCH_PROPERTYGET).Returned(false),
        "SilentMode starts False");
  Check(Call(nev, "SilentMode", {Typed(VT_BOOL, 1)}, {}, DISPATCH_PROPERTYPUT).hr == S_OK &&
            Call(nev, "silentmode", {}, {}, DISPATCH_PROPERTYGET | DISPATCH_METHOD).Returned(true),
        "SilentMode put True reads back True");
  Call(nev, "SilentMode", {Typed(VT_BOOL, 0)}, {}, DISPATCH_PROPERTYPUT);

  CheckTrue(nev, "InitConnection", Com1());
  // BS left out: the default "" sends no buyer field.
  CheckTrue(nev, "OpenFiscNote", {Str(L"1"), Str(L"0000")});
  CheckTrue(nev, "FiscText", {Str(L"Касова бележка")});

  // Calls the binding or the checks refuse: none of them reaches the device. A text far beyond
  // a frame gives False and a message.
  const struct {
    const char* member;
    std::vector<VARIANT> args;
    std::vector<std::pair<std::string, VARIANT>> named;
    HRESULT hr;
  } refused[] = {
      {"PaperFeed", {}, {}, DISP_E_PARAMNOTOPTIONAL},
      {"PaperFeed", {Str(L"abc")}, {}, DISP_E_TYPEMISMATCH},
      {"PaperFeed", {Typed(VT_I4, 100000)}, {}, DISP_E_OVERFLOW},
      {"SellArt", {Typed(VT_R8, NAN), Typed(VT_R8, 1), Typed(VT_R8, 1)}, {}, DISP_E_OVERFLOW},
      {"SellArt",
       {Typed(VT_I4, 1), Typed(VT_R8, 1), Typed(VT_R8, 1), Typed(VT_R8, 1)},
       {},
       DISP_E_BADPARAMCOUNT},
      {"SellArt", {}, {{"Qty", Typed(VT_R8, 1)}}, DISP_E_UNKNOWNNAME},
      {"FiscText", {Typed(VT_NULL)}, {}, static_cast<HRESULT>(0x800A005E)},  // invalid use of Null
      {"FiscText", {Str(std::wstring(1000000, L'x'))}, {}, S_OK},
  };
  for (const auto& call : refused) {
    const Outcome r = Call(nev, call.member, call.args, call.named);
    Check(r.hr == call.hr && (r.hr != S_OK || r.Returned(false)),
          std::string(call.member) + " (row " + std::to_string(&call - refused) + ") gives " +
              Hex(r.hr) + ", not " + Hex(call.hr));
  }
  Check(InvokeId(nev, 0x60030031, {Typed(VT_I2, 1)}, {}).hr == DISP_E_MEMBERNOTFOUND,
        "a DISPID of the gaps: DISP_E_MEMBERNOTFOUND");
  Check(InvokeId(nev, 0x60030032, {Typed(VT_I2, 1)}, {5}).hr == DISP_E_PARAMNOTFOUND,
        "a named argument PaperFeed does not have: DISP_E_PARAMNOTFOUND");

  // All arguments named, in another order than declared.
  CheckTrue(nev, "SellTaxGroup", {},
            {{"P", Typed(VT_R8, 1.25)},
             {"q", Typed(VT_I2, 2)},
             {"TaxGroup", Str(L"Б")},
             {"Name", Str(L"Хляб")}});
  // Arguments of other types, converted as automation converts them.
  CheckTrue(nev, "SellDep", {Str(L"2"), Typed(VT_I2, 1), Str(L"3")});
  // Proportional left out (True), V named; a procedure gives an empty result.
  const Outcome addition = Call(nev, "Addition", {}, {{"V", Str(L" -10 ")}});
  Check(addition.hr == S_OK && V_VT(&addition.result) == VT_EMPTY, "Addition(V:=\" -10 \")");

  // SubTotal writes its totals into variables passed by reference, of any type.
  double total = -1;
  VARIANT a = Typed(VT_EMPTY), b = Typed(VT_I2, 7);
  LONG c = -1;
  const Outcome sub =
      Call(nev, "SubTotal",
           {Ref(VT_R8, &total), Ref(VT_VARIANT, &a), Ref(VT_VARIANT, &b), Ref(VT_I4, &c)});
  Check(sub.Returned(true) && std::fabs(total - 4.95) < 0.001 && V_VT(&a) == VT_R8 &&
            std::fabs(V_R8(&a) - 2.70) < 0.001 && V_VT(&b) == VT_R8 &&
            std::fabs(V_R8(&b) - 2.25) < 0.001 && c == 0,
        "SubTotal returns True and 4.95, 2.70, 2.25, 0 through a Double, an empty Variant, an "
        "Integer Variant and a Long");

  // The device refuses to close an unpaid receipt: False, and the receipt stays open.
  Check(Call(nev, "CloseFiscNote", {}).Returned(false), "CloseFiscNote unpaid returns False");
  CheckTrue(nev, "Pay", {Typed(VT_I4, 1), Typed(VT_R8, 10)});
  CheckTrue(nev, "CloseFiscNote", {});

  // The same object through its vtable, as an early-bound client calls it.
  _NEV* direct = nullptr;
  VARIANT_BOOL fed = VARIANT_FALSE;
  LONG status = 12345;
  Check(nev->QueryInterface(IID__NEV, reinterpret_cast<void**>(&direct)) == S_OK &&
            direct->PaperFeed(1, &fed) == S_OK && fed == VARIANT_TRUE &&
            direct->GetStatus(&status) == S_OK && status != 12345,
        "PaperFeed and GetStatus through the vtable");
  if (direct) direct->Release();
  Check(Call(nev, "StopConnection", {}).hr == S_OK, "StopConnection");
  nev->Release();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const std::string path = argc > 2 ? argv[2] : "";
  const std::wstring dll(path.begin(), path.end());  // ASCII
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (mode == "registry" || mode == "unregistered") {
    ModeRegistry(dll, mode == "registry");
  } else if (mode == "typelib") {
    ModeTypelib(dll);
  } else if (mode == "receipt") {
    ModeReceipt();
  } else if (mode == "nodevice") {
    IDispatch* nev = CreateNEV();
    Check(nev && Call(nev, "InitConnection", Com1()).Returned(false),
          "InitConnection with a silent device returns False");
    if (nev) nev->Release();
  } else {
    Check(false, "unknown mode \"" + mode + "\"");
  }
  CoUninitialize();
  std::printf("%s: %d failure(s)\n", mode.c_str(), g_failures);
  return std::min(g_failures, 125);
}
