#pragma once
// CInternetServer: the InternetServer control, a general TCP server for a host program.
// The host sets properties and calls Start; the engine's listener and client threads
// report every accept, connect, read, write and disconnect through the control's callback,
// which hands them to the control's thread as message 2025 (or queues them while events
// are frozen); there the control fires the matching event, naming the client the host's
// calls then act on (the current client).
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "core/sock/sock.h"
#include "ocx/control.h"
#include "sockets/server/server.h"
#include "tcpsrv/ocx/internet_server_events.h"
#include "tcpsrv/ocx/internet_server_iface.h"
#include "tcpsrv/ocx/notification_queue.h"

namespace tcpsrvctl {

extern const ocx::ControlDescriptor kInternetServerDescriptor;
// The type library InternetServerCtl.
const plat::com::TypeLibDesc& InternetServerTypeLibrary();

inline constexpr UINT kNotifyMessage = 2025;
// Sent by an engine thread that queued its notification: the control's thread sends the
// queued ones to the host, oldest first.
inline constexpr UINT kDrainMessage = 2026;
inline constexpr int32_t kDefaultStackSize = 0x80000;

// Everything Reset restores, with its default.
struct InternetServerSettings {
  int32_t backlog = 5;
  int32_t byteOrder = 0;  // 1: integers travel in network byte order
  std::u16string certificateName, certificatePassword, certificateStore, certificateUser;
  bool keepAlive = false;
  int32_t maxClients = 0;
  bool noDelay = false;
  int32_t priority = 2;
  bool reuseAddress = true;
  bool secure = false;
  int32_t secureProtocol = 0;
  std::u16string serverAddress;
  int32_t serverPort = 0;
  int32_t stackSize = kDefaultStackSize;
  bool throwError = false;
  int32_t timeout = 0;
  bool trace = false;
  std::u16string traceFile;
  int32_t traceFlags = 0;
};

// What the engine's callback reaches the control through. It outlives the control when a
// server's threads outlive it, and then leads nowhere.
struct CallbackBridge {
  std::atomic<class CInternetServer*> control{nullptr};
  std::atomic<int32_t> inFlight{0};
};

#define CV_INETSERVER_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CInternetServer final : public ocx::Control<IInternetServer>,
                              public CProxy_IInternetServerEvents<CInternetServer> {
 public:
  explicit CInternetServer(IUnknown* outer);
  ~CInternetServer() override;

  IINTERNETSERVER_MEMBERS(CV_INETSERVER_DECLARE)

  HRESULT FreezeEvents(BOOL freeze) override;

  // Runs on engine threads (see the .cpp).
  static void ServerControlCallback(uint64_t handle, uint32_t event, uint32_t error, uint64_t userData);

 protected:
  void FinalRelease() override;
  bool HasSession() override { return true; }  // RaiseErrorFor maps the invalid handle itself
  bool ThrowErrors() override { return true; }  // a failed lazy initialise is always reported
  void OnLibrariesAttached() override;
  LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) override;

 private:
  // Error reporting with the handle OnError names (code 0: the library's last error).
  HRESULT RaiseErrorFor(SOCKET handle, uint32_t code, bool returnFlag, bool fireFlag);
  // A method's failure: reported with ThrowError as the return flag and OnError fired.
  HRESULT MethodFailed(SOCKET handle, VARIANT* error, uint32_t code = 0);
  // A failing property access: error state set, the automation error returned.
  HRESULT PropertyFailed(uint32_t code = 0);
  void FireError(uint32_t code, BSTR text) override;

  void EngineNotification(uint64_t handle, uint32_t event, uint32_t error);
  LRESULT OnServerEvent(WPARAM wParam, LPARAM lParam);
  void DispatchServerEvent(SOCKET handle, uint32_t event);
  void DeliverPending();
  // A queued notification went to the host (or is dropped): its client goes on.
  void Taken(const Notification& n);
  void ClearPending();
  static constexpr LRESULT kQueued = 1;  // OnServerEvent's answer for a notification it queued
  HRESULT RefreshClientList(bool rebuild);
  void ForgetServer();  // after a stop: handle, current client, pending, list, queue
  void ClearItemQueue(bool* failed = nullptr);
  void StartTrace();
  void StopServerQuietly();
  bool Running() const { return server_ != INVALID_SOCKET; }
  SOCKET Current() const { return current_; }
  // The handle argument of a method: required, converted to a handle value.
  HRESULT HandleArgument(const VARIANT& arg, SOCKET* handle);

  InternetServerSettings s_;
  SOCKET server_ = INVALID_SOCKET;
  SOCKET current_ = INVALID_SOCKET;
  int32_t state_ = twServerInactive;
  std::vector<SockAddress> adapters_;
  std::vector<uint64_t> clientList_;
  bool clientListCached_ = false;
  std::map<SOCKET, std::u16string> clientNames_;
  std::map<SOCKET, uint32_t> clientIds_;
  NotificationQueue pending_;
  uint32_t dispatchCount_ = 0;
  bool draining_ = false;
  bool releasing_ = false;
  std::atomic<long> frozen_{0};     // the freeze count, for engine threads
  std::atomic<HWND> window_{nullptr};
  CallbackBridge* bridge_;
  SOCKET errorHandle_ = INVALID_SOCKET;  // the handle the next OnError names
  std::u16string version_;
};

}  // namespace tcpsrvctl
