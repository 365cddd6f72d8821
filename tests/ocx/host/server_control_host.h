#pragma once
// A server control as a host meets it: loaded by ProgID from a temporary registry, driven
// through IDispatch by name, its events recorded by a sink with the thread that fired them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/test_host.h"
#include "platform/com/event_sink.h"
#include "platform/msg/wait.h"

namespace testhost {

struct Fired {
  int id;
  std::vector<std::string> args;  // each argument shown as text
  std::thread::id thread;
};

inline HRESULT Outcome(const CallResult& r) { return r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr; }

// A VARIANT as text: "True", 42, "\"text\"".
inline std::string Show(const VARIANT& v) {
  if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal) return Show(*v.pvarVal);
  if (v.vt == VT_BSTR) return "\"" + plat::ToUtf8(Text(v)) + "\"";
  if (v.vt == VT_BOOL) return v.boolVal ? "True" : "False";
  VARIANT text{};
  if (FAILED(VariantChangeType(&text, &v, 0, VT_BSTR))) return "<?>";
  std::string s = plat::ToUtf8(Text(text));
  VariantClear(&text);
  return s;
}

inline VARIANT Bool(bool b) {
  VARIANT v{};
  v.vt = VT_BOOL;
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

class ServerControlHost : public RegistryFixture {
 protected:
  // module: the control's library; events: its event interface, whose DISPIDs run 1 to lastEvent.
  ServerControlHost(const char* module, const char16_t* progId, const IID& events, int lastEvent)
      : modulePath_(module), progId_(progId), events_(events), lastEvent_(lastEvent) {}

  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(modulePath_, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"))(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(progId_, &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&control)),
              S_OK);
    sink_ = plat::com::EventSink::Create(events_);
    for (int id = 1; id <= lastEvent_; ++id)
      sink_->On(id, [this, id](const std::vector<const VARIANT*>& args) {
        Fired f{id, {}, std::this_thread::get_id()};
        for (const VARIANT* a : args) f.args.push_back(Show(*a));
        fired.push_back(f);
        if (auto h = handlers.find(id); h != handlers.end()) h->second(f);
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
    VariantClear(&value);
    return Outcome(r);
  }
  // A property as text, or "!800A018A" for a failure.
  std::string Get(const char16_t* name, std::vector<VARIANT> args = {}) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYGET, args, &r);
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

  // Serves the messages the engine threads send until cond holds or ms run out.
  bool PumpUntil(const std::function<bool()>& cond, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
      if (std::chrono::steady_clock::now() > deadline) return cond();
      plat::WaitForEventsOrMessages(nullptr, 0, 10);
    }
    return true;
  }
  // Runs a shell command on another thread while this thread serves the control; its exit status.
  int RunServing(const std::string& command) {
    std::atomic<bool> done{false};
    int status = -1;
    std::thread t([&] {
      status = std::system(command.c_str());
      done = true;
    });
    PumpUntil([&] { return done.load(); }, 60000);
    t.join();
    return status;
  }

  std::vector<int> Ids() const {
    std::vector<int> out;
    for (const Fired& f : fired) out.push_back(f.id);
    return out;
  }
  int Count(int id) const {
    int n = 0;
    for (const Fired& f : fired) n += f.id == id;
    return n;
  }
  const Fired* First(int id) const {
    for (const Fired& f : fired)
      if (f.id == id) return &f;
    return nullptr;
  }

  IDispatch* control = nullptr;
  std::vector<Fired> fired;
  std::map<int, std::function<void(const Fired&)>> handlers;  // called inside the event

 private:
  const char* modulePath_;
  const char16_t* progId_;
  IID events_;
  int lastEvent_;
  void* module_ = nullptr;
  plat::com::EventSink* sink_ = nullptr;
};

}  // namespace testhost
