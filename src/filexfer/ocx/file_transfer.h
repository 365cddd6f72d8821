#pragma once
// CFileTransfer: the FileTransfer control. It holds at most one library session, the
// property values that configure the next connection, the results of the last operation,
// the hidden window the libraries notify, and the ids of its background tasks.
#include <memory>
#include <optional>
#include <string>

#include "core/frame/lib_types.h"
#include "core/tls/sec_tls.h"
#include "filexfer/ocx/file_transfer_events.h"
#include "filexfer/ocx/file_transfer_iface.h"
#include "filexfer/ocx/task_list.h"
#include "filexfer/ocx/task_notify.h"
#include "ocx/control.h"

namespace filexfer {

extern const ocx::ControlDescriptor kFileTransferDescriptor;
// The type library FileTransferCtl.
const plat::com::TypeLibDesc& FileTransferTypeLibrary();

// ServerType values.
inline constexpr int32_t kServerUndefined = 0;
inline constexpr int32_t kServerFtp = 1;
inline constexpr int32_t kServerHttp = 2;

// What the control is doing (the type library's fileState constants).
enum class ControlState : int32_t {
  Unused = 0,
  Idle = 1,
  Connecting = 2,
  Login = 3,
  Transfer = 4,
  FileList = 5,
};

// Everything Reset restores, with its default.
struct FileTransferSettings {
  std::u16string account;
  uint32_t activePortLow = 1025;
  uint32_t activePortHigh = 4099;  // not the library's 4999: every connection applies this pair
  bool appendFile = false;
  std::u16string certificateName, certificatePassword, certificateStore, certificateUser;
  bool compression = false;
  int32_t directoryFormat = 0;
  int32_t encoding = 1;
  uint32_t features = 0;
  bool featuresSet = false;  // the host wrote Features: the next connection applies it
  uint32_t options = 0;
  int32_t fileType = 0;
  bool keepAlive = false;
  bool localize = false;
  bool listParsed = true;  // ReadDirectory gives parsed entries, not raw lines
  bool passive = true;
  std::u16string password;
  int32_t priority = 2;
  std::u16string privateKey;
  uint32_t protocolVersion = 0x10000;  // major in the high word
  std::u16string proxyServer, proxyPassword, proxyUser;
  int32_t proxyPort = 0;
  int32_t proxyType = 0;
  std::u16string resource;
  SecSessionInfo security{};
  // The connection an implicit connection opened for one method has ended: the security
  // record still describes it (its texts, owned by that connection, are gone: the
  // certificate's issuer and subject are kept as copies).
  bool securityKept = false;
  std::string keptIssuer, keptSubject;
  bool secure = false;
  uint32_t secureProtocol = 0;
  std::u16string serverDirectory, serverName;
  int32_t serverPort = 0;
  int32_t serverType = kServerUndefined;
  ControlState state = ControlState::Unused;  // changed through CFileTransfer::SetState only
  bool throwError = false;
  int32_t timeout = 20;
  bool trace = false;
  std::u16string traceFile;
  int32_t traceFlags = 0;
  uint64_t transferBytes = 0;
  uint32_t transferRate = 0;
  uint32_t transferTime = 0;
  std::u16string transferFileName;
  std::u16string userName;
  std::u16string version;  // built on first read
};

// Same types as the interface slots, so each declaration overrides its slot.
#define CV_FILETRANSFER_DECLARE(kind, name, id, names, ...) \
  ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CFileTransfer final : public ocx::Control<IFileTransfer>, public CProxy_IFileTransferEvents<CFileTransfer> {
 public:
  explicit CFileTransfer(IUnknown* outer);
  ~CFileTransfer() override;

  IFILETRANSFER_MEMBERS(CV_FILETRANSFER_DECLARE)

  // Counted like the container asks, and mirrored for the task threads' callback.
  HRESULT FreezeEvents(BOOL freeze) override;

  // The task-id list operations.
  void TaskListAdd(uint32_t id) { tasks_.Add(id); }
  void TaskListRemove(uint32_t id) { tasks_.Remove(id); }
  void TaskListPrune();
  void TaskListAbortAll();

  const FileTransferSettings& Settings() const { return s_; }
  const TaskIdList& Tasks() const { return tasks_; }
  LibHandle Session() const { return session_; }
  uint32_t LoginReplyCode() const { return loginReplyCode_; }
  // Test hook: the reply code a failed login leaves (kept by Reset).
  void SetLoginReplyCode(uint32_t code) { loginReplyCode_ = code; }

 protected:
  void FinalRelease() override;
  const ocx::LibraryOps* ErrorLibrary() override;
  bool HasSession() override { return session_ != kInvalidLibHandle; }
  bool ThrowErrors() override { return s_.throwError; }
  void FireError(uint32_t code, BSTR text) override;
  void OnLibrariesAttached() override;
  LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) override;

 private:
  friend class ImplicitConnection;

  bool Open() const { return session_ != kInvalidLibHandle; }
  // Stores the control's state (traced).
  void SetState(ControlState next) noexcept;
  // Whether the security record's numbers and dates describe a connection: the open one,
  // or the one that served the last method through an implicit connection.
  bool SecurityReadable() const { return Open() || s_.securityKept; }
  bool FtpOpen() const { return Open() && s_.serverType == kServerFtp; }
  // The library every operation of the current server type goes to: FTP for FTP, HTTP
  // for anything else.
  const ocx::LibraryOps& CurrentLibrary() const;
  void StartTrace();

