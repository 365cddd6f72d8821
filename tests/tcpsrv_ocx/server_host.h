#pragma once
// Playing host to the InternetServer deliverable: loaded by ProgID from a temporary
// registry, driven through IDispatch by name, its events recorded by a sink (with an
// optional action per event, run inside the event), and the test's thread pumping
// messages while it waits. Clients are plain POSIX sockets on loopback.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/test_host.h"
#include "platform/com/event_sink.h"
#include "tcpsrv/ocx/guids.h"

namespace tcpsrvtest {

using namespace testhost;

enum Event { kAccept = 1, kCancel, kConnect, kDisconnect, kError, kIdle, kRead, kStart, kStop, kTimeout, kWrite };

struct Fired {
  int id;
  int32_t handle;  // first argument, -1 for events without one
  int32_t code;    // OnError's code
};

inline HRESULT Outcome(const CallResult& r) { return r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr; }

inline VARIANT Bool(bool b) {
  VARIANT v{};
  v.vt = VT_BOOL;
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

// A client socket connected to loopback; -1 on failure.
inline int Connect(uint32_t port, int family = AF_INET) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage ss{};
  socklen_t length;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(uint16_t(port));
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(uint16_t(port));
    in6->sin6_addr = in6addr_loopback;
    length = sizeof *in6;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline void Send(int fd, const std::string& data) { ::send(fd, data.data(), data.size(), MSG_NOSIGNAL); }

class ServerHost : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(CV_INETSRVCTL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"))(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Corvanetics.InternetServer", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&control)),
              S_OK);
    sink_ = plat::com::EventSink::Create(tcpsrvctl::DIID__IInternetServerEvents);
    for (int id = kAccept; id <= kWrite; ++id) {
      sink_->On(id, [this, id](const std::vector<const VARIANT*>& args) {
        const int32_t handle = args.empty() ? -1 : args[0]->lVal;
        const int32_t code = args.size() > 1 ? args[1]->lVal : 0;
        fired.push_back({id, handle, code});
        if (auto it = actions.find(id); it != actions.end()) it->second(handle);
      });
    }
    ASSERT_EQ(sink_->Connect(control), S_OK);
    ASSERT_EQ(Put(u"Timeout", I4(5)), S_OK);  // no wait in a test may last for ever
  }
  void TearDown() override {
    for (int fd : clients_) ::close(fd);
    ReleaseControl();
    RegistryFixture::TearDown();
  }
  // The host lets go of the control: the sink leaves, the last reference goes.
  void ReleaseControl() {
    if (sink_) {
      sink_->Disconnect();
      sink_->Release();
      sink_ = nullptr;
    }
    actions.clear();
    if (control) control->Release();
    control = nullptr;
  }

  // --- calls by name ---
  HRESULT Put(const char16_t* name, VARIANT value) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYPUT, {value}, &r);
    VariantClear(&value);
    return Outcome(r);
  }
  // A property as text: "True", "42", "\"text\"", or "!800A018A" for a failure.
  std::string Show(const char16_t* name, std::vector<VARIANT> args = {}) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYGET, args, &r);
    if (FAILED(r.hr)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "!%08X", uint32_t(Outcome(r)));
      return buf;
    }
    return Value(r.value);
  }
  int32_t Number(const char16_t* name) { return std::stoi(Show(name)); }
  static std::string Value(const VARIANT& v) {
    if (v.vt == VT_BSTR) return "\"" + plat::ToUtf8(Text(v)) + "\"";
    if (v.vt == VT_BOOL) return v.boolVal ? "True" : "False";
    VARIANT text{};
    VariantChangeType(&text, &v, 0, VT_BSTR);
    std::string s = plat::ToUtf8(Text(text));
    VariantClear(&text);
    return s;
  }
  // Calls a method; by-value arguments are cleared afterwards.
  HRESULT Method(const char16_t* name, std::vector<VARIANT> args) {
    CallResult r;
    Call(control, name, DISPATCH_METHOD, args, &r);
    for (VARIANT& a : args)
      if (!(a.vt & VT_BYREF)) VariantClear(&a);
    return Outcome(r);
  }
  // A method whose last argument is its result (or Error): the result as text.
  std::string Result(const char16_t* name, std::vector<VARIANT> args, HRESULT expect = S_OK) {
    VARIANT result{};
    while (args.size() + 1 < Arity(name)) args.push_back(Missing());
    args.push_back(Ref(&result));
    EXPECT_EQ(Method(name, args), expect) << plat::ToUtf8(name);
    std::string text = Value(result);
    VariantClear(&result);
    return text;
  }

  // Declared arguments of the methods, the result (or Error) last.
  static size_t Arity(const char16_t* name) {
    static const std::map<std::u16string, size_t> arity = {
        {u"Abort", 2},    {u"Broadcast", 3},  {u"Cancel", 2},     {u"ClearQueue", 1}, {u"Dequeue", 3},
        {u"Disconnect", 2}, {u"Enqueue", 2},  {u"FindClient", 2}, {u"Initialize", 2}, {u"Peek", 4},
        {u"Read", 4},     {u"ReadByte", 2},   {u"ReadLine", 4},   {u"Reject", 1},     {u"Resolve", 4},
        {u"Restart", 1},  {u"Resume", 1},     {u"Start", 7},      {u"Stop", 1},       {u"Suspend", 2},
        {u"SyncLock", 2}, {u"Throttle", 4},   {u"Write", 4},      {u"WriteByte", 3},  {u"WriteLine", 3},
    };
    auto it = arity.find(name);
    return it == arity.end() ? 0 : it->second;
  }

  // Starts on the loopback address of the family on a free port; the port.
  uint32_t StartOn(const char16_t* address) {
    EXPECT_EQ(Result(u"Start", {Str(address), I4(0)}), "0");
    return uint32_t(Number(u"ServerPort"));
  }
  int Client(uint32_t port, int family = AF_INET) {
    int fd = Connect(port, family);
    if (fd >= 0) clients_.push_back(fd);
    return fd;
  }

  // Serves the messages of the test's thread until done() or ms passed; done()'s answer.
  bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      plat::WaitForEventsOrMessages(nullptr, 0, 10);
      plat::MSG m;
      while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
    }
    return true;
  }
  void Pump(int ms) {
    PumpUntil([] { return false; }, ms);
  }
  int Count(int id, int32_t handle = -2) const {
    int n = 0;
    for (const Fired& f : fired) n += f.id == id && (handle == -2 || f.handle == handle);
    return n;
  }
  bool WaitFor(int id, int count = 1, int ms = 5000) {
    return PumpUntil([&] { return Count(id) >= count; }, ms);
  }
  // The handle of the newest OnConnect.
  int32_t LastConnected() const {
    for (auto it = fired.rbegin(); it != fired.rend(); ++it)
      if (it->id == kConnect) return it->handle;
    return -1;
  }
  // The event ids in order, without the given ones.
  std::vector<int> Sequence(std::initializer_list<int> skip = {}) const {
    std::vector<int> out;
    for (const Fired& f : fired)
      if (std::find(skip.begin(), skip.end(), f.id) == skip.end()) out.push_back(f.id);
    return out;
  }

  // Reads until count bytes arrived, the peer closed, or ms passed, serving the control's
  // events meanwhile (the server's threads wait for them).
  std::string Receive(int fd, size_t count, int ms = 5000) {
    std::string out;
    PumpUntil(
        [&] {
          pollfd p{fd, POLLIN, 0};
          while (out.size() < count && ::poll(&p, 1, 0) > 0) {
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
            if (n <= 0) return true;
            out.append(buf, size_t(n));
          }
          return out.size() >= count;
        },
        ms);
    return out;
  }
  // True when the peer closed (or reset) the connection within ms.
  bool PeerClosed(int fd, int ms = 5000) {
    bool closed = false;
    PumpUntil(
        [&] {
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 0) <= 0) return false;
          char buf[256];
          closed = ::recv(fd, buf, sizeof buf, 0) <= 0;
          return closed;
        },
        ms);
    return closed;
  }

  IDispatch* control = nullptr;
  std::vector<Fired> fired;
  std::map<int, std::function<void(int32_t handle)>> actions;

 private:
  void* module_ = nullptr;
  plat::com::EventSink* sink_ = nullptr;
  std::vector<int> clients_;
};

}  // namespace tcpsrvtest
