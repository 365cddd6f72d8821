#pragma once
// What the property accessors share: storing results into the caller's pointers, taking
// strings in, and the design-mode refusal of reads.
#include <string>

#include "ocx/variant_args.h"
#include "platform/com/com.h"

namespace filexfer {

inline HRESULT Out(const std::u16string& s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(s.data(), UINT(s.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

inline void In(std::u16string& field, BSTR value) {
  if (value)
    field.assign(value, SysStringLen(value));
  else
    field.clear();
}

template <class T>
HRESULT Out(T value, T* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

inline HRESULT OutBool(bool value, VARIANT_BOOL* out) { return Out(value ? VARIANT_TRUE : VARIANT_FALSE, out); }

}  // namespace filexfer

// Every read accessor but ThrowError's and the stock Enabled answers this in design mode.
#define CV_RUN_MODE_ONLY \
  CV_OCX_ENTRY;          \
  if (!IsRunMode()) return ::ocx::kCtlErrorGetNotSupported

