#pragma once
// The PopClient deliverable as a host meets it: loaded by ProgID from a temporary registry,
// driven through IDispatch by name, its events recorded with their arguments.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "host/test_host.h"
#include "platform/com/event_sink.h"
#include "platform/msg/wait.h"
#include "pop3/ocx/guids.h"

namespace pophost {

using namespace testhost;

// The HRESULT a call gave its caller: the exception's code for a failing member.
inline HRESULT Outcome(const CallResult& r) { return r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr; }

inline VARIANT Bool(bool b) {
  VARIANT v{};
  v.vt = VT_BOOL;
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

// A value as text: "True", 42, "\"text\"".
inline std::string Show(const VARIANT& v) {
  if (v.vt == VT_BSTR) return "\"" + plat::ToUtf8(Text(v)) + "\"";
  if (v.vt == VT_BOOL) return v.boolVal ? "True" : "False";
  VARIANT text{};
  if (FAILED(VariantChangeType(&text, &v, 0, VT_BSTR))) return "<vt " + std::to_string(v.vt) + ">";
  std::string s = plat::ToUtf8(Text(text));
  VariantClear(&text);
  return s;
}

struct Event {
  DISPID id;
  std::vector<std::string> args;  // shown as by Show
};

enum : DISPID { kOnCancel = 1, kOnCommand, kOnConnect, kOnDisconnect, kOnError, kOnProgress, kOnRead, kOnTimeout };

class PopDeliverable : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(CV_POPCTL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"))(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Corvanetics.PopClient", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&control)),
              S_OK);
    sink_ = plat::com::EventSink::Create(popctl::DIID__IPopClientEvents);
    for (DISPID id = 1; id <= 8; ++id)
      sink_->On(id, [this, id](const std::vector<const VARIANT*>& args) {
        Event e{id, {}};
        for (const VARIANT* a : args) e.args.push_back(Show(*a));
        events.push_back(e);
        if (onEvent) onEvent(e);
      });
    ASSERT_EQ(sink_->Connect(control), S_OK);
  }
  void TearDown() override {
    if (sink_) {
      sink_->Disconnect();
      sink_->Release();
    }
    if (control) control->Release();
    if (module_) dlclose(module_);
    RegistryFixture::TearDown();
  }

  HRESULT Put(const char16_t* name, VARIANT value) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYPUT, {value}, &r);
    if (value.vt == VT_BSTR) VariantClear(&value);
    return Outcome(r);
  }
  HRESULT PutText(const char16_t* name, const char16_t* text) { return Put(name, Str(text)); }
  // A property as text, or "!800A018A" for a failure.
  std::string Get(const char16_t* name) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYGET, {}, &r);
    if (FAILED(r.hr)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "!%08X", uint32_t(Outcome(r)));
      return buf;
    }
    return Show(r.value);
  }
  // Calls a method; by-value arguments are cleared afterwards.
  HRESULT Method(const char16_t* name, std::vector<VARIANT> args) {
    CallResult r;
    Call(control, name, DISPATCH_METHOD, args, &r);
    for (VARIANT& a : args)
      if (!(a.vt & VT_BYREF)) VariantClear(&a);
    return Outcome(r);
  }
  size_t Count(DISPID id) const {
    size_t n = 0;
    for (const Event& e : events) n += e.id == id;
    return n;
  }
  const Event* Last(DISPID id) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if (it->id == id) return &*it;
    return nullptr;
  }
  // Dispatches the thread's messages until done() holds or ms pass.
  template <typename Done>
  static bool PumpUntil(Done done, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      plat::MSG m;
      while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
      plat::WaitForEventsOrMessages(nullptr, 0, 10);
    }
  }

  IDispatch* control = nullptr;
  std::vector<Event> events;
  std::function<void(const Event&)> onEvent;

 private:
  void* module_ = nullptr;
  plat::com::EventSink* sink_ = nullptr;
};

}  // namespace pophost
