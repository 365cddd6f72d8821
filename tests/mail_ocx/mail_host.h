#pragma once
// Playing host to an InternetMail control: the deliverable loaded by ProgID from a temporary
// registry root (or the control created in this process, where its seams can be reached),
// driven through IDispatch by name like a script host, with a sink that records every event.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/test_host.h"
#include "mail/ocx/guids.h"
#include "mail/ocx/internet_mail.h"
#include "ocx/object.h"
#include "platform/com/event_sink.h"

namespace mailhost {

using namespace testhost;

inline const char* kEventNames[] = {"", "OnCancel", "OnDelivered", "OnError", "OnProgress", "OnRecipient", "OnTimeout",
                                    "OnUpdate"};

// The HRESULT a call gave its caller: the exception's code for a failing member.
inline HRESULT Outcome(const CallResult& r) { return r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr; }

// A value as text: "True", 42, "\"text\"".
inline std::string Value(const VARIANT& v) {
  const VARIANT* p = v.vt == (VT_BYREF | VT_VARIANT) ? v.pvarVal : &v;
  if (p->vt == VT_BSTR) return "\"" + plat::ToUtf8(Text(*p)) + "\"";
  if (p->vt == VT_BOOL) return p->boolVal ? "True" : "False";
  VARIANT text{};
  if (FAILED(VariantChangeType(&text, p, 0, VT_BSTR))) return "<" + std::to_string(p->vt) + ">";
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

// A one-dimensional SAFEARRAY VARIANT of the given element type (the caller clears it).
inline VARIANT Array(VARTYPE vt, ULONG count) {
  VARIANT v{};
  v.vt = VT_ARRAY | vt;
  v.parray = SafeArrayCreateVector(vt, 0, count);
  return v;
}

class MailFixture : public RegistryFixture {
 public:
  IDispatch* control = nullptr;
  std::vector<std::string> events;  // "OnError 12227 \"...\"" and so on
  std::vector<int32_t> deliveredSizes;  // of the OnDelivered events
  // Set by a test: OnRecipient answers Cancel true for this address.
  std::string cancelRecipient;
  // Called from inside OnRecipient (after the Cancel answer is set).
  std::function<void()> onRecipient;

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
  HRESULT PutIndexed(const char16_t* name, VARIANT index, VARIANT value) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYPUT, {index, value}, &r);
    return Outcome(r);
  }
  // A property as text, or "!800A018A" for a failure.
  std::string Show(const char16_t* name, std::vector<VARIANT> index = {}) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYGET, index, &r);
    if (FAILED(r.hr)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "!%08X", uint32_t(Outcome(r)));
      return buf;
    }
    return Value(r.value);
  }
  // Calls a method; the arguments are cleared afterwards unless by reference. result
  // receives the method's return value when given.
  HRESULT Method(const char16_t* name, std::vector<VARIANT> args, std::string* result = nullptr) {
    CallResult r;
    Call(control, name, DISPATCH_METHOD, args, &r);
    for (VARIANT& a : args)
      if (!(a.vt & VT_BYREF)) VariantClear(&a);
    if (result) *result = Value(r.value);
    return Outcome(r);
  }
  // A method whose last argument is Error (or Result): the arguments given, the ones left
  // out up to it as missing, then Error; its value as text ("0" when the method succeeded).
  std::string Run(const char16_t* name, std::vector<VARIANT> args, HRESULT expect = S_OK) {
    const auto& table = mailctl::IInternetMail::DispatchTable();
    for (size_t i = 0; i < table.count; ++i)
      if (plat::ToUtf16(table.members[i].name) == name)
        while (args.size() + 1 < table.members[i].positional) args.push_back(Missing());
    VARIANT error{};
    args.push_back(Ref(&error));
    EXPECT_EQ(Method(name, args), expect) << plat::ToUtf8(name);
    std::string text = Value(error);
    VariantClear(&error);
    return text;
  }
  std::string TakeEvents() {
    std::string all;
    for (const std::string& e : events) all += e + "\n";
    events.clear();
    return all;
  }

 protected:
  void ConnectSink() {
    sink_ = plat::com::EventSink::Create(mailctl::DIID__IInternetMailEvents);
    for (DISPID id = 1; id <= 7; ++id)
      sink_->On(id, [this, id](const std::vector<const VARIANT*>& args) { Record(id, args); });
    ASSERT_EQ(sink_->Connect(control), S_OK);
  }
  void Release() {
    if (sink_) {
      sink_->Disconnect();
      sink_->Release();
      sink_ = nullptr;
    }
    if (control) control->Release();
    control = nullptr;
  }
  void TearDown() override {
    Release();
    RegistryFixture::TearDown();
  }

 private:
  void Record(DISPID id, const std::vector<const VARIANT*>& args) {
    std::string line = kEventNames[id];
    for (const VARIANT* a : args) line += " " + Value(*a);
    if (id == 4) {  // progress: only whether it reached the end
      if (args.size() == 3 && args[2]->vt == VT_I2 && args[2]->iVal == 100) events.push_back("OnProgress done");
      return;
    }
    if (id == 2 && args.size() == 2) {  // the size apart: a test compares it with the copy
      deliveredSizes.push_back(args[1]->lVal);
      events.push_back(line.substr(0, line.rfind(' ')));
      return;
    }
    if (id == 5) {
      const std::string address = plat::ToUtf8(Text(*args[0]));
      if (address == cancelRecipient && args[1]->vt == (VT_BYREF | VT_VARIANT)) {
        VARIANT* cancel = args[1]->pvarVal;
        VariantClear(cancel);
        *cancel = Bool(true);
      }
      events.push_back(line.substr(0, line.rfind(' ')));
      if (onRecipient) onRecipient();
      return;
    }
    events.push_back(line);
  }
  plat::com::EventSink* sink_ = nullptr;
};

// The deliverable as a host meets it: registered, then created by its ProgID.
class MailDeliverable : public MailFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(CV_MAILCTL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"))(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Corvanetics.InternetMail", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&control)),
              S_OK);
    ConnectSink();
  }
  void TearDown() override {
    MailFixture::TearDown();
    // Control modules stay loaded until the process ends.
  }
  void* module_ = nullptr;
};

// The control created in this process: its seams (the resolver, the direct-delivery port)
// can be reached.
class MailInProcess : public MailFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    ASSERT_EQ(ocx::CreateObject<mailctl::CInternetMail>(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control)),
              S_OK);
    object = static_cast<mailctl::CInternetMail*>(static_cast<mailctl::IInternetMail*>(control));
    ConnectSink();
  }
  mailctl::CInternetMail* object = nullptr;
};

}  // namespace mailhost
