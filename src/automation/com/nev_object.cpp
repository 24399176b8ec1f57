#include "nev_object.h"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding.h"
#include "members.h"
#include "nev/error.h"
#include "platform/codepage.h"
#include "platform/win32/message_log.h"
#include "server.h"
#include "variant_bridge.h"

namespace nev::com {

namespace {

VARIANT_BOOL Bool(bool value) {
  return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// A run-time error as an automation HRESULT: the error number in the control facility, as
// automation clients read their error numbers back.
HRESULT ErrorResult(int32_t number) {
  if (number > 0 && number <= 0xFFFF) {
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, static_cast<unsigned>(number));
  }
  return E_FAIL;
}

// Makes the error the thread's error information for a vtable caller.
HRESULT ReportToCaller(const ErrorRecord& error) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    const std::wstring source = platform::ToWide(error.source);
    const std::wstring description = platform::ToWide(error.description);
    create->SetGUID(IID__NEV);
    create->SetSource(const_cast<LPOLESTR>(source.c_str()));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return ErrorResult(error.number);
}

// For the length of one call, the object's log is where messages go when NEVCOM_MESSAGES=log:
// each one becomes a warning entry of the member that met it.
class CallMessages final : public platform::win32::MessageLog {
 public:
  CallMessages(nev::NEV& nev, std::string_view member)
      : nev_(nev), member_(member), scope_(*this) {}

  void Write(const std::string& text, int, const std::string&) noexcept override {
    try {
      nev_.LogWarning(std::string(member_), text);
    } catch (...) {
      // The log could not be started (no right to make its folder): the message is lost.
    }
  }

