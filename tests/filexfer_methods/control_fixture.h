#pragma once
// The FileTransfer control as a script host meets it: the deliverable registered in a
// temporary registry, the control created by ProgID, members called by name through
// IDispatch, and every event recorded in order.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "filexfer/ocx/guids.h"
#include "host/test_host.h"
#include "platform/com/event_sink.h"

namespace xfertest {

using namespace testhost;
namespace fs = std::filesystem;

enum EventId : DISPID {
  kOnCancel = 1,
  kOnCommand = 2,
  kOnError = 3,
  kOnProgress = 4,
  kOnTaskBegin = 5,
  kOnTaskEnd = 6,
  kOnTaskRun = 7,
  kOnTimeout = 8,
};

// One fired event with copies of its arguments.
struct Event {
  DISPID id;
  std::vector<VARIANT> args;
};

// A VARIANT that clears itself.
struct Var {
  VARIANT v{};
  Var() = default;
  explicit Var(const VARIANT& from) { VariantCopy(&v, &from); }
  ~Var() { VariantClear(&v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  VARIANT* operator&() { return &v; }
  VARIANT ref() { return Ref(&v); }
};

inline std::string Utf8(const VARIANT& v) { return plat::ToUtf8(Text(v)); }

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

class ControlFixture : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(CV_XFERCTL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"))(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Corvanetics.FileTransfer", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&control_)),
              S_OK);
    sink_ = plat::com::EventSink::Create(filexfer::DIID__IFileTransferEvents);
    for (DISPID id = kOnCancel; id <= kOnTimeout; ++id)
      sink_->On(id, [this, id](const std::vector<const VARIANT*>& a) {
        Event e{id, {}};
        for (const VARIANT* v : a) {
          VARIANT copy{};
          VariantCopy(&copy, v);
          e.args.push_back(copy);
        }
        events_.push_back(std::move(e));
        if (onEvent_) onEvent_(events_.back());
      });
    ASSERT_EQ(sink_->Connect(control_), S_OK);
    files_ = dir_ / "files";
    fs::create_directories(files_);
  }
  void TearDown() override {
    if (sink_) {
      sink_->Disconnect();
      sink_->Release();
    }
    if (control_) control_->Release();
    ClearEvents();
    RegistryFixture::TearDown();
  }

  // A method or property read: the HRESULT the host sees (the exception's code for an
  // exception), the result in r.
  HRESULT Call(const char16_t* name, std::vector<VARIANT> args, CallResult* r = nullptr) {
    CallResult local;
    CallResult& out = r ? *r : local;
    testhost::Call(control_, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, std::move(args), &out);
    return out.hr == DISP_E_EXCEPTION ? out.excep.scode : out.hr;
  }
  HRESULT Put(const char16_t* name, VARIANT value) {
    CallResult r;
    testhost::Call(control_, name, DISPATCH_PROPERTYPUT, {value}, &r);
    return r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr;
  }
  HRESULT PutText(const char16_t* name, const std::string& text) {
    Var v;
    v.v.vt = VT_BSTR;
    std::u16string w = plat::ToUtf16(text);
    v.v.bstrVal = SysAllocStringLen(w.data(), UINT(w.size()));
    return Put(name, v.v);
  }
  // A property's value as text ("True"/"False", numbers, strings unquoted).
  std::string Get(const char16_t* name, std::vector<VARIANT> args = {}) {
    CallResult r;
    HRESULT hr = Call(name, std::move(args), &r);
    if (FAILED(hr)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "!%08X", uint32_t(hr));
      return buf;
    }
    if (r.value.vt == VT_BOOL) return r.value.boolVal ? "True" : "False";
    VARIANT text{};
    VariantChangeType(&text, &r.value, 0, VT_BSTR);
    std::string s = Utf8(text);
    VariantClear(&text);
    return s;
  }

  // Serves posted messages of this thread until done() or the time runs out.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      plat::MSG msg;
      bool any = false;
      while (plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_REMOVE)) {
        plat::DispatchMessage(&msg);
        any = true;
      }
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  int Count(DISPID id) const {
    int n = 0;
    for (const Event& e : events_) n += e.id == id;
    return n;
  }
  const Event* First(DISPID id) const {
    for (const Event& e : events_)
      if (e.id == id) return &e;
    return nullptr;
  }
  void ClearEvents() {
    for (Event& e : events_)
      for (VARIANT& v : e.args) VariantClear(&v);
    events_.clear();
  }
  std::string Local(const std::string& name) const { return (files_ / name).string(); }

  void* module_ = nullptr;
  IDispatch* control_ = nullptr;
  plat::com::EventSink* sink_ = nullptr;
  std::vector<Event> events_;
  std::function<void(const Event&)> onEvent_;
  fs::path files_;
};

inline VARIANT S(const char16_t* s) { return Str(s); }

// A BSTR argument from UTF-8 text; the caller's Var list clears it.
inline VARIANT Text8(const std::string& s) {
  std::u16string w = plat::ToUtf16(s);
  VARIANT r{};
  r.vt = VT_BSTR;
  r.bstrVal = SysAllocStringLen(w.data(), UINT(w.size()));
  return r;
}

// Arguments whose strings are freed when the list goes.
struct Args {
  std::vector<VARIANT> v;
  Args(std::initializer_list<VARIANT> list) : v(list) {}
  ~Args() {
    for (VARIANT& a : v)
      if (a.vt == VT_BSTR) VariantClear(&a);
  }
  operator std::vector<VARIANT>() const { return v; }
};

}  // namespace xfertest
