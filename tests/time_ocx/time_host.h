#pragma once
// Driving a TimeClient through IDispatch by name, as a host does.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/test_host.h"

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

// Sets TZ for a test and restores it afterwards.
class Zone {
 public:
  explicit Zone(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~Zone() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

inline constexpr const char* kEastern = "EST5EDT,M3.2.0,M11.1.0";

}  // namespace timehost
