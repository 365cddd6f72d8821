#include "ocx/server_control_helpers.h"

#include "ocx/variant_args.h"

namespace ocx {

HRESULT OutText(const std::u16string& s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(s.data(), UINT(s.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT OutUtf8(const char* s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = Utf8ToUtf16(s);
  if (!*out) *out = SysAllocString(u"");
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT OutBool(bool value, VARIANT_BOOL* out) {
  if (!out) return E_POINTER;
  *out = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT OutLong(int32_t value, int32_t* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

std::u16string InText(BSTR value) { return value ? std::u16string(value, SysStringLen(value)) : std::u16string(); }

std::u16string Widen(const char* text) {
  BSTR b = Utf8ToUtf16(text);
  std::u16string out = InText(b);
  SysFreeString(b);
  return out;
}

void SetLongArgument(VARIANT* arg, int32_t value) {
  if (!arg) return;
  if (arg->vt & VT_BYREF) {
    SetVariantLong(arg, value);
    return;
  }
  VariantClear(arg);
  arg->vt = VT_I4;
  arg->lVal = value;
}

HRESULT OptionalUInt(const VARIANT& arg, uint32_t def, uint32_t* out) {
  if (IsMissingArgument(arg)) {
    *out = def;
    return S_OK;
  }
  return VariantToUInt32(&arg, out);
}

}  // namespace ocx
