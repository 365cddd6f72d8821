#include "filexfer/ocx/method_frame.h"

#include "ocx/variant_args.h"

namespace filexfer {

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

HRESULT TextArgument(const VARIANT& arg, std::u16string* out, const char16_t* def) {
  return ocx::VariantToText(arg, out, def);
}

}  // namespace filexfer
