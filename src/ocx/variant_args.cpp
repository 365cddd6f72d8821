#include "ocx/variant_args.h"

#include <cmath>
#include <limits>

#include "platform/base/utf.h"

namespace ocx {
namespace {

// Clears itself, so an early return cannot leak a converted string.
struct TempVariant {
  VARIANT v{};
  ~TempVariant() { VariantClear(&v); }
};

// A by-reference argument is read through a VT_I4 copy; a null reference is refused.
HRESULT ReadByReference(const VARIANT* arg, TempVariant& tmp, const VARIANT** use) {
  if (!(arg->vt & VT_BYREF)) return S_OK;
  if (!arg->byref) return E_INVALIDARG;
  if (HRESULT hr = VariantChangeType(&tmp.v, arg, 0, VT_I4); FAILED(hr)) return hr;
  *use = &tmp.v;
  return S_OK;
}

// The readers' common start: pointers checked, the result zeroed, a missing argument done,
// a by-reference one replaced by its VT_I4 copy. *done tells the caller to return at once.
template <class T>
HRESULT StartReading(const VARIANT*& arg, T* out, TempVariant& tmp, bool* done) {
  *done = true;
  if (!out || !arg) return E_INVALIDARG;
  *out = 0;
  if (IsMissingArgument(*arg)) return S_OK;
  if (HRESULT hr = ReadByReference(arg, tmp, &arg); FAILED(hr)) return hr;
  *done = false;
  return S_OK;
}

// The unsigned readers carry 16-bit values -32768..-1 as 32768..65535.
uint32_t UnsignedFromI4(int32_t v) { return v >= -32768 && v <= -1 ? uint32_t(v + 0x10000) : uint32_t(v); }

HRESULT TruncateToUInt64(double d, uint64_t* out) {
  // Outside the 64-bit range a cast is undefined: refuse instead.
  if (std::isnan(d) || d <= -9223372036854775808.0 - 1.0 || d >= 18446744073709551616.0) return DISP_E_OVERFLOW;
  double t = std::trunc(d);
  *out = t < 0 ? uint64_t(int64_t(t)) : uint64_t(t);
  return S_OK;
}

HRESULT ToI4(const VARIANT* v, int32_t* out) {
  TempVariant tmp;
  if (HRESULT hr = VariantChangeType(&tmp.v, v, 0, VT_I4); FAILED(hr)) return hr;
  *out = tmp.v.lVal;
  return S_OK;
}

// Follows a VT_BYREF|VT_VARIANT wrapper and refuses targets that cannot take a result.
HRESULT ResolveTarget(VARIANT* result, VARIANT** target) {
  if (!result) return E_INVALIDARG;
  if (result->vt == (VT_BYREF | VT_VARIANT)) result = result->pvarVal;
  if (!result || result->vt == VT_ERROR) return E_INVALIDARG;
  if (result->vt & VT_ARRAY) return DISP_E_TYPEMISMATCH;
  if ((result->vt & VT_BYREF) && !result->byref) return E_INVALIDARG;
  *target = result;
  return S_OK;
}

HRESULT ReplaceBstr(BSTR* slot, const std::u16string& text) {
  BSTR fresh = SysAllocStringLen(text.data(), UINT(text.size()));
  if (!fresh) return E_OUTOFMEMORY;
  SysFreeString(*slot);
  *slot = fresh;
  return S_OK;
}

std::u16string DecimalText(int64_t v) { return plat::ToUtf16(std::to_string(v)); }

HRESULT StoreNumber(VARIANT* result, int64_t v, bool wide) {
  VARIANT* t = nullptr;
  if (HRESULT hr = ResolveTarget(result, &t); FAILED(hr)) return hr;
  if (t->vt & VT_BYREF) {
    switch (t->vt & VT_TYPEMASK) {
      case VT_I2:
        // Values that do not fit are refused, whichever side they fall off.
        if (v < -32768 || v > 32767) return kCtlErrorOverflow;
        *t->piVal = int16_t(v);
        return S_OK;
      case VT_I4:
        if (wide && uint64_t(v) > 0x7FFFFFFFu) return kCtlErrorOverflow;
        *t->plVal = int32_t(v);
        return S_OK;
      case VT_R4:
        *t->pfltVal = float(v);
        return S_OK;
      case VT_R8:
        *t->pdblVal = double(v);
        return S_OK;
      case VT_BSTR:
        return ReplaceBstr(t->pbstrVal, DecimalText(v));
      default:
        return DISP_E_TYPEMISMATCH;
    }
  }
  VariantClear(t);
  if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
    t->vt = VT_I4;
    t->lVal = int32_t(v);
  } else {
    t->vt = VT_R8;
    t->dblVal = double(v);
  }
  return S_OK;
}

HRESULT StoreText(VARIANT* result, BSTR text) {
  VARIANT* t = nullptr;
  HRESULT hr = ResolveTarget(result, &t);
  if (SUCCEEDED(hr) && (t->vt & VT_BYREF) && (t->vt & VT_TYPEMASK) != VT_BSTR) hr = DISP_E_TYPEMISMATCH;
  if (FAILED(hr)) {
    SysFreeString(text);
    return hr;
  }
  if (t->vt & VT_BYREF) {
    SysFreeString(*t->pbstrVal);
    *t->pbstrVal = text;
  } else {
    VariantClear(t);
    t->vt = VT_BSTR;
    t->bstrVal = text;
  }
  return S_OK;
}

}  // namespace

