#pragma once
// The output arguments of the control's methods: numbers and booleans stored into the
// caller's VARIANT in the type it passed, and optional numeric inputs.
#include <cstdint>

#include "ocx/variant_args.h"

namespace tcpsrvctl {

// Through the reference when the argument has one, else as an I4 value.
inline void SetLongArgument(VARIANT* arg, int32_t value) {
  if (!arg) return;
  if (arg->vt & VT_BYREF) {
    ocx::SetVariantLong(arg, value);
    return;
  }
  VariantClear(arg);
  arg->vt = VT_I4;
  arg->lVal = value;
}

inline void SetBoolArgument(VARIANT* arg, bool value) {
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

// An optional number: def when missing.
inline HRESULT OptionalInt(const VARIANT& arg, int32_t def, int32_t* out) {
  if (ocx::IsMissingArgument(arg)) {
    *out = def;
    return S_OK;
  }
  return ocx::VariantToInt32(&arg, out);
}

}  // namespace tcpsrvctl
