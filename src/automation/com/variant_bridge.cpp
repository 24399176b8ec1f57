#include "variant_bridge.h"

#include <cstdint>
#include <limits>

#include "platform/codepage.h"

namespace nev::com {

namespace {

constexpr int32_t kErrInvalidUseOfNull = 94;

automation::Variant FromWideInteger(long long v) {
  if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
    return static_cast<int32_t>(v);
  }
  return static_cast<double>(v);
}

automation::Variant ViaDouble(const VARIANT& value) {
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeTypeEx(&converted, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0,
                                 VT_R8))) {
    Raise(kErrTypeMismatch);
  }
  return converted.dblVal;
}

}  // namespace

std::string FromBstr(BSTR text) {
  if (!text) return {};
  return platform::FromWide(std::wstring_view(text, SysStringLen(text)));
}

BSTR ToBstr(const std::string& utf8) {
  const std::wstring wide = platform::ToWide(utf8);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

automation::Variant FromVariant(const VARIANT& value) {
  if (V_VT(&value) & VT_BYREF) {
    if (V_VT(&value) == (VT_BYREF | VT_VARIANT)) {
      if (!V_VARIANTREF(&value)) Raise(kErrTypeMismatch);
      return FromVariant(*V_VARIANTREF(&value));
    }
    VARIANT copy;
    VariantInit(&copy);
    if (FAILED(VariantCopyInd(&copy, const_cast<VARIANT*>(&value)))) Raise(kErrTypeMismatch);
    automation::Variant result;
    try {
      result = FromVariant(copy);
    } catch (...) {
      VariantClear(&copy);
      throw;
    }
    VariantClear(&copy);
    return result;
  }
  switch (V_VT(&value)) {
    case VT_EMPTY:
      return std::monostate{};
    case VT_NULL:
      Raise(kErrInvalidUseOfNull, "Invalid use of Null");
    case VT_ERROR:
      if (V_ERROR(&value) == DISP_E_PARAMNOTFOUND) return automation::Missing{};
      Raise(kErrTypeMismatch);
    case VT_BOOL:
      return V_BOOL(&value) != VARIANT_FALSE;
    case VT_I2:
      return static_cast<int16_t>(V_I2(&value));
    case VT_I4:
      return static_cast<int32_t>(V_I4(&value));
    case VT_INT:
      return static_cast<int32_t>(V_INT(&value));
    case VT_R8:
      return V_R8(&value);
    case VT_R4:
      return static_cast<double>(V_R4(&value));
    case VT_UI1:
      return static_cast<uint8_t>(V_UI1(&value));
    case VT_I1:
      return static_cast<int16_t>(V_I1(&value));
    case VT_UI2:
      return static_cast<int32_t>(V_UI2(&value));
    case VT_UI4:
      return FromWideInteger(V_UI4(&value));
    case VT_UINT:
      return FromWideInteger(V_UINT(&value));
    case VT_I8:
      return FromWideInteger(V_I8(&value));
    case VT_UI8:
      if (V_UI8(&value) > static_cast<ULONGLONG>(std::numeric_limits<int32_t>::max())) {
        return static_cast<double>(V_UI8(&value));
      }
      return static_cast<int32_t>(V_UI8(&value));
    case VT_CY:
    case VT_DATE:
    case VT_DECIMAL:
      return ViaDouble(value);
    case VT_BSTR:
      return FromBstr(V_BSTR(&value));
    default:
      Raise(kErrTypeMismatch);
  }
}

HRESULT ToVariant(const automation::Variant& value, VARIANT* out) {
  VariantInit(out);
  struct Visitor {
    VARIANT* out;
    HRESULT operator()(std::monostate) const { return S_OK; }
    HRESULT operator()(automation::Missing) const {
      V_VT(out) = VT_ERROR;
      V_ERROR(out) = DISP_E_PARAMNOTFOUND;
      return S_OK;
    }
    HRESULT operator()(bool v) const {
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = v ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    HRESULT operator()(int16_t v) const {
      V_VT(out) = VT_I2;
      V_I2(out) = v;
      return S_OK;
    }
    HRESULT operator()(int32_t v) const {
      V_VT(out) = VT_I4;
      V_I4(out) = v;
      return S_OK;
    }
    HRESULT operator()(double v) const {
      V_VT(out) = VT_R8;
      V_R8(out) = v;
      return S_OK;
    }
    HRESULT operator()(uint8_t v) const {
      V_VT(out) = VT_UI1;
      V_UI1(out) = v;
      return S_OK;
    }
    HRESULT operator()(const std::string& v) const {
      BSTR text = ToBstr(v);
      if (!text) return E_OUTOFMEMORY;
      V_VT(out) = VT_BSTR;
      V_BSTR(out) = text;
      return S_OK;
    }
  };
  return std::visit(Visitor{out}, value);
}

void WriteBack(const automation::Variant& value, VARIANT& target) {
  const VARTYPE vt = V_VT(&target);
  if (!(vt & VT_BYREF) || (vt & VT_ARRAY) || !V_BYREF(&target)) return;
  const VARTYPE base = vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    VARIANT* inner = V_VARIANTREF(&target);
    if (V_VT(inner) & VT_BYREF) {
      WriteBack(value, *inner);
      return;
    }
    VARIANT fresh;
    if (FAILED(ToVariant(value, &fresh))) return;
    VariantClear(inner);
    *inner = fresh;  // takes over the new value's storage
    return;
  }
  VARIANT source;
  if (FAILED(ToVariant(value, &source))) return;
  VARIANT converted;
  VariantInit(&converted);
  const HRESULT hr = VariantChangeTypeEx(&converted, &source, LOCALE_INVARIANT, 0, base);
  VariantClear(&source);
  if (FAILED(hr)) return;
  switch (base) {
    case VT_BOOL:
      *V_BOOLREF(&target) = V_BOOL(&converted);
      break;
    case VT_I1:
      *V_I1REF(&target) = V_I1(&converted);
      break;
    case VT_I2:
      *V_I2REF(&target) = V_I2(&converted);
      break;
    case VT_I4:
      *V_I4REF(&target) = V_I4(&converted);
      break;
    case VT_INT:
      *V_INTREF(&target) = V_INT(&converted);
      break;
    case VT_I8:
      *V_I8REF(&target) = V_I8(&converted);
      break;
    case VT_UI1:
      *V_UI1REF(&target) = V_UI1(&converted);
      break;
    case VT_UI2:
      *V_UI2REF(&target) = V_UI2(&converted);
      break;
    case VT_UI4:
      *V_UI4REF(&target) = V_UI4(&converted);
      break;
    case VT_UINT:
      *V_UINTREF(&target) = V_UINT(&converted);
      break;
    case VT_UI8:
      *V_UI8REF(&target) = V_UI8(&converted);
      break;
    case VT_R4:
      *V_R4REF(&target) = V_R4(&converted);
      break;
    case VT_R8:
      *V_R8REF(&target) = V_R8(&converted);
      break;
    case VT_CY:
      *V_CYREF(&target) = V_CY(&converted);
      break;
    case VT_DATE:
      *V_DATEREF(&target) = V_DATE(&converted);
      break;
    case VT_DECIMAL:
      *V_DECIMALREF(&target) = V_DECIMAL(&converted);
      break;
    case VT_BSTR:
      SysFreeString(*V_BSTRREF(&target));
      *V_BSTRREF(&target) = V_BSTR(&converted);
      return;  // the caller's variable owns the text now
    default:
      break;
  }
  VariantClear(&converted);
}

}  // namespace nev::com
