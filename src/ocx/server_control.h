#pragma once
// The base of the server controls (FtpServer, HttpServer): what each keeps of its server
// (the settings, the handle, the current client, the notification target, the adapter
// list and the version text), the error reporters, initialisation and tracing, the
// host-thread side of the library events, option bits and Start. A control adds its
// interface entries, its event dispatch and what only its library has.
//
// Iface is the control's dual interface, Settings its settings (a ServerSettings) and Lib
// its library as the shared members call it:
//   CV_SERVER_LIBRARY(Prefix, controlNamespace): the library's calls, its configuration
//     type and the control's kNoServer, notify message, events and OptionalUtf8;
//   static constexpr uint32_t kOptionSecure;
//   static uint32_t FailureCode(uint64_t server, bool running);  // of a failed method
//   static void Configure(const Settings& s, Config& config);  // the library's own fields
//   static uint32_t StartOptions(const Settings& s, uint32_t options);
// The member templates are instantiated with C = this base class, which befriends them.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "ocx/control.h"
#include "ocx/server_control_helpers.h"
#include "ocx/server_error_members.h"
#include "ocx/server_frame_members.h"
#include "ocx/server_lifecycle_members.h"
#include "ocx/server_notify.h"
#include "ocx/server_notify_members.h"
#include "sockets/inet.h"

namespace ocx {

inline constexpr HRESULT kCtlErrorSetNotPermittedRunning = HRESULT(0x800A017F);

// What the member files of a server control use by its short name; a control's namespace
// takes them in with one using-directive.
namespace server_names {
using ocx::InText;
using ocx::OptionalUInt;
using ocx::OutBool;
using ocx::OutLong;
using ocx::OutText;
using ocx::OutUtf8;
using ocx::SetLongArgument;
using ocx::Widen;
// The handle of no server, and the window message the library's events travel in.
inline constexpr uint64_t kNoServer = ~0ull;
inline constexpr UINT kLibraryNotifyMessage = 2025;
}  // namespace server_names

// Everything Reset restores in every server control, with its default (Identity excepted:
// Reset keeps it); a control adds the settings of its own library.
template <int32_t DefaultIdleTime, int32_t DefaultPort>
struct ServerSettings {
  std::u16string certificateName, certificatePassword, certificateStore, certificateUser;
  std::u16string directory;
  int32_t execTime = 5;
  std::u16string identity;
  int32_t idleTime = DefaultIdleTime;
  std::u16string logFile;
  int32_t logFormat = 0;
  int32_t logLevel = 0;
  int32_t maxClients = 100;
  uint32_t options = 0;
  int32_t priority = 2;
  std::u16string serverAddress;
  std::u16string serverName;
  int32_t serverPort = DefaultPort;
  std::u16string serverUuid;
  int32_t stackSize = 524288;
  bool throwError = false;
  bool trace = false;
  std::u16string traceFile;
  int32_t traceFlags = 0;
};

template <class Iface, class Settings, class Lib>
class ServerControl : public Control<Iface> {
 public:
  ~ServerControl() override { notify_.queue.Clear(); }

  HRESULT FreezeEvents(BOOL freeze) override {
    const HRESULT hr = Control<Iface>::FreezeEvents(freeze);
    notify_.freeze = this->FreezeCount();
    return hr;
  }

  uint64_t ServerHandleValue() const { return server_.load(); }
  uint32_t QueuedNotifications() const { return notify_.queue.Count(); }
  // The engine's callback; context is the control's ServerNotifyTarget. A library whose
  // events come in pairs (Lib::FollowingEvent, on the client's thread: the MAKELONG(event,
  // error) that follows this event at once, taken from the library, or 0) has each pair
  // fired in one trip to the control's thread.
  static int32_t LibraryEventCallback(uint64_t server, uint32_t clientId, uint16_t event, uint16_t error,
                                      uint64_t context) {
    uint32_t following = 0;
    if constexpr (requires { Lib::FollowingEvent(server, clientId, event, error); })
      following = Lib::FollowingEvent(server, clientId, event, error);
    return Notify::Callback(clientId, event, error, following, context);
  }

 protected:
  using Frame = ServerFrameMembers<ServerControl, Lib>;
  using Notify = ServerNotifyMembers<ServerControl, Lib::kNotifyMessage>;
  using Lifecycle = ServerLifecycleMembers<ServerControl, Lib>;
  using Errors = ServerErrorMembers<ServerControl, Lib>;
  using Names = ServerNameMembers<ServerControl>;

  ServerControl(IUnknown* outer, const ControlDescriptor& descriptor, std::span<const LibraryOps* const> libraries)
      : Control<Iface>(outer, descriptor, libraries, {0, nullptr}) {}

  void FinalRelease() override {
    if (Running()) {
      Lib::Stop(server_.load());
      server_ = Lib::kNoServer;
    }
    notify_.window = nullptr;
    notify_.queue.Clear();
    Control<Iface>::FinalRelease();
    this->DetachLibraries();
  }
  bool HasSession() override { return true; }  // the control maps invalid handles itself
  bool ThrowErrors() override { return s_.throwError; }
  void FireError(uint32_t code, BSTR text) override { Frame::FireError(*this, code, text); }
  void OnLibrariesAttached() override { Frame::OnLibrariesAttached(*this); }
  LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) override {
    return Notify::OnWindowMessage(*this, msg, wParam, lParam, handled);
  }