  // Connecting and the transfer steps the methods share.
  HRESULT ConnectFromProperties();
  void ConnectFtp(SecCredentials* credentials);
  void ConnectHttp(SecCredentials* credentials);
  bool ServerTypeFromUrl(const std::string& utf8);
  bool IsUrlArgument(const std::u16string& text);
  HRESULT DownloadFile(const std::string& local, const std::string& remote, uint64_t offset);
  HRESULT UploadFile(const std::string& local, const std::string& remote, uint64_t offset);
  HRESULT ChangeServerDirectory(const std::string& path);
  HRESULT RefreshServerDirectory();
  // PWD into ServerDirectory; false with the library's error.
  bool ReadServerDirectory();
  // Reads the session's transfer statistics into the kept ones; false when they cannot be read.
  bool RefreshStatistics();

  // The method frame: a URL argument taken into the properties (remote becomes Resource),
  // and a failed library operation reported with Error, LastError and OnError.
  HRESULT AdoptUrl(std::u16string& remote);
  // A remote-name argument as text (def when missing; null: missing is converted and may
  // fail), then adopted when it is a URL.
  HRESULT RemoteNameArgument(const VARIANT& arg, std::u16string* out, const char16_t* def = u"");
  // One method call as the host sees it, from BeginMethod to its return (calls nested
  // from event handlers belong to the outer one): at most one OnError, OnTimeout and
  // OnCancel, the first error it met reported, and LastError 0 when it raised nothing.
  class MethodCall {
   public:
    explicit MethodCall(CFileTransfer& c) : c_(c) { ++c_.call_.depth; }
    ~MethodCall();
    MethodCall(const MethodCall&) = delete;
    MethodCall& operator=(const MethodCall&) = delete;

   private:
    CFileTransfer& c_;
  };
  struct CallEvents {
    int depth = 0;
    bool raised = false;  // the method raised an error of its own
    bool errorFired = false, timeoutFired = false, cancelFired = false;
    uint32_t firstError = 0;  // the first error raised in the call, a notification's included
    bool keepLastError = false;  // a call that succeeded leaves LastError as it found it
  };
  // The start of every method: lazy initialisation (unless the method has none), Error
  // reset; the result lives for the whole method.
  enum class Init { Lazy, None };
  [[nodiscard]] MethodCall BeginMethod(VARIANT* error, Init init = Init::Lazy);
  // RaiseError as the methods use it: it marks the running method as failed.
  HRESULT RaiseError(uint32_t code, bool returnFlag, bool fireFlag);
  // A failed library operation: Error, LastError and OnError show the first error the
  // call met (code, else the library's last error, when it met none before).
  HRESULT Fail(VARIANT* error, uint32_t code = 0);
  // A refusal of a gate: Error shows code's number; code becomes the last error of setIn
  // when given; raised with its code, or with 0 (the library's last error, which reports
  // "no library" for an undefined server type).
  HRESULT Refuse(VARIANT* error, uint32_t code, const ocx::LibraryOps* setIn, bool raiseCode);
  // The FTP-only gate: a refusal for another server type, nothing for FTP. throughHttp:
  // raised through the HTTP library's last error.
  std::optional<HRESULT> FtpOnlyGate(VARIANT* error, bool throughHttp);
  // The gates of the FTP methods that need an open connection (no implicit one).
  enum class Gate {
    Direct,         // both refusals raise their codes; no connection: cvErrorNotConnected
    Through,        // both raise through the libraries' last errors; no connection: cvErrorNotConnected
    ThroughHandle,  // as Through, the missing connection seen as an invalid handle
  };
  std::optional<HRESULT> FtpSessionGate(VARIANT* error, Gate gate);
  // Reads a session property through the library, raising its error when it fails.
  HRESULT RaiseNow() { return RaiseError(0, true, false); }

  // GetFile and PutFile; TaskSuspend and TaskResume.
  HRESULT FileMethod(bool download, const VARIANT& localFile, const VARIANT& remoteFile, const VARIANT& offset,
                     VARIANT* error);
  HRESULT SuspendOrResume(bool suspend, const VARIANT& taskId, VARIANT* error);
  // AsyncGetFile and AsyncPutFile.
  HRESULT StartTask(bool get, const VARIANT& localFile, const VARIANT& remoteFile, const VARIANT& offset,
                    VARIANT* error);

  // Notifications of the libraries and of background tasks.
  void OnLibraryNotify(LPARAM lParam);
  void OnTaskNotify(uint32_t id, LPARAM lParam);
  void FireProgress(const std::u16string& name, uint64_t total, uint64_t copied);
  // OnTimeout and OnCancel, once per method call.
  void FireTimeoutOnce();
  void FireCancelOnce();

  FileTransferSettings s_;
  TaskIdList tasks_;
  LibHandle session_ = kInvalidLibHandle;
  uint32_t loginReplyCode_ = 0;
  bool firstRead_ = false;  // the next ReadDirectory reads the whole open listing first
  CallEvents call_;
  bool notifying_ = false;  // raising the error of a library notification
  std::shared_ptr<TaskNotifyTarget> taskTarget_;
};

// Opens a connection from the properties when the control has none, and closes it again
// when End runs (or at the latest on destruction), keeping the operation's error.
class ImplicitConnection {
 public:
  explicit ImplicitConnection(CFileTransfer& control) : c_(control) {}
  ~ImplicitConnection() { End(); }
  ImplicitConnection(const ImplicitConnection&) = delete;
  ImplicitConnection& operator=(const ImplicitConnection&) = delete;
  HRESULT Open();
  void End();

 private:
  CFileTransfer& c_;
  bool made_ = false;
};

}  // namespace filexfer
