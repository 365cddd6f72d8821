#include "filexfer/ocx/buffer_args.h"

#include <algorithm>
#include <cstring>

#include "platform/base/utf.h"

namespace filexfer {
namespace {

constexpr HRESULT kOutOfMemory = HRESULT(0x800A0007);
constexpr HRESULT kInvalidProcedureCall = HRESULT(0x800A0005);

// The array a VT_ARRAY variant holds, through its reference when it has one.
SAFEARRAY* ArrayOf(const VARIANT& v) {
  if (v.vt & VT_BYREF) return v.pparray ? *v.pparray : nullptr;
  return v.parray;
}

// A byte array's element count, or false when it is not one-dimensional bytes.
bool ByteCount(SAFEARRAY* a, ULONG* count) {
  if (!a || SafeArrayGetDim(a) != 1 || a->cbElements != 1) return false;
  *count = a->rgsabound[0].cElements;
  return true;
}

}  // namespace

HRESULT CheckReceiveBuffer(const VARIANT* buffer) {
  if (!buffer) return E_INVALIDARG;
  const VARTYPE base = buffer->vt & VT_TYPEMASK;
  if (base == VT_EMPTY || base == VT_BSTR) return (buffer->vt & VT_ARRAY) ? E_INVALIDARG : S_OK;
  if (base != VT_UI1) return DISP_E_TYPEMISMATCH;
  if (!(buffer->vt & VT_ARRAY)) return E_INVALIDARG;
  ULONG count = 0;
  SAFEARRAY* a = ArrayOf(*buffer);
  if (a && !ByteCount(a, &count)) return E_INVALIDARG;
  return S_OK;
}

HRESULT StoreReceivedData(VARIANT* buffer, std::string_view data, uint32_t* stored) {
  *stored = 0;
  if (HRESULT hr = CheckReceiveBuffer(buffer); FAILED(hr)) return hr;
  const VARTYPE base = buffer->vt & VT_TYPEMASK;
  if (base == VT_EMPTY || base == VT_BSTR) {
    const std::u16string text = plat::ToUtf16(data);
    BSTR b = SysAllocStringLen(text.data(), UINT(text.size()));
    if (!b) return kOutOfMemory;
    if (buffer->vt == (VT_BYREF | VT_BSTR)) {
      SysFreeString(*buffer->pbstrVal);
      *buffer->pbstrVal = b;
    } else {
      VariantClear(buffer);
      buffer->vt = VT_BSTR;
      buffer->bstrVal = b;
    }
    *stored = uint32_t(data.size());
    return S_OK;
  }
  SAFEARRAY* a = ArrayOf(*buffer);
  if (!a) {
    a = SafeArrayCreateVector(VT_UI1, 0, ULONG(data.size()));
    if (!a) return kOutOfMemory;
    if (buffer->vt & VT_BYREF) {
      if (!buffer->pparray) {
        SafeArrayDestroy(a);
        return E_INVALIDARG;
      }
      *buffer->pparray = a;
    } else {
      buffer->parray = a;
    }
  }
  ULONG count = 0;
  ByteCount(a, &count);
  const size_t n = std::min<size_t>(count, data.size());
  void* bytes = nullptr;
  if (HRESULT hr = SafeArrayAccessData(a, &bytes); FAILED(hr)) return hr;
  if (n) std::memcpy(bytes, data.data(), n);
  SafeArrayUnaccessData(a);
  *stored = uint32_t(n);
  return S_OK;
}

void StoreLength(VARIANT* length, uint32_t count) {
  if (!length) return;
  if (length->vt == (VT_BYREF | VT_I4)) {
    if (length->plVal) *length->plVal = int32_t(count);
  } else if (length->vt == VT_I4 || length->vt == VT_EMPTY) {
    length->lVal = int32_t(count);
  }
}

HRESULT ReadSendBuffer(const VARIANT& buffer, std::string* data) {
  data->clear();
  const VARIANT* v = &buffer;
  if (v->vt == VT_ERROR) return E_INVALIDARG;
  if ((v->vt & VT_TYPEMASK) == VT_VARIANT) {
    if (v->vt != (VT_BYREF | VT_VARIANT) || !v->pvarVal) return E_INVALIDARG;
    v = v->pvarVal;
  }
  if (v->vt & VT_ARRAY) {
    SAFEARRAY* a = ArrayOf(*v);
    if (!a || SafeArrayGetDim(a) != 1) return kInvalidProcedureCall;
    ULONG count = 0;
    if ((v->vt & VT_TYPEMASK) != VT_UI1 || !ByteCount(a, &count)) return E_INVALIDARG;
    void* bytes = nullptr;
    if (HRESULT hr = SafeArrayAccessData(a, &bytes); FAILED(hr)) return hr;
    data->assign(static_cast<const char*>(bytes), count);
    SafeArrayUnaccessData(a);
    return S_OK;
  }
  if (v->vt == VT_BSTR || v->vt == (VT_BYREF | VT_BSTR)) {
    BSTR b = v->vt == VT_BSTR ? v->bstrVal : (v->pbstrVal ? *v->pbstrVal : nullptr);
    if (b) *data = plat::ToUtf8(std::u16string_view(b, SysStringLen(b)));
    return S_OK;
  }
  return E_INVALIDARG;
}

}  // namespace filexfer
