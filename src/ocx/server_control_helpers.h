#pragma once
// Small out-parameter and argument helpers the controls share: each property and
// method hands its result back through one of these so that null pointers and memory
// failures are answered the same way everywhere.
#include <cstdint>
#include <string>

#include "ocx/variant_args.h"
#include "platform/com/com.h"

namespace ocx {

HRESULT OutText(const std::u16string& s, BSTR* out);
// UTF-8 text as a BSTR; text that cannot be converted gives an empty string.
HRESULT OutUtf8(const char* s, BSTR* out);
HRESULT OutBool(bool value, VARIANT_BOOL* out);
HRESULT OutLong(int32_t value, int32_t* out);
std::u16string InText(BSTR value);
// The same by the value's type: text, UTF-8 text, or any plain value.
inline HRESULT Out(const std::u16string& s, BSTR* out) { return OutText(s, out); }
inline HRESULT Out(const char* utf8, BSTR* out) { return OutUtf8(utf8, out); }
template <class T>
HRESULT Out(T value, T* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}
std::u16string Widen(const char* utf8);
// An optional out argument that takes a number, in the type the caller passed.
void SetLongArgument(VARIANT* arg, int32_t value);
// Reads an optional number, or gives back def when it is missing.
HRESULT OptionalUInt(const VARIANT& arg, uint32_t def, uint32_t* out);

// Up to N event argument VARIANTs that own their texts until the event has been fired.
template <int N>
class EventArgs {
 public:
  EventArgs() = default;
  EventArgs(const EventArgs&) = delete;
  EventArgs& operator=(const EventArgs&) = delete;
  ~EventArgs() {
    for (int i = 0; i < count_; ++i) VariantClear(&v_[i]);
  }
  VARIANT Number(int32_t n) {
    VARIANT& v = v_[count_++];
    v.vt = VT_I4;
    v.lVal = n;
    return v;
  }
  VARIANT Text(const char* utf8) {
    VARIANT& v = v_[count_++];
    v.vt = VT_BSTR;
    v.bstrVal = Utf8ToUtf16(utf8);
    if (!v.bstrVal) v.bstrVal = SysAllocString(u"");
    return v;
  }

 private:
  VARIANT v_[N] = {};
  int count_ = 0;
};

}  // namespace ocx