 private:
  nev::NEV& nev_;
  std::string_view member_;
  platform::win32::MessageLogScope scope_;
};

// Runs a vtable member. Command methods report their own run-time errors; what still escapes
// (InitConnection and StopConnection have no handler of their own) fails the call.
template <class Body>
HRESULT Guard(nev::NEV& nev, std::string_view member, Body&& body) {
  CallMessages messages(nev, member);
  try {
    body();
    return S_OK;
  } catch (const RuntimeError& e) {
    return ReportToCaller(e.record());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT PutText(const std::string& text, BSTR* out) {
  *out = ToBstr(text);
  return *out ? S_OK : E_OUTOFMEMORY;
}

// A member with a Boolean result: False unless the call gets to give one.
template <class Call>
HRESULT BoolResult(nev::NEV& nev, std::string_view member, VARIANT_BOOL* result, Call&& call) {
  if (!result) return E_POINTER;
  *result = VARIANT_FALSE;
  return Guard(nev, member, [&] { *result = Bool(call()); });
}

// A member with a text result: an empty text unless the call gets to give one.
template <class Call>
HRESULT TextResult(nev::NEV& nev, std::string_view member, BSTR* result, Call&& call) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return Guard(nev, member, [&] {
    if (FAILED(PutText(call(), result))) throw std::bad_alloc();
  });
}

// Fills EXCEPINFO for a run-time error of a late-bound call.
HRESULT Exception(const ErrorRecord& error, EXCEPINFO* excepinfo) {
  if (!excepinfo) return ErrorResult(error.number);
  *excepinfo = EXCEPINFO{};
  excepinfo->bstrSource = ToBstr(error.source);
  excepinfo->bstrDescription = ToBstr(error.description);
  excepinfo->scode = ErrorResult(error.number);
  return DISP_E_EXCEPTION;
}

// The DISPPARAMS index of a positional or named argument (rgvarg holds them last first, named
// ones at the front).
UINT PositionalSlot(const DISPPARAMS& params, std::size_t index) {
  return params.cArgs - 1 - static_cast<UINT>(index);
}

// A failed binding as IDispatch reports it, with the argument at fault where there is one.
HRESULT BindingFailure(const automation::InvokeError& e, const DISPPARAMS& params,
                       EXCEPINFO* excepinfo, UINT* arg_error) {
  if (arg_error) {
    if (e.positional() >= 0 && static_cast<UINT>(e.positional()) < params.cArgs) {
      *arg_error = PositionalSlot(params, static_cast<std::size_t>(e.positional()));
    } else if (e.named() >= 0) {
      *arg_error = static_cast<UINT>(e.named());
    }
  }
  switch (e.number()) {
    case kErrMemberNotFound:
      return DISP_E_MEMBERNOTFOUND;
    case kErrParamNotFound:
      return DISP_E_PARAMNOTFOUND;
    case kErrNotOptional:
      return DISP_E_PARAMNOTOPTIONAL;
    case kErrBadParamCount:
      return DISP_E_BADPARAMCOUNT;
    case kErrTypeMismatch:
      return DISP_E_TYPEMISMATCH;
    case kErrOverflow:
      return DISP_E_OVERFLOW;
    default:
      return Exception(e.record(), excepinfo);
  }
}

const automation::MemberInfo* MemberFor(DISPID dispid, WORD flags) {
  using automation::Access;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    return automation::MemberFor(dispid, Access::kWrite);
  }
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return nullptr;
  return automation::MemberFor(dispid, Access::kRead);
}

// An environment variable's text (UTF-8), or nothing when it is not set.
std::optional<std::string> Environment(const wchar_t* name) {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetEnvironmentVariableW(name, buffer, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return std::nullopt;
  return platform::FromWide(std::wstring(buffer, n));
}

// Unattended machines tune the log of every object without code: NEVCOM_LOG_LEVEL (0 to 4) and
// NEVCOM_LOG_DIR (an existing folder, in which "Logs" is made). Other values are ignored.
void ApplyLogEnvironment(LogSettings& log) {
  if (const auto level = Environment(L"NEVCOM_LOG_LEVEL");
      level && level->size() == 1 && (*level)[0] >= '0' && (*level)[0] <= '4') {
    log.Level((*level)[0] - '0');
  }
  if (const auto folder = Environment(L"NEVCOM_LOG_DIR")) {
    const DWORD attributes = GetFileAttributesW(platform::ToWide(*folder).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      log.BaseFolder(*folder);
    }
  }
}

}  // namespace

// Automation callers keep the platform's conversion: what the code page lacks becomes "?".
NEVObject::NEVObject() : nev_(NEVOptions{{}, true}) {
  ApplyLogEnvironment(nev_.Log());
  ObjectCreated();
}

NEVObject::~NEVObject() {
  if (type_info_) type_info_->Release();
  ObjectDestroyed();
}

HRESULT NEVObject::Create(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  NEVObject* object = nullptr;
  try {
    object = new NEVObject();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
  const HRESULT hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

HRESULT NEVObject::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
      IsEqualIID(riid, IID__NEV)) {
    *out = static_cast<_NEV*>(this);
  } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
    *out = static_cast<ISupportErrorInfo*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG NEVObject::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

ULONG NEVObject::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT NEVObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID__NEV) ? S_OK : S_FALSE;
}

HRESULT NEVObject::TypeInfo(ITypeInfo** info) {
  if (!type_info_) {
    const HRESULT hr = LoadNEVTypeInfo(&type_info_);
    if (FAILED(hr)) return hr;
  }
  type_info_->AddRef();
  *info = type_info_;
  return S_OK;
}

HRESULT NEVObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT NEVObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return TypeInfo(info);
}