  // Fires the control's event for one library event of the current client.
  virtual void DispatchLibraryEvent(uint32_t clientId, uint16_t event) = 0;
  // After a successful Start, before OnStart: what only this control keeps of the server.
  virtual void OnServerStarted(uint64_t /*server*/, uint32_t /*options*/) {}

  // The control's error reporter: code 0 takes the server's last error, an invalid handle
  // without a server becomes "server inactive".
  HRESULT Raise(uint32_t code, bool returnFlag, bool fireFlag) {
    return Frame::Raise(*this, code, returnFlag, fireFlag);
  }
  // A failed property access: the library's error as an HRESULT, no OnError.
  HRESULT PropertyFailure() { return Raise(0, true, false); }
  // A failed method: Error gets the error number, OnError fires, the HRESULT only with ThrowError.
  HRESULT MethodFailure(VARIANT* error) { return MethodFailure(error, Lib::FailureCode(server_.load(), Running())); }
  HRESULT MethodFailure(VARIANT* error, uint32_t code) {
    SetLongArgument(error, int32_t(code & 0xFFFFu));
    return Raise(code, s_.throwError, true);
  }
  bool Running() const { return server_.load() != Lib::kNoServer; }
  // The current client when a server runs and an event is being fired, else 0.
  uint32_t CurrentClient() const { return Running() ? clientId_ : 0; }
  // Lazy initialisation for members that need the library; keeps the window target current.
  HRESULT Init() { return Frame::Init(*this); }
  void StartTrace() { Frame::StartTrace(*this); }
  void OnLibraryNotify(WPARAM wParam, LPARAM lParam) {
    CV_OCX_ENTRY;
    Notify::OnLibraryNotify(*this, wParam, lParam);
  }
  void Fire(DISPID id, std::initializer_list<VARIANT> args) {
    this->FireEvent(id, args.size() ? args.begin() : nullptr, UINT(args.size()));
  }
  HRESULT StopServer(VARIANT* error, bool fireStop) { return Lifecycle::StopServer(*this, error, fireStop); }
  HRESULT RunningSetRefused() const { return Running() ? kCtlErrorSetNotPermittedRunning : S_OK; }
  HRESULT SetOptionBit(uint32_t bit, VARIANT_BOOL value) {
    if (HRESULT refused = RunningSetRefused(); FAILED(refused)) return refused;
    s_.options = value != VARIANT_FALSE ? (s_.options | bit) : (s_.options & ~bit);
    return S_OK;
  }
  HRESULT ListAdapters() { return Errors::ListAdapters(*this); }

  // Start: the arguments, missing ones from the settings; any running server stopped; the
  // library's server started with the settings; the settings then hold what it runs with.
  HRESULT StartServer(VARIANT address, VARIANT port, VARIANT directory, VARIANT maxClients, VARIANT idleTime,
                      VARIANT options, VARIANT* error);

  Settings s_;
  std::atomic<uint64_t> server_{Lib::kNoServer};
  uint32_t clientId_ = 0;
  ServerNotifyTarget notify_;
  SockAddress adapters_[64] = {};
  uint32_t adapterCount_ = 0;
  bool adaptersListed_ = false;
  std::u16string version_;

 private:
  template <class, class>
  friend struct ServerErrorMembers;
  template <class, UINT>
  friend struct ServerNotifyMembers;
  template <class, class>
  friend struct ServerLifecycleMembers;
  template <class, class>
  friend struct ServerFrameMembers;
  template <class>
  friend struct ServerNameMembers;
  template <class>
  friend struct ControlMembers;

  // Nulls for empty texts: the library then takes its defaults.
  static const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }
};