bool IsMissingArgument(const VARIANT& v) { return v.vt == VT_EMPTY || v.vt == VT_ERROR; }

HRESULT VariantToUInt64(const VARIANT* arg, uint64_t* out) {
  TempVariant tmp;
  bool done = false;
  if (HRESULT hr = StartReading(arg, out, tmp, &done); done) return hr;
  switch (arg->vt) {
    case VT_I2: *out = uint16_t(arg->iVal); return S_OK;
    case VT_I4: *out = UnsignedFromI4(arg->lVal); return S_OK;
    case VT_R4: return TruncateToUInt64(arg->fltVal, out);
    case VT_R8: return TruncateToUInt64(arg->dblVal, out);
    default: {
      TempVariant r8;
      if (HRESULT hr = VariantChangeType(&r8.v, arg, 0, VT_R8); FAILED(hr)) return hr;
      return TruncateToUInt64(r8.v.dblVal, out);
    }
  }
}

HRESULT VariantToUInt32(const VARIANT* arg, uint32_t* out) {
  TempVariant tmp;
  bool done = false;
  if (HRESULT hr = StartReading(arg, out, tmp, &done); done) return hr;
  if (arg->vt == VT_I2) {
    *out = uint16_t(arg->iVal);
    return S_OK;
  }
  int32_t v = arg->vt == VT_I4 ? arg->lVal : 0;
  if (arg->vt != VT_I4)
    if (HRESULT hr = ToI4(arg, &v); FAILED(hr)) return hr;
  *out = UnsignedFromI4(v);
  return S_OK;
}

HRESULT VariantToInt32(const VARIANT* arg, int32_t* out) {
  TempVariant tmp;
  bool done = false;
  if (HRESULT hr = StartReading(arg, out, tmp, &done); done) return hr;
  if (arg->vt == VT_I2) {
    *out = arg->iVal;
    return S_OK;
  }
  if (arg->vt == VT_I4) {
    *out = arg->lVal;
    return S_OK;
  }
  return ToI4(arg, out);
}

HRESULT SetVariantLong(VARIANT* result, int32_t value) { return StoreNumber(result, value, false); }
HRESULT SetVariantInt64(VARIANT* result, int64_t value) { return StoreNumber(result, value, true); }

HRESULT SetVariantStringA(VARIANT* result, const char* utf8) {
  BSTR text = utf8 ? Utf8ToUtf16(utf8) : nullptr;
  if (utf8 && !text) return E_OUTOFMEMORY;
  return StoreText(result, text);
}

HRESULT SetVariantBSTR(VARIANT* result, const OLECHAR* text) {
  BSTR copy = text ? SysAllocString(text) : nullptr;
  if (text && !copy) return E_OUTOFMEMORY;
  return StoreText(result, copy);
}

HRESULT VariantToText(const VARIANT& arg, std::u16string* out, const char16_t* def) {
  out->clear();
  if (def && IsMissingArgument(arg)) {
    *out = def;
    return S_OK;
  }
  if (arg.vt == VT_BSTR) {
    if (arg.bstrVal) out->assign(arg.bstrVal, SysStringLen(arg.bstrVal));
    return S_OK;
  }
  if ((arg.vt & VT_BYREF) && !arg.byref) return E_INVALIDARG;
  TempVariant tmp;
  if (HRESULT hr = VariantChangeType(&tmp.v, &arg, 0, VT_BSTR); FAILED(hr)) return hr;
  if (tmp.v.bstrVal) out->assign(tmp.v.bstrVal, SysStringLen(tmp.v.bstrVal));
  return S_OK;
}

std::string Utf16ToUtf8(const OLECHAR* text) {
  if (!text) return {};
  return plat::ToUtf8(std::u16string_view(text, plat::WideLength(text)));
}

std::string Utf16ToUtf8(const std::u16string& text) { return plat::ToUtf8(text); }

BSTR Utf8ToUtf16(const char* text) {
  if (!text) return nullptr;
  std::u16string w = plat::ToUtf16(text);
  return SysAllocStringLen(w.data(), UINT(w.size()));
}

}  // namespace ocx
