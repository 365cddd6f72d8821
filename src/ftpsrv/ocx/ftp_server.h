#pragma once
// CFtpServer: the FtpServer control. It keeps the settings of a server, starts and steers
// one server of the FTP server library, and turns the library's events (reported on the
// engine's threads) into events fired on the host's thread.
#include <atomic>
#include <initializer_list>
#include <string>

#include "core/sock/sock.h"
#include "ftpsrv/ocx/ftp_server_events.h"
#include "ftpsrv/ocx/ftp_server_iface.h"
#include "ocx/control.h"
#include "ocx/server_control_helpers.h"
#include "ocx/server_error_members.h"
#include "ocx/server_frame_members.h"
#include "ocx/server_lifecycle_members.h"
#include "ocx/server_notify_members.h"
#include "ocx/server_notify.h"

namespace ftpsrvctl {

extern const ocx::ControlDescriptor kFtpServerDescriptor;
// The type library FtpServerCtl.
const plat::com::TypeLibDesc& FtpServerTypeLibrary();

inline constexpr uint64_t kNoServer = ~0ull;
inline constexpr UINT kLibraryNotifyMessage = 2025;
inline constexpr HRESULT kCtlErrorSetNotPermittedRunning = HRESULT(0x800A017F);

// Everything Reset restores, with its default (Identity excepted: Reset keeps it).
struct FtpServerSettings {
  int32_t authFail = 3;
  int32_t authTime = 60;
  std::u16string certificateName, certificatePassword, certificateStore, certificateUser;
  std::u16string directory;
  int32_t execTime = 5;
  std::u16string externalAddress;
  std::u16string identity;
  int32_t idleTime = 300;
  std::u16string logFile;
  int32_t logFormat = 0;
  int32_t logLevel = 0;
  int32_t maxClients = 100;
  int32_t maxGuests = 0;
  int32_t maxPort = 65535;
  int32_t minPort = 32768;
  uint32_t options = 0;
  int32_t priority = 2;
  std::u16string serverAddress;
  std::u16string serverName;
  int32_t serverPort = 21;
  std::u16string serverUuid;
  int32_t stackSize = 524288;
  bool throwError = false;
  bool trace = false;
  std::u16string traceFile;
  int32_t traceFlags = 0;
};

// Same types as the interface slots, so each declaration overrides its slot.
#define CV_FTPSERVER_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CFtpServer final : public ocx::Control<IFtpServer> {
 public:
  explicit CFtpServer(IUnknown* outer);
  ~CFtpServer() override;

  IFTPSERVER_MEMBERS(CV_FTPSERVER_DECLARE)

  HRESULT FreezeEvents(BOOL freeze) override;

  uint64_t ServerHandleValue() const { return server_.load(); }
  uint32_t QueuedNotifications() const { return notify_.queue.Count(); }
  // The engine's callback; context is the control's ServerNotifyTarget.
  static int32_t LibraryEventCallback(uint64_t server, uint32_t clientId, uint16_t event, uint16_t error,
                                      uint64_t context);

 protected:
  void FinalRelease() override;
  bool HasSession() override { return true; }  // the control maps invalid handles itself
  bool ThrowErrors() override { return s_.throwError; }
  void FireError(uint32_t code, BSTR text) override;
  void OnLibrariesAttached() override;
  LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) override;

 private:
  template <class, class>
  friend struct ocx::ServerErrorMembers;
  template <class, UINT>
  friend struct ocx::ServerNotifyMembers;
  template <class, class>
  friend struct ocx::ServerLifecycleMembers;
  template <class, class>
  friend struct ocx::ServerFrameMembers;
  template <class>
  friend struct ocx::ServerNameMembers;

  // The control's error reporter: code 0 takes the server's last error, an invalid handle
  // without a server becomes "server inactive".
  HRESULT Raise(uint32_t code, bool returnFlag, bool fireFlag);
  // A failed property access: the library's error as an HRESULT, no OnError.
  HRESULT PropertyFailure() { return Raise(0, true, false); }
  // A failed method: Error gets the error number, OnError fires, the HRESULT only with ThrowError.
  HRESULT MethodFailure(VARIANT* error);
  HRESULT MethodFailure(VARIANT* error, uint32_t code);
  bool Running() const { return server_.load() != kNoServer; }
  // The current client when a server runs and an event is being fired, else 0.
  uint32_t CurrentClient() const { return Running() ? clientId_ : 0; }
  // Lazy initialisation for members that need the library; keeps the window target current.
  HRESULT Init();
  void StartTrace();
  void OnLibraryNotify(WPARAM wParam, LPARAM lParam);
  void DispatchLibraryEvent(uint32_t clientId, uint16_t event);
  void Fire(DISPID id, std::initializer_list<VARIANT> args);
  HRESULT StopServer(VARIANT* error, bool fireStop);
  void ReadOptions();
  HRESULT ApplyLogSettings(const std::u16string& file, bool withFile);
  HRESULT ApplyOrRestore(int32_t format, int32_t level);
  HRESULT RunningSetRefused() const { return Running() ? kCtlErrorSetNotPermittedRunning : S_OK; }
  HRESULT SetOptionBit(uint32_t bit, VARIANT_BOOL value);
  HRESULT ListAdapters();

  FtpServerSettings s_;
  std::atomic<uint64_t> server_{kNoServer};
  uint32_t clientId_ = 0;
  ocx::ServerNotifyTarget notify_;
  SockAddress adapters_[64] = {};
  uint32_t adapterCount_ = 0;
  bool adaptersListed_ = false;
  std::u16string version_;
};

// Shared by the member files.
using ocx::InText;
using ocx::OptionalUInt;
using ocx::OutBool;
using ocx::OutLong;
using ocx::OutText;
using ocx::OutUtf8;
using ocx::SetLongArgument;
using ocx::Widen;
// An optional text argument, or def when missing, in UTF-8.
HRESULT OptionalUtf8(const VARIANT& arg, const std::u16string& def, std::string* out);

}  // namespace ftpsrvctl

// Every read accessor but the stock Enabled answers this in design mode.
#define CV_FTPSRV_RUN_MODE_ONLY \
  CV_OCX_ENTRY;                 \
  if (!IsRunMode()) return ::ocx::kCtlErrorGetNotSupported
