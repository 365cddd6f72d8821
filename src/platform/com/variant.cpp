// VariantInit/Clear/Copy/CopyInd and the conversions of VariantChangeType.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/base/utf.h"
#include "platform/com/com.h"
#include "platform/com/variant_text.h"

namespace {

bool IsInterface(VARTYPE vt) { return vt == VT_UNKNOWN || vt == VT_DISPATCH; }

// Types this runtime can hold by value.
bool KnownBaseType(VARTYPE t) {
  switch (t) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_I1: case VT_UI1:
    case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool ValidType(VARTYPE vt) {
  VARTYPE base = vt & VT_TYPEMASK;
  if (vt & VT_ARRAY) return base != VT_EMPTY && base != VT_NULL && (KnownBaseType(base) || base == VT_VARIANT);
  if (vt & VT_BYREF) return base != VT_EMPTY && base != VT_NULL && (KnownBaseType(base) || base == VT_VARIANT);
  return KnownBaseType(vt) && (vt & ~VT_TYPEMASK) == 0;
}

size_t ByRefSize(VARTYPE base) {
  switch (base) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    default: return 8;
  }
}

// A source value taken apart for conversion.
struct Value {
  enum Kind { Empty, Null, Int, UInt, Real, Bool, Text, Date, Error, Object } kind = Empty;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  std::u16string text;
  IUnknown* object = nullptr;  // not owned
  VARTYPE objectType = VT_EMPTY;
};

HRESULT Decompose(const VARIANT& v, Value& out) {
  switch (v.vt) {
    case VT_EMPTY: out.kind = Value::Empty; return S_OK;
    case VT_NULL: out.kind = Value::Null; return S_OK;
    case VT_I1: out.kind = Value::Int; out.i = v.cVal; return S_OK;
    case VT_I2: out.kind = Value::Int; out.i = v.iVal; return S_OK;
    case VT_I4: case VT_INT: out.kind = Value::Int; out.i = v.lVal; return S_OK;
    case VT_I8: out.kind = Value::Int; out.i = v.llVal; return S_OK;
    case VT_UI1: out.kind = Value::UInt; out.u = v.bVal; return S_OK;
    case VT_UI2: out.kind = Value::UInt; out.u = v.uiVal; return S_OK;
    case VT_UI4: case VT_UINT: out.kind = Value::UInt; out.u = v.ulVal; return S_OK;
    case VT_UI8: out.kind = Value::UInt; out.u = v.ullVal; return S_OK;
    case VT_R4: out.kind = Value::Real; out.d = v.fltVal; return S_OK;
    case VT_R8: out.kind = Value::Real; out.d = v.dblVal; return S_OK;
    case VT_CY: out.kind = Value::Real; out.d = double(v.cyVal.int64) / 10000.0; return S_OK;
    case VT_DATE: out.kind = Value::Date; out.d = v.date; return S_OK;
    case VT_BOOL: out.kind = Value::Bool; out.i = v.boolVal ? -1 : 0; return S_OK;
    case VT_ERROR: out.kind = Value::Error; out.i = v.scode; return S_OK;
    case VT_BSTR:
      out.kind = Value::Text;
      out.text.assign(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal));
      return S_OK;
    case VT_DISPATCH: case VT_UNKNOWN:
      out.kind = Value::Object;
      out.object = v.punkVal;
      out.objectType = v.vt;
      return S_OK;
    default:
      return DISP_E_BADVARTYPE;
  }
}

// A number for the numeric targets: integers exactly, everything else as a double.
struct Number {
  bool isReal = false;
  bool isUnsigned = false;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
};

