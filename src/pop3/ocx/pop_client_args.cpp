#include "pop3/ocx/pop_client_args.h"

#include <cstring>
#include <vector>

#include "ocx/variant_args.h"
#include "platform/base/utf.h"

namespace popctl {
namespace {

constexpr int32_t kLocalReadSize = 1024;

// The byte size of an integer type a Buffer may hold, or 0.
uint32_t ElementSize(VARTYPE type) {
  switch (type) {
    case VT_UI1: return 1;
    case VT_I2: return 2;
    case VT_I4: return 4;
    default: return 0;
  }
}

// Where the value of an integer VARIANT lives (through its reference when it has one).
void* IntegerStorage(VARIANT* v) { return (v->vt & VT_BYREF) ? v->byref : static_cast<void*>(&v->lVal); }
const void* IntegerStorage(const VARIANT& v) {
  return (v.vt & VT_BYREF) ? v.byref : static_cast<const void*>(&v.lVal);
}

uint32_t ArrayBytes(SAFEARRAY* array) {
  return array->rgsabound[0].cElements * array->cbElements;
}

// Length as a count: missing is -1, negative is refused.
HRESULT LengthOf(const VARIANT& length, int32_t* out) {
  *out = -1;
  if (ocx::IsMissingArgument(length)) return S_OK;
  int32_t v = 0;
  if (HRESULT hr = ocx::VariantToInt32(&length, &v); FAILED(hr)) return hr;
  if (v < 0) return E_INVALIDARG;
  *out = v;
  return S_OK;
}

}  // namespace

VARIANT I4(int32_t v) {
  VARIANT r{};
  r.vt = VT_I4;
  r.lVal = v;
  return r;
}

std::u16string FromUtf8(const char* text) { return text ? plat::ToUtf16(text) : std::u16string(); }

BSTR ToBstr(const std::u16string& text) { return SysAllocStringLen(text.data(), UINT(text.size())); }

void SetLongArgument(VARIANT* arg, int32_t value) {
  if (!arg) return;
  if (arg->vt & VT_BYREF) {
    ocx::SetVariantLong(arg, value);
    return;
  }
  VariantClear(arg);
  *arg = I4(value);
}

void SetErrorArgument(VARIANT* error, uint32_t code) { SetLongArgument(error, int32_t(code & 0xFFFFu)); }

void SetBoolArgument(VARIANT* arg, bool value) {
  if (!arg) return;
  const VARIANT_BOOL b = value ? VARIANT_TRUE : VARIANT_FALSE;
  if (arg->vt == (VT_BYREF | VT_BOOL) && arg->pboolVal) {
    *arg->pboolVal = b;
    return;
  }
  if (arg->vt & VT_BYREF) {
    ocx::SetVariantLong(arg, value ? -1 : 0);
    return;
  }
  VariantClear(arg);
  arg->vt = VT_BOOL;
  arg->boolVal = b;
}

HRESULT SetTextArgument(VARIANT* arg, const std::u16string& text) {
  if (!arg) return S_OK;
  if (arg->vt & VT_BYREF) {
    if (arg->vt != (VT_BYREF | VT_BSTR) || !arg->pbstrVal) return DISP_E_TYPEMISMATCH;
    BSTR fresh = ToBstr(text);
    if (!fresh) return HRESULT(0x800A0007);
    SysFreeString(*arg->pbstrVal);
    *arg->pbstrVal = fresh;
    return S_OK;
  }
  BSTR fresh = ToBstr(text);
  if (!fresh) return HRESULT(0x800A0007);
  VariantClear(arg);
  arg->vt = VT_BSTR;
  arg->bstrVal = fresh;
  return S_OK;
}

HRESULT OptionalInt(const VARIANT& arg, int32_t def, int32_t* out) {
  if (ocx::IsMissingArgument(arg)) {
    *out = def;
    return S_OK;
  }
  return ocx::VariantToInt32(&arg, out);
}

HRESULT OptionalText(const VARIANT& arg, const std::u16string& def, std::u16string* out) {
  return ocx::VariantToText(arg, out, def.c_str());
}

HRESULT ReadIntoBuffer(VARIANT* buffer, const VARIANT& lengthArg, const ByteReader& read, int32_t* count) {
  *count = 0;
  if (!buffer || buffer->vt == VT_ERROR) return E_INVALIDARG;
  int32_t length = -1;
  if (HRESULT hr = LengthOf(lengthArg, &length); FAILED(hr)) return hr;
  const VARTYPE type = buffer->vt & VT_TYPEMASK;
  const bool byRef = buffer->vt & VT_BYREF;
  enum class Into { Text, Integer, Array, NewArray } into;
  uint32_t ask = 0;
  SAFEARRAY* array = nullptr;
  if (buffer->vt & VT_ARRAY) {
    if (!ElementSize(type)) return E_INVALIDARG;
    if (byRef && !buffer->pparray) return E_INVALIDARG;
    array = byRef ? *buffer->pparray : buffer->parray;
    if (!array) {
      if (!byRef || length < 0) return E_INVALIDARG;
      into = Into::NewArray;
      ask = uint32_t(length);
    } else {
      if (SafeArrayGetDim(array) != 1) return E_INVALIDARG;
      into = Into::Array;
      ask = ArrayBytes(array);
      if (length >= 0 && uint32_t(length) < ask) ask = uint32_t(length);
    }
  } else if (type == VT_EMPTY || type == VT_BSTR) {
    if (type == VT_EMPTY && byRef) return E_INVALIDARG;
    if (length <= 0) return E_INVALIDARG;
    into = Into::Text;
    ask = uint32_t(length);
  } else if (const uint32_t size = ElementSize(type)) {
    if (length < 0 || (byRef && !buffer->byref)) return E_INVALIDARG;
    into = Into::Integer;
    ask = uint32_t(length) < size ? uint32_t(length) : size;
  } else {
    return E_INVALIDARG;
  }
  if (ask == 0 || ask > 0x7FFFFFFFu) return E_INVALIDARG;

  char local[kLocalReadSize] = {};
  std::vector<char> heap;
  char* data = local;
  if (ask > uint32_t(kLocalReadSize)) {
    try {
      heap.assign(ask, '\0');
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    data = heap.data();
  }
  const int32_t n = read(data, int32_t(ask));
  *count = n;
  if (n <= 0) {
    if (n == 0 && into == Into::Text) return SetTextArgument(buffer, u"");
    return S_OK;
  }
  switch (into) {
    case Into::Text: return SetTextArgument(buffer, plat::ToUtf16(std::string_view(data, size_t(n))));
    case Into::Integer: std::memcpy(IntegerStorage(buffer), data, size_t(n)); return S_OK;
    case Into::Array: {
      void* target = nullptr;
      if (HRESULT hr = SafeArrayAccessData(array, &target); FAILED(hr)) return hr;
      std::memcpy(target, data, size_t(n));
      SafeArrayUnaccessData(array);
      return S_OK;
    }
    case Into::NewArray: {
      SAFEARRAY* fresh = SafeArrayCreateVector(type, 0, ULONG(n));
      if (!fresh) return HRESULT(0x800A0007);
      void* target = nullptr;
      SafeArrayAccessData(fresh, &target);
      std::memcpy(target, data, size_t(n));
      SafeArrayUnaccessData(fresh);
      *buffer->pparray = fresh;
      return S_OK;
    }
  }
  return S_OK;
}

HRESULT BytesOfBuffer(const VARIANT& buffer, const VARIANT& lengthArg, std::string* bytes) {
  bytes->clear();
  int32_t length = -1;
  if (HRESULT hr = LengthOf(lengthArg, &length); FAILED(hr)) return hr;
  const VARTYPE type = buffer.vt & VT_TYPEMASK;
  const bool byRef = buffer.vt & VT_BYREF;
  try {
    if (buffer.vt & VT_ARRAY) {
      SAFEARRAY* array = byRef ? (buffer.pparray ? *buffer.pparray : nullptr) : buffer.parray;
      if (!ElementSize(type) || !array) return E_INVALIDARG;
      if (SafeArrayGetDim(array) != 1) return HRESULT(0x800A0005);
      void* data = nullptr;
      if (HRESULT hr = SafeArrayAccessData(array, &data); FAILED(hr)) return hr;
      bytes->assign(static_cast<const char*>(data), ArrayBytes(array));
      SafeArrayUnaccessData(array);
    } else if (type == VT_BSTR) {
      const BSTR text = byRef ? (buffer.pbstrVal ? *buffer.pbstrVal : nullptr) : buffer.bstrVal;
      if (text) *bytes = plat::ToUtf8(std::u16string_view(text, SysStringLen(text)));
    } else if (const uint32_t size = ElementSize(type)) {
      const void* value = IntegerStorage(buffer);
      if (!value) return E_INVALIDARG;
      bytes->assign(static_cast<const char*>(value), size);
    } else {
      return E_INVALIDARG;
    }
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (length >= 0 && size_t(length) < bytes->size()) bytes->resize(size_t(length));
  return S_OK;
}

}  // namespace popctl
