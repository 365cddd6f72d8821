#pragma once
// Driving a TimeClient through IDispatch by name, as a host does.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/test_host.h"
#include "time_test_support.h"

namespace timehost {

using namespace testhost;

// The HRESULT a call gave its caller: the exception's code for a failing member.
inline HRESULT Outcome(const CallResult& r) { return r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr; }

class Driver {
 public:
  IDispatch* control = nullptr;

  HRESULT Put(const char16_t* name, VARIANT value) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYPUT, {value}, &r);
    return Outcome(r);
  }
  HRESULT PutText(const char16_t* name, const char16_t* text) {
    VARIANT v = Str(text);
    const HRESULT hr = Put(name, v);
    VariantClear(&v);
    return hr;
  }
  // A property as text: "True", 42, "\"text\"", or "!800A018A" for a failure.
  std::string Show(const char16_t* name) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYGET, {}, &r);
    return Describe(r);
  }
  static std::string Describe(const CallResult& r) {
    if (FAILED(r.hr)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "!%08X", uint32_t(Outcome(r)));
      return buf;
    }
    return Value(r.value);
  }
  static std::string Value(const VARIANT& v) {
    if (v.vt == VT_BSTR) return "\"" + plat::ToUtf8(Text(v)) + "\"";
    if (v.vt == VT_BOOL) return v.boolVal ? "True" : "False";
    VARIANT text{};
    VariantChangeType(&text, &v, 0, VT_BSTR);
    std::string s = plat::ToUtf8(Text(text));
    VariantClear(&text);
    return s;
  }
  // Calls a method; the arguments are cleared afterwards.
  HRESULT Method(const char16_t* name, std::vector<VARIANT> args) {
    CallResult r;
    Call(control, name, DISPATCH_METHOD, args, &r);
    for (VARIANT& a : args)
      if (!(a.vt & VT_BYREF)) VariantClear(&a);
    return Outcome(r);
  }
};

using timetest::kEastern;
using timetest::Zone;

}  // namespace timehost