HRESULT ToNumber(const Value& v, Number& n) {
  switch (v.kind) {
    case Value::Empty: return S_OK;
    case Value::Int: case Value::Bool: n.i = v.i; return S_OK;
    case Value::UInt: n.isUnsigned = true; n.u = v.u; return S_OK;
    case Value::Real: case Value::Date: n.isReal = true; n.d = v.d; return S_OK;
    case Value::Text: {
      plat::com::ParsedNumber p;
      if (!plat::com::ParseNumber(v.text, p)) return DISP_E_TYPEMISMATCH;
      if (p.isReal) {
        n.isReal = true;
        n.d = p.d;
      } else {
        n.i = p.i;
      }
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Integer target in [lo, hi] (signed) or [0, uhi] (unsigned); reals round half to even.
HRESULT ToInteger(const Number& n, bool targetUnsigned, int64_t lo, int64_t hi, uint64_t uhi, int64_t& si,
                  uint64_t& ui) {
  if (n.isReal) {
    double r = std::nearbyint(n.d);  // the default rounding mode rounds ties to even
    if (!std::isfinite(r)) return DISP_E_OVERFLOW;
    if (targetUnsigned) {
      if (r < 0 || r >= 18446744073709551616.0 || r > double(uhi)) return DISP_E_OVERFLOW;
      ui = uint64_t(r);
      return ui > uhi ? DISP_E_OVERFLOW : S_OK;
    }
    if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return DISP_E_OVERFLOW;
    si = int64_t(r);
    return si < lo || si > hi ? DISP_E_OVERFLOW : S_OK;
  }
  if (n.isUnsigned) {
    if (targetUnsigned) {
      ui = n.u;
      return ui > uhi ? DISP_E_OVERFLOW : S_OK;
    }
    if (n.u > uint64_t(hi)) return DISP_E_OVERFLOW;
    si = int64_t(n.u);
    return S_OK;
  }
  if (targetUnsigned) {
    if (n.i < 0 || uint64_t(n.i) > uhi) return DISP_E_OVERFLOW;
    ui = uint64_t(n.i);
    return S_OK;
  }
  si = n.i;
  return si < lo || si > hi ? DISP_E_OVERFLOW : S_OK;
}

double AsDouble(const Number& n) { return n.isReal ? n.d : n.isUnsigned ? double(n.u) : double(n.i); }

HRESULT MakeText(const Value& v, USHORT flags, VARIANT& out) {
  std::u16string text;
  switch (v.kind) {
    case Value::Empty: break;
    case Value::Text: text = v.text; break;
    case Value::Int: text = plat::ToUtf16(std::to_string(v.i)); break;
    case Value::UInt: text = plat::ToUtf16(std::to_string(v.u)); break;
    case Value::Bool:
      text = (flags & VARIANT_ALPHABOOL) ? (v.i ? u"True" : u"False") : (v.i ? u"-1" : u"0");
      break;
    case Value::Real: text = plat::ToUtf16(plat::com::FormatReal(v.d, 15)); break;
    case Value::Date: {
      auto t = plat::com::FormatDate(v.d);
      if (!t) return DISP_E_OVERFLOW;
      text = plat::ToUtf16(*t);
      break;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
  BSTR b = SysAllocStringLen(text.data(), UINT(text.size()));
  if (!b) return E_OUTOFMEMORY;
  out.vt = VT_BSTR;
  out.bstrVal = b;
  return S_OK;
}

HRESULT Convert(const Value& v, USHORT flags, VARTYPE vt, VARIANT& out);

// An object converts through its default (DISPID_VALUE) property.
HRESULT ConvertObject(const Value& v, USHORT flags, VARTYPE vt, VARIANT& out) {
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    if (!v.object) {
      out.vt = vt;
      out.punkVal = nullptr;
      return S_OK;
    }
    void* p = nullptr;
    HRESULT hr = v.object->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    out.vt = vt;
    out.punkVal = static_cast<IUnknown*>(p);
    return S_OK;
  }
  if (v.objectType != VT_DISPATCH || !v.object || (flags & VARIANT_NOVALUEPROP)) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = static_cast<IDispatch*>(v.object)->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                                                         DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
  if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
  Value inner;
  hr = IsInterface(value.vt) ? DISP_E_TYPEMISMATCH : Decompose(value, inner);
  if (SUCCEEDED(hr)) hr = Convert(inner, flags, vt, out);
  VariantClear(&value);
  return hr;
}

HRESULT Convert(const Value& v, USHORT flags, VARTYPE vt, VARIANT& out) {
  if (v.kind == Value::Object) return ConvertObject(v, flags, vt, out);
  if (vt == VT_EMPTY) {
    out.vt = VT_EMPTY;
    return S_OK;
  }
  if (v.kind == Value::Null) {
    if (vt != VT_NULL) return DISP_E_TYPEMISMATCH;
    out.vt = VT_NULL;
    return S_OK;
  }
  if (v.kind == Value::Error) {
    if (vt != VT_ERROR) return DISP_E_TYPEMISMATCH;
    out.vt = VT_ERROR;
    out.scode = SCODE(v.i);
    return S_OK;
  }
  switch (vt) {
    case VT_NULL: case VT_ERROR: return DISP_E_TYPEMISMATCH;
    case VT_UNKNOWN: case VT_DISPATCH:
      if (v.kind != Value::Empty) return DISP_E_TYPEMISMATCH;
      out.vt = vt;
      out.punkVal = nullptr;
      return S_OK;
    case VT_BSTR: return MakeText(v, flags, out);
    case VT_DATE: {
      if (v.kind == Value::Text) {
        DATE d;
        HRESULT hr = plat::com::ParseDate(v.text, &d);
        if (FAILED(hr)) {
          // A plain number is a date too.
          Number n;
          if (FAILED(ToNumber(v, n))) return hr;
          d = AsDouble(n);
          if (!plat::com::DateInRange(d)) return DISP_E_OVERFLOW;
        }
        out.vt = VT_DATE;
        out.date = d;
        return S_OK;
      }
      Number n;
      if (HRESULT hr = ToNumber(v, n); FAILED(hr)) return hr;
      double d = AsDouble(n);
      if (!plat::com::DateInRange(d)) return DISP_E_OVERFLOW;
      out.vt = VT_DATE;
      out.date = d;
      return S_OK;
    }
    case VT_BOOL: {
      if (v.kind == Value::Text) {
        std::u16string t = plat::com::Trimmed(v.text);
        if (plat::com::EqualsNoCase(t, u"true") || plat::com::EqualsNoCase(t, u"#true#")) {
          out.vt = VT_BOOL;
          out.boolVal = VARIANT_TRUE;
          return S_OK;
        }
        if (plat::com::EqualsNoCase(t, u"false") || plat::com::EqualsNoCase(t, u"#false#")) {
          out.vt = VT_BOOL;
          out.boolVal = VARIANT_FALSE;
          return S_OK;
        }
      }
      Number n;
      if (HRESULT hr = ToNumber(v, n); FAILED(hr)) return hr;
      out.vt = VT_BOOL;
      out.boolVal = AsDouble(n) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    case VT_R4: case VT_R8: case VT_CY: {
      Number n;
      if (HRESULT hr = ToNumber(v, n); FAILED(hr)) return hr;
      double d = AsDouble(n);
      if (vt == VT_R4) {
        if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
        out.fltVal = float(d);
      } else if (vt == VT_R8) {
        out.dblVal = d;
      } else {
        double scaled = std::nearbyint(d * 10000.0);
        if (!(scaled > -9223372036854775808.0 && scaled < 9223372036854775808.0)) return DISP_E_OVERFLOW;
        out.cyVal.int64 = int64_t(scaled);
      }
      out.vt = vt;
      return S_OK;
    }
    default: break;
  }
  struct Range {
    bool isUnsigned;
    int64_t lo, hi;
    uint64_t uhi;
  };
  Range r;
  switch (vt) {
    case VT_I1: r = {false, INT8_MIN, INT8_MAX, 0}; break;
    case VT_I2: r = {false, INT16_MIN, INT16_MAX, 0}; break;
    case VT_I4: case VT_INT: r = {false, INT32_MIN, INT32_MAX, 0}; break;
    case VT_I8: r = {false, INT64_MIN, INT64_MAX, 0}; break;
    case VT_UI1: r = {true, 0, 0, UINT8_MAX}; break;
    case VT_UI2: r = {true, 0, 0, UINT16_MAX}; break;
    case VT_UI4: case VT_UINT: r = {true, 0, 0, UINT32_MAX}; break;
    case VT_UI8: r = {true, 0, 0, UINT64_MAX}; break;
    default: return DISP_E_BADVARTYPE;
  }
  Number n;
  if (HRESULT hr = ToNumber(v, n); FAILED(hr)) return hr;
  int64_t si = 0;
  uint64_t ui = 0;
  if (HRESULT hr = ToInteger(n, r.isUnsigned, r.lo, r.hi, r.uhi, si, ui); FAILED(hr)) return hr;
  out.vt = vt;
  out.llVal = 0;
  switch (vt) {
    case VT_I1: out.cVal = int8_t(si); break;
    case VT_I2: out.iVal = int16_t(si); break;
    case VT_I4: case VT_INT: out.lVal = int32_t(si); break;
    case VT_I8: out.llVal = si; break;
    case VT_UI1: out.bVal = uint8_t(ui); break;
    case VT_UI2: out.uiVal = uint16_t(ui); break;
    case VT_UI4: case VT_UINT: out.ulVal = uint32_t(ui); break;
    default: out.ullVal = ui; break;
  }
  return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!ValidType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (pvarg->vt & VT_ARRAY) {
    if (!(pvarg->vt & VT_BYREF) && pvarg->parray) {
      HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;  // a locked array stays with its variant
    }
  } else if (!(pvarg->vt & VT_BYREF)) {
    if (pvarg->vt == VT_BSTR) SysFreeString(pvarg->bstrVal);
    else if (IsInterface(pvarg->vt) && pvarg->punkVal) pvarg->punkVal->Release();
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (!ValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  VARIANT copy = *pvargSrc;
  if (!(copy.vt & VT_BYREF)) {
    if (copy.vt & VT_ARRAY) {
      if (copy.parray) {
        HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
        if (FAILED(hr)) return hr;
      }
    } else if (copy.vt == VT_BSTR && copy.bstrVal) {
      copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
      if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if (IsInterface(copy.vt) && copy.punkVal) {
      copy.punkVal->AddRef();
    }
  }
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (!pvarDest || !pvargSrc) return E_INVALIDARG;
  if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  if (!ValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (!pvargSrc->byref) return E_INVALIDARG;
  VARTYPE base = pvargSrc->vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    const VARIANT* inner = pvargSrc->pvarVal;
    if (inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;  // one level only
    VARIANT tmp;
    VariantInit(&tmp);
    HRESULT hr = VariantCopyInd(&tmp, inner);
    if (FAILED(hr)) return hr;
    if (FAILED(hr = VariantClear(pvarDest))) {
      VariantClear(&tmp);
      return hr;
    }
    *pvarDest = tmp;
    return S_OK;
  }
  VARIANT value;
  VariantInit(&value);
  value.vt = base;
  if (base & VT_ARRAY) value.parray = *pvargSrc->pparray;
  else std::memcpy(&value.llVal, pvargSrc->byref, ByRefSize(base));
  return VariantCopy(pvarDest, &value);  // deep copy of strings, arrays, interfaces
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!ValidType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  if (vt & VT_BYREF) return DISP_E_BADVARTYPE;
  if (vt != VT_EMPTY && vt != VT_NULL && !(vt & VT_ARRAY) && !KnownBaseType(vt)) return DISP_E_BADVARTYPE;
  // Work on a by-value copy so that source and destination may be the same variant.
  VARIANT src;
  VariantInit(&src);
  HRESULT hr = VariantCopyInd(&src, pvarSrc);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  if ((vt & VT_ARRAY) || (src.vt & VT_ARRAY)) {
    hr = src.vt == vt ? VariantCopy(&result, &src) : DISP_E_TYPEMISMATCH;
  } else if (src.vt == vt) {
    hr = VariantCopy(&result, &src);
  } else {
    Value v;
    hr = Decompose(src, v);
    if (SUCCEEDED(hr)) hr = Convert(v, wFlags, vt, result);
  }
  VariantClear(&src);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = VariantClear(pvargDest))) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