template <class Iface, class Settings, class Lib>
HRESULT ServerControl<Iface, Settings, Lib>::StartServer(VARIANT address, VARIANT port, VARIANT directory,
                                                         VARIANT maxClients, VARIANT idleTime, VARIANT options,
                                                         VARIANT* error) {
  if (!this->IsInitialized()) Init();  // a failure shows as the start's failure
  notify_.window = this->Window();
  std::string addressText, directoryText;
  uint32_t portValue = 0, clients = 0, idle = 0, optionWord = 0;
  if (HRESULT hr = Lib::TextArgument(address, s_.serverAddress, &addressText); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(port, uint32_t(s_.serverPort), &portValue); FAILED(hr)) return hr;
  if (HRESULT hr = Lib::TextArgument(directory, s_.directory, &directoryText); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(maxClients, uint32_t(s_.maxClients), &clients); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(idleTime, uint32_t(s_.idleTime), &idle); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(options, s_.options, &optionWord); FAILED(hr)) return hr;
  SetLongArgument(error, 0);

  if (s_.serverName.empty()) {
    char name[256] = {};
    if (InetGetFullHostName(name, sizeof name) > 0) s_.serverName = Widen(name);
  }
  const std::string identity = Utf16ToUtf8(s_.identity), uuid = Utf16ToUtf8(s_.serverUuid),
                    host = Utf16ToUtf8(s_.serverName), logFile = Utf16ToUtf8(s_.logFile);
  typename Lib::Config config{};
  config.size = sizeof config;
  config.maxClients = clients;
  config.maxClientsPerAddress = 4;
  config.logFormat = uint32_t(s_.logFormat);
  config.logLevel = uint32_t(s_.logLevel);
  config.idleTime = idle;
  config.execTime = uint32_t(s_.execTime);
  config.identity = OrNull(identity);
  config.serverUuid = OrNull(uuid);
  config.hostName = OrNull(host);
  config.rootDirectory = OrNull(directoryText);
  config.logFile = OrNull(logFile);
  Lib::Configure(s_, config);
  optionWord = Lib::StartOptions(s_, optionWord);

  if (Running()) {
    const HRESULT hr = StopServer(error, true);
    if (Running()) return hr;
  }

  SecCredentials* credentials = nullptr;
  if (optionWord & Lib::kOptionSecure) {
    if (s_.certificateName.empty() && !s_.serverName.empty()) s_.certificateName = s_.serverName;
    const std::string user = Utf16ToUtf8(s_.certificateUser), password = Utf16ToUtf8(s_.certificatePassword),
                      store = Utf16ToUtf8(s_.certificateStore), name = Utf16ToUtf8(s_.certificateName);
    if (!Lib::BuildCredentials(OrNull(user), OrNull(password), OrNull(store), OrNull(name), &credentials))
      credentials = nullptr;
  }
  const uint64_t handle = Lib::Start(OrNull(addressText), portValue, optionWord, &config, &LibraryEventCallback,
                                     reinterpret_cast<uint64_t>(&notify_), credentials);
  if (credentials) Lib::FreeCredentials(&credentials);
  if (handle == Lib::kNoServer) return MethodFailure(error, Lib::GetLastError(Lib::kNoServer));

  server_ = handle;
  OnServerStarted(handle, optionWord);
  Lib::SetPriority(handle, uint32_t(s_.priority));
  Lib::SetStackSize(handle, uint32_t(s_.stackSize));
  s_.serverAddress = Widen(addressText.c_str());
  s_.serverPort = int32_t(portValue);
  s_.directory = Widen(directoryText.c_str());
  s_.maxClients = int32_t(clients);
  s_.idleTime = int32_t(idle);
  Fire(Lib::kEventOnStart, {});
  return S_OK;
}

}  // namespace ocx

// The calls of a server library named Prefix##Stop, Prefix##Start, ... as the members of
// ServerControl and its member templates make them, the library's Prefix##Config, and
// what the control's namespace ns names: kNoServer, kLibraryNotifyMessage, kEventOnError,
// kEventOnStart, kEventOnStop and OptionalUtf8. Inside the body of the Lib struct.
#define CV_SERVER_LIBRARY_CALL(Name, Function) \
  template <class... A>                        \
  static auto Name(A... a) {                   \
    return Function(a...);                     \
  }
#define CV_SERVER_LIBRARY(Prefix, ns)                                \
  CV_SERVER_LIBRARY_CALL(Stop, Prefix##Stop)                         \
  CV_SERVER_LIBRARY_CALL(Restart, Prefix##Restart)                   \
  CV_SERVER_LIBRARY_CALL(Suspend, Prefix##Suspend)                   \
  CV_SERVER_LIBRARY_CALL(Resume, Prefix##Resume)                     \
  CV_SERVER_LIBRARY_CALL(GetLastError, Prefix##GetLastError)         \
  CV_SERVER_LIBRARY_CALL(SetLastError, Prefix##SetLastError)         \
  CV_SERVER_LIBRARY_CALL(StartTrace, Prefix##StartTrace)             \
  CV_SERVER_LIBRARY_CALL(StopTrace, Prefix##StopTrace)               \
  CV_SERVER_LIBRARY_CALL(IsListening, Prefix##IsListening)           \
  CV_SERVER_LIBRARY_CALL(ThreadId, Prefix##GetThreadId)              \
  CV_SERVER_LIBRARY_CALL(BuildCredentials, Prefix##BuildCredentials) \
  CV_SERVER_LIBRARY_CALL(FreeCredentials, Prefix##FreeCredentials)   \
  CV_SERVER_LIBRARY_CALL(Start, Prefix##Start)                       \
  CV_SERVER_LIBRARY_CALL(SetPriority, Prefix##SetPriority)           \
  CV_SERVER_LIBRARY_CALL(SetStackSize, Prefix##SetStackSize)         \
  CV_SERVER_LIBRARY_CALL(TextArgument, ns::OptionalUtf8)             \
  using Config = Prefix##Config;                                     \
  static constexpr uint64_t kNoServer = ns::kNoServer;               \
  static constexpr UINT kNotifyMessage = ns::kLibraryNotifyMessage;  \
  static constexpr DISPID kEventOnError = ns::kEventOnError;         \
  static constexpr DISPID kEventOnStart = ns::kEventOnStart;         \
  static constexpr DISPID kEventOnStop = ns::kEventOnStop;
