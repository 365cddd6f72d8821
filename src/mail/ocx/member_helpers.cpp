#include "mail/ocx/member_helpers.h"

#include <cstring>

namespace mailctl {

void SetErrorArgument(VARIANT* error, int32_t value) {
  if (!error) return;
  if (error->vt & VT_BYREF) {
    ocx::SetVariantLong(error, value);
    return;
  }
  VariantClear(error);
  error->vt = VT_I4;
  error->lVal = value;
}

void SetBoolResult(VARIANT* result, bool value) {
  if (!result) return;
  const VARIANT_BOOL b = value ? VARIANT_TRUE : VARIANT_FALSE;
  if (result->vt == (VT_BYREF | VT_BOOL) && result->pboolVal) {
    *result->pboolVal = b;
    return;
  }
  if (result->vt & VT_BYREF) {
    ocx::SetVariantLong(result, value ? -1 : 0);
    return;
  }
  VariantClear(result);
  result->vt = VT_BOOL;
  result->boolVal = b;
}

HRESULT NumberArgument(const VARIANT& arg, uint32_t* out, uint32_t def) {
  if (ocx::IsMissingArgument(arg)) {
    *out = def;
    return S_OK;
  }
  if (arg.vt == VT_I4) {
    *out = uint32_t(arg.lVal);
    return S_OK;
  }
  return ocx::VariantToUInt32(&arg, out);
}

HRESULT ByteArgument(const VARIANT& argument, std::string* out) {
  out->clear();
  const VARIANT* arg = &argument;
  if (arg->vt == (VT_BYREF | VT_VARIANT)) {
    if (!arg->pvarVal) return E_INVALIDARG;
    arg = arg->pvarVal;
  }
  if (ocx::IsMissingArgument(*arg)) return E_INVALIDARG;
  const VARTYPE base = arg->vt & ~VT_BYREF;
  if (base == VT_BSTR) {
    const BSTR text = (arg->vt & VT_BYREF) ? (arg->pbstrVal ? *arg->pbstrVal : nullptr) : arg->bstrVal;
    if (text) *out = plat::ToUtf8(std::u16string_view(text, SysStringLen(text)));
    return S_OK;
  }
  if (base & VT_ARRAY) {
    SAFEARRAY* array = (arg->vt & VT_BYREF) ? (arg->pparray ? *arg->pparray : nullptr) : arg->parray;
    if (!array) return E_INVALIDARG;
    if (SafeArrayGetDim(array) > 1) return ocx::kCtlErrorInvalidProcedureCall;
    if ((base & ~VT_ARRAY) != VT_UI1 && (base & ~VT_ARRAY) != VT_I1) return E_INVALIDARG;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    if (high < low) return S_OK;
    void* data = nullptr;
    if (HRESULT hr = SafeArrayAccessData(array, &data); FAILED(hr)) return hr;
    out->assign(static_cast<const char*>(data), size_t(high - low + 1));
    SafeArrayUnaccessData(array);
    return S_OK;
  }
  return E_INVALIDARG;
}

}  // namespace mailctl