HRESULT NEVObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  try {
    std::vector<std::string> texts;
    texts.reserve(count);
    for (UINT i = 0; i < count; ++i) {
      texts.push_back(names[i] ? platform::FromWide(names[i]) : std::string());
    }
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    const std::vector<int32_t> resolved = automation::ResolveNames(views);
    for (UINT i = 0; i < count; ++i) ids[i] = resolved[i];
    return automation::AllResolved(resolved) ? S_OK : DISP_E_UNKNOWNNAME;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT NEVObject::Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                          VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  DISPPARAMS none{};
  if (!params) params = &none;
  if (params->cNamedArgs > params->cArgs || (params->cArgs && !params->rgvarg) ||
      (params->cNamedArgs && !params->rgdispidNamedArgs)) {
    return E_INVALIDARG;
  }
  if (result) VariantInit(result);
  const automation::MemberInfo* member = MemberFor(dispid, flags);
  if (!member) return DISP_E_MEMBERNOTFOUND;

  CallMessages messages(nev_, member->name);
  try {
    const std::size_t named_count = params->cNamedArgs;
    const std::size_t positional_count = params->cArgs - named_count;
    std::vector<automation::Variant> positional(positional_count);
    std::vector<automation::NamedArgument> named(named_count);
    for (std::size_t i = 0; i < positional_count; ++i) {
      try {
        positional[i] = FromVariant(params->rgvarg[PositionalSlot(*params, i)]);
      } catch (const RuntimeError& e) {
        throw automation::InvokeError(e.number(), e.record().description, static_cast<int>(i));
      }
    }
    for (std::size_t j = 0; j < named_count; ++j) {
      named[j].param = params->rgdispidNamedArgs[j];
      try {
        named[j].value = FromVariant(params->rgvarg[j]);
      } catch (const RuntimeError& e) {
        throw automation::InvokeError(e.number(), e.record().description, -1, static_cast<int>(j));
      }
    }

    automation::InvokeResult outcome = automation::Invoke(nev_, *member, positional, named);

    // By-reference outputs go back into the caller's variables.
    const auto& declared = member->params;
    for (std::size_t i = 0; i < positional_count && i < declared.size(); ++i) {
      if (declared[i].by_ref) WriteBack(positional[i], params->rgvarg[PositionalSlot(*params, i)]);
    }
    for (std::size_t j = 0; j < named_count; ++j) {
      const int32_t index = named[j].param;
      if (index >= 0 && static_cast<std::size_t>(index) < declared.size() &&
          declared[index].by_ref) {
        WriteBack(named[j].value, params->rgvarg[j]);
      }
    }
    if (result && member->result != automation::VarType::None) {
      return ToVariant(outcome.result, result);
    }
    return S_OK;
  } catch (const automation::InvokeError& e) {
    return BindingFailure(e, *params, excepinfo, arg_error);
  } catch (const RuntimeError& e) {
    return Exception(e.record(), excepinfo);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// _NEV: each member converts its arguments and calls the object.

HRESULT NEVObject::get_SilentMode(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  return Guard(nev_, "SilentMode", [&] { *result = Bool(nev_.SilentMode()); });
}

HRESULT NEVObject::put_SilentMode(VARIANT_BOOL value) {
  return Guard(nev_, "SilentMode", [&] { nev_.SilentMode(value != VARIANT_FALSE); });
}

HRESULT NEVObject::StopConnection(VARIANT_BOOL* result) {
  return BoolResult(nev_, "StopConnection", result, [&] { return nev_.StopConnection(); });
}

HRESULT NEVObject::InitConnection(LONG Port, LONG BaudRate, LONG StopBits, LONG Parity,
                                  LONG ByteSize, VARIANT_BOOL* result) {
  return BoolResult(nev_, "InitConnection", result, [&] {
    return nev_.InitConnection(Port, BaudRate, StopBits, Parity, ByteSize);
  });
}

HRESULT NEVObject::PaperFeed(short Rows, VARIANT_BOOL* result) {
  return BoolResult(nev_, "PaperFeed", result, [&] { return nev_.PaperFeed(Rows); });
}
HRESULT NEVObject::FiscText(BSTR text, VARIANT_BOOL* result) {
  return BoolResult(nev_, "FiscText", result, [&] { return nev_.FiscText(FromBstr(text)); });
}
HRESULT NEVObject::ServText(BSTR text, VARIANT_BOOL* result) {
  return BoolResult(nev_, "ServText", result, [&] { return nev_.ServText(FromBstr(text)); });
}
HRESULT NEVObject::SellArt(LONG n, double Q, double P, VARIANT_BOOL* result) {
  return BoolResult(nev_, "SellArt", result, [&] { return nev_.SellArt(n, Q, P); });
}
HRESULT NEVObject::SellTaxGroup(BSTR Name, BSTR TaxGroup, double Q, double P,
                                VARIANT_BOOL* result) {
  return BoolResult(nev_, "SellTaxGroup", result,
                    [&] { return nev_.SellTaxGroup(FromBstr(Name), FromBstr(TaxGroup), Q, P); });
}
HRESULT NEVObject::OpenServNote(VARIANT_BOOL* result) {
  return BoolResult(nev_, "OpenServNote", result, [&] { return nev_.OpenServNote(); });
}
HRESULT NEVObject::CloseServNote(VARIANT_BOOL* result) {
  return BoolResult(nev_, "CloseServNote", result, [&] { return nev_.CloseServNote(); });
}
HRESULT NEVObject::OpenFiscNote(BSTR casher, BSTR Pass, BSTR BS, VARIANT_BOOL* result) {
  return BoolResult(nev_, "OpenFiscNote", result, [&] {
    return nev_.OpenFiscNote(FromBstr(casher), FromBstr(Pass), FromBstr(BS));
  });
}
HRESULT NEVObject::CloseFiscNote(VARIANT_BOOL* result) {
  return BoolResult(nev_, "CloseFiscNote", result, [&] { return nev_.CloseFiscNote(); });
}
HRESULT NEVObject::SellDep(LONG n, double Q, double P, VARIANT_BOOL* result) {
  return BoolResult(nev_, "SellDep", result, [&] { return nev_.SellDep(n, Q, P); });
}
HRESULT NEVObject::Addition(VARIANT_BOOL Proportional, BSTR V) {
  return Guard(nev_, "Addition",
               [&] { nev_.Addition(Proportional != VARIANT_FALSE, FromBstr(V)); });
}
HRESULT NEVObject::SubTotal(double* Total, double* TotalA, double* TotalB, double* TotalC,
                            VARIANT_BOOL* result) {
  if (!Total || !TotalA || !TotalB || !TotalC) return E_POINTER;
  return BoolResult(nev_, "SubTotal", result,
                    [&] { return nev_.SubTotal(*Total, *TotalA, *TotalB, *TotalC); });
}
HRESULT NEVObject::VoidAll(VARIANT_BOOL* result) {
  return BoolResult(nev_, "VoidAll", result, [&] { return nev_.VoidAll(); });
}
HRESULT NEVObject::AddSum(BSTR casher, BSTR Pass, double Sum, LONG Pay, VARIANT_BOOL* result) {
  return BoolResult(nev_, "AddSum", result,
                    [&] { return nev_.AddSum(FromBstr(casher), FromBstr(Pass), Sum, Pay); });
}
HRESULT NEVObject::OpenDraw(VARIANT_BOOL* result) {
  return BoolResult(nev_, "OpenDraw", result, [&] { return nev_.OpenDraw(); });
}
HRESULT NEVObject::Dublicate(VARIANT_BOOL* result) {
  return BoolResult(nev_, "Dublicate", result, [&] { return nev_.Dublicate(); });
}
HRESULT NEVObject::EJournal(VARIANT_BOOL* result) {
  return BoolResult(nev_, "EJournal", result, [&] { return nev_.EJournal(); });
}
HRESULT NEVObject::ZDay(BSTR* result) {
  return TextResult(nev_, "ZDay", result, [&] { return nev_.ZDay(); });
}
HRESULT NEVObject::ZArticles(VARIANT* result) {
  if (!result) return E_POINTER;
  VariantInit(result);
  return Guard(nev_, "ZArticles", [&] {
    const std::optional<bool> done = nev_.ZArticles();
    if (done) {
      V_VT(result) = VT_BOOL;
      V_BOOL(result) = Bool(*done);
    }
  });
}
HRESULT NEVObject::ZDep(VARIANT_BOOL* result) {
  return BoolResult(nev_, "ZDep", result, [&] { return nev_.ZDep(); });
}
HRESULT NEVObject::ZCasher(VARIANT_BOOL* result) {
  return BoolResult(nev_, "ZCasher", result, [&] { return nev_.ZCasher(); });
}
HRESULT NEVObject::Pay(LONG PayType, double Sum, VARIANT_BOOL* result) {
  return BoolResult(nev_, "Pay", result, [&] { return nev_.Pay(PayType, Sum); });
}
HRESULT NEVObject::GetNumberofNotes(BSTR* result) {
  return TextResult(nev_, "GetNumberofNotes", result, [&] { return nev_.GetNumberofNotes(); });
}
HRESULT NEVObject::NoteInfo(BSTR* result) {
  return TextResult(nev_, "NoteInfo", result, [&] { return nev_.NoteInfo(); });
}
HRESULT NEVObject::GetStatus(LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  return Guard(nev_, "GetStatus", [&] { *result = nev_.GetStatus(); });
}
HRESULT NEVObject::SetStatus() {
  return Guard(nev_, "SetStatus", [&] { nev_.SetStatus(); });
}
HRESULT NEVObject::SendSerNum(BSTR* Num) {
  if (!Num) return E_POINTER;
  return Guard(nev_, "SendSerNum", [&] {
    std::string text = FromBstr(*Num);
    nev_.SendSerNum(text);
    BSTR updated = ToBstr(text);
    if (!updated) throw std::bad_alloc();
    SysFreeString(*Num);
    *Num = updated;
  });
}
HRESULT NEVObject::ZDeny() {
  return Guard(nev_, "ZDeny", [&] { nev_.ZDeny(); });
}
HRESULT NEVObject::ZAllow() {
  return Guard(nev_, "ZAllow", [&] { nev_.ZAllow(); });
}
HRESULT NEVObject::GetTaxRates(BSTR* result) {
  return TextResult(nev_, "GetTaxRates", result, [&] { return nev_.GetTaxRates(); });
}
HRESULT NEVObject::GetFirstFMReport(BSTR s, BSTR* result) {
  return TextResult(nev_, "GetFirstFMReport", result,
                    [&] { return nev_.GetFirstFMReport(FromBstr(s)); });
}
HRESULT NEVObject::GetNextFMReport(BSTR* result) {
  return TextResult(nev_, "GetNextFMReport", result, [&] { return nev_.GetNextFMReport(); });
}
HRESULT NEVObject::ECRInfo(BSTR* result) {
  return TextResult(nev_, "ECRInfo", result, [&] { return nev_.ECRInfo(); });
}
HRESULT NEVObject::GetArticle(short x, BSTR* result) {
  return TextResult(nev_, "GetArticle", result, [&] { return nev_.GetArticle(x); });
}
HRESULT NEVObject::GetDepartment(short x, BSTR* result) {
  return TextResult(nev_, "GetDepartment", result, [&] { return nev_.GetDepartment(x); });
}
HRESULT NEVObject::SetArticle(BSTR n, BSTR Name, BSTR Price, unsigned char TaxG, unsigned char Dep,
                              unsigned char Pay, unsigned char F, BSTR BC, BSTR Q) {
  return Guard(nev_, "SetArticle", [&] {
    nev_.SetArticle(FromBstr(n), FromBstr(Name), FromBstr(Price), TaxG, Dep, Pay, F, FromBstr(BC),
                    FromBstr(Q));
  });
}

}  // namespace nev::com
