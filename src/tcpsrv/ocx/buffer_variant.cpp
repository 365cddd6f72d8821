#include "tcpsrv/ocx/buffer_variant.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "ocx/variant_args.h"
#include "platform/base/utf.h"

namespace tcpsrvctl {
namespace {

constexpr HRESULT kInvalidProcedureCall = HRESULT(0x800A0005);

uint32_t ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return 1;
    case VT_I2: return 2;
    case VT_I4: return 4;
    default: return 0;
  }
}

// Network order <-> host order of whole elements, in place (the same swap both ways).
void SwapElements(char* data, uint32_t bytes, uint32_t size) {
  for (uint32_t i = 0; i + size <= bytes; i += size) {
    if (size == 2) {
      uint16_t v;
      std::memcpy(&v, data + i, 2);
      v = ntohs(v);
      std::memcpy(data + i, &v, 2);
    } else if (size == 4) {
      uint32_t v;
      std::memcpy(&v, data + i, 4);
      v = ntohl(v);
      std::memcpy(data + i, &v, 4);
    }
  }
}

// Where a scalar's value lives: in the VARIANT itself or behind its reference.
void* ScalarStorage(VARIANT* v) {
  if (!(v->vt & VT_BYREF)) return &v->lVal;  // lVal, iVal and bVal share the first bytes
  return v->byref;
}

SAFEARRAY** ArraySlot(VARIANT* v) { return (v->vt & VT_BYREF) ? v->pparray : &v->parray; }

}  // namespace

HRESULT PlanReceive(VARIANT* buffer, int32_t length, ReceiveTarget* target) {
  if (!buffer) return E_INVALIDARG;
  if (length == 0 || length < -1) return E_INVALIDARG;
  VARIANT* v = buffer;
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) return E_INVALIDARG;
    v = v->pvarVal;
  }
  const bool given = length > 0;
  *target = ReceiveTarget{};
  target->variant = v;
  const VARTYPE base = VARTYPE(v->vt & ~VT_BYREF);
  if (base == VT_EMPTY || base == VT_BSTR) {
    if ((v->vt & VT_BYREF) && (base != VT_BSTR || !v->pbstrVal)) return E_INVALIDARG;
    target->form = ReceiveTarget::Form::Text;
    target->capacity = given ? uint32_t(length) : kDefaultTextSize;
    return S_OK;
  }
  if (const uint32_t size = ElementSize(base)) {
    if (!given) return E_INVALIDARG;
    if ((v->vt & VT_BYREF) && !v->byref) return E_INVALIDARG;
    target->form = ReceiveTarget::Form::Scalar;
    target->element = base;
    target->capacity = std::min<uint32_t>(uint32_t(length), size);
    return S_OK;
  }
  if (!(base & VT_ARRAY)) return E_INVALIDARG;
  const VARTYPE element = VARTYPE(base & ~VT_ARRAY);
  const uint32_t size = ElementSize(element);
  if (size == 0) return E_INVALIDARG;
  SAFEARRAY** slot = ArraySlot(v);
  if (!slot) return E_INVALIDARG;
  target->element = element;
  if (!*slot) {
    if (!given) return E_INVALIDARG;
    target->form = ReceiveTarget::Form::NewArray;
    target->capacity = uint32_t(length);
    return S_OK;
  }
  if (SafeArrayGetDim(*slot) != 1) return E_INVALIDARG;
  LONG low = 0, high = -1;
  SafeArrayGetLBound(*slot, 1, &low);
  SafeArrayGetUBound(*slot, 1, &high);
  const uint64_t bytes = uint64_t(std::max<int64_t>(int64_t(high) - low + 1, 0)) * size;
  if (bytes == 0) return E_INVALIDARG;
  target->form = ReceiveTarget::Form::Array;
  target->capacity = uint32_t(std::min<uint64_t>(given ? uint64_t(length) : bytes, bytes));
  return S_OK;
}

