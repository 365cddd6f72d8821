#pragma once
// What the members of the control share: results stored into the caller's pointers, texts
// taken in and handed out, the Error argument, and the design-mode refusal of reads.
#include <cstdint>
#include <string>

#include "ocx/variant_args.h"
#include "platform/base/utf.h"
#include "platform/com/com.h"

namespace mailctl {

inline HRESULT Out(const std::u16string& s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(s.data(), UINT(s.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

inline HRESULT OutUtf8(const std::string& s, BSTR* out) { return Out(plat::ToUtf16(s), out); }

inline void In(std::u16string& field, BSTR value) {
  if (value)
    field.assign(value, SysStringLen(value));
  else
    field.clear();
}

inline std::string Utf8(BSTR value) { return value ? plat::ToUtf8(std::u16string_view(value, SysStringLen(value))) : ""; }
inline std::string Utf8(const std::u16string& value) { return plat::ToUtf8(value); }
// A text for a library argument that means "none" when empty.
inline const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

template <class T>
HRESULT Out(T value, T* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

inline HRESULT OutBool(bool value, VARIANT_BOOL* out) { return Out(value ? VARIANT_TRUE : VARIANT_FALSE, out); }

inline int32_t Low16(uint32_t code) { return int32_t(code & 0xFFFFu); }

// The Error argument (or a Result) of a method: through its reference when it has one,
// else replaced by a 32-bit integer. A null pointer (no such argument) is fine.
void SetErrorArgument(VARIANT* error, int32_t value);
void SetBoolResult(VARIANT* result, bool value);

// An optional text argument: missing gives def (null: missing is converted like any other
// value and fails).
inline HRESULT TextArgument(const VARIANT& arg, std::u16string* out, const char16_t* def = u"") {
  return ocx::VariantToText(arg, out, def);
}
inline HRESULT Utf8Argument(const VARIANT& arg, std::string* out, const char16_t* def = u"") {
  std::u16string text;
  HRESULT hr = ocx::VariantToText(arg, &text, def);
  if (SUCCEEDED(hr)) *out = plat::ToUtf8(text);
  return hr;
}
// A number argument: a 32-bit integer as it is, anything else through VariantToUInt32
// (missing: def).
HRESULT NumberArgument(const VARIANT& arg, uint32_t* out, uint32_t def = 0);

// An index argument: a 32-bit integer as it is, anything else through VariantToInt32.
inline HRESULT IndexArgument(const VARIANT& arg, int32_t* out) {
  if (arg.vt == VT_I4) {
    *out = arg.lVal;
    return S_OK;
  }
  return ocx::VariantToInt32(&arg, out);
}

// The bytes of a Buffer-style argument: a string (its UTF-8 bytes) or a one-dimensional
// byte array; a by-reference VARIANT is followed once. 0x80070057 for a missing argument
// or another type, 0x800A0005 for an array of more than one dimension.
HRESULT ByteArgument(const VARIANT& arg, std::string* out);

}  // namespace mailctl

// Every read accessor but ThrowError's and the stock Enabled answers this in design mode.
#define CV_RUN_MODE_ONLY \
  CV_OCX_ENTRY;          \
  if (!IsRunMode()) return ::ocx::kCtlErrorGetNotSupported