HRESULT StoreReceived(const ReceiveTarget& target, const char* data, uint32_t n, bool networkOrder) {
  VARIANT* v = target.variant;
  switch (target.form) {
    case ReceiveTarget::Form::Text: {
      const std::u16string text = plat::ToUtf16(std::string_view(data, n));
      BSTR b = SysAllocStringLen(text.data(), UINT(text.size()));
      if (!b) return E_OUTOFMEMORY;
      if (v->vt == (VT_BYREF | VT_BSTR)) {
        SysFreeString(*v->pbstrVal);
        *v->pbstrVal = b;
      } else {
        VariantClear(v);
        v->vt = VT_BSTR;
        v->bstrVal = b;
      }
      return S_OK;
    }
    case ReceiveTarget::Form::Scalar: {
      // Scalars take the bytes as they arrive, whatever the byte order.
      char* storage = static_cast<char*>(ScalarStorage(v));
      const uint32_t size = ElementSize(target.element);
      std::memset(storage, 0, size);
      std::memcpy(storage, data, std::min(n, size));
      return S_OK;
    }
    case ReceiveTarget::Form::Array: {
      SAFEARRAY* a = *ArraySlot(v);
      void* p = nullptr;
      if (HRESULT hr = SafeArrayAccessData(a, &p); FAILED(hr)) return hr;
      std::memcpy(p, data, n);
      if (networkOrder) SwapElements(static_cast<char*>(p), n, ElementSize(target.element));
      SafeArrayUnaccessData(a);
      return S_OK;
    }
    case ReceiveTarget::Form::NewArray: {
      const uint32_t size = ElementSize(target.element);
      SAFEARRAY* a = SafeArrayCreateVector(target.element, 0, (n + size - 1) / size);
      if (!a) return E_OUTOFMEMORY;
      void* p = nullptr;
      SafeArrayAccessData(a, &p);
      if (n) std::memcpy(p, data, n);
      if (networkOrder) SwapElements(static_cast<char*>(p), n, size);
      SafeArrayUnaccessData(a);
      SAFEARRAY** slot = ArraySlot(v);
      if (*slot) SafeArrayDestroy(*slot);
      *slot = a;
      return S_OK;
    }
  }
  return E_INVALIDARG;
}

HRESULT SendBytes(const VARIANT& buffer, int32_t length, bool networkOrder, std::string* out) {
  if (length == 0 || length < -1) return E_INVALIDARG;
  const VARIANT* v = &buffer;
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) return E_INVALIDARG;
    v = v->pvarVal;
  }
  const bool byRef = (v->vt & VT_BYREF) != 0;
  const VARTYPE base = VARTYPE(v->vt & ~VT_BYREF);
  out->clear();
  if (base == VT_BSTR) {
    BSTR b = byRef ? (v->pbstrVal ? *v->pbstrVal : nullptr) : v->bstrVal;
    *out = plat::ToUtf8(std::u16string_view(b ? b : u"", b ? SysStringLen(b) : 0));
  } else if (const uint32_t size = ElementSize(base)) {
    if (byRef && !v->byref) return E_INVALIDARG;
    out->assign(static_cast<const char*>(byRef ? v->byref : &v->lVal), size);
    if (networkOrder) SwapElements(out->data(), size, size);
  } else if (base & VT_ARRAY) {
    SAFEARRAY* a = byRef ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    const VARTYPE element = VARTYPE(base & ~VT_ARRAY);
    if (!a || element == VT_BSTR) return E_INVALIDARG;
    if (SafeArrayGetDim(a) != 1) return kInvalidProcedureCall;
    const uint32_t size = ElementSize(element);
    if (size == 0) return E_INVALIDARG;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(a, 1, &low);
    SafeArrayGetUBound(a, 1, &high);
    const int64_t count = std::max<int64_t>(int64_t(high) - low + 1, 0);
    void* p = nullptr;
    if (HRESULT hr = SafeArrayAccessData(a, &p); FAILED(hr)) return hr;
    out->assign(static_cast<const char*>(p), size_t(count) * size);
    SafeArrayUnaccessData(a);
    if (networkOrder) SwapElements(out->data(), uint32_t(out->size()), size);
  } else {
    return E_INVALIDARG;
  }
  if (length > 0 && size_t(length) < out->size()) out->resize(size_t(length));
  return S_OK;
}

}  // namespace tcpsrvctl
