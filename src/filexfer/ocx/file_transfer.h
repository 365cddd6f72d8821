#pragma once
// CFileTransfer: the FileTransfer control. It holds at most one library session, the
// property values that configure the next connection, the results of the last operation,
// the hidden window the libraries notify, and the ids of its background tasks.
#include <string>

#include "core/frame/lib_types.h"
#include "core/tls/sec_tls.h"
#include "filexfer/ocx/file_transfer_events.h"
#include "filexfer/ocx/file_transfer_iface.h"
#include "filexfer/ocx/task_list.h"
#include "ocx/control.h"

namespace filexfer {

extern const ocx::ControlDescriptor kFileTransferDescriptor;

// ServerType values.
inline constexpr int32_t kServerUndefined = 0;
inline constexpr int32_t kServerFtp = 1;
inline constexpr int32_t kServerHttp = 2;

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
  bool secure = false;
  uint32_t secureProtocol = 0;
  std::u16string serverDirectory, serverName;
  int32_t serverPort = 0;
  int32_t serverType = kServerUndefined;
  int32_t state = 0;
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
#define CV_FILETRANSFER_DECLARE(kind, name, id, ...) \
  ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CFileTransfer final : public ocx::Control<IFileTransfer>, public CProxy_IFileTransferEvents<CFileTransfer> {
 public:
  explicit CFileTransfer(IUnknown* outer);
  ~CFileTransfer() override = default;

  IFILETRANSFER_MEMBERS(CV_FILETRANSFER_DECLARE)

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

 private:
  bool Open() const { return session_ != kInvalidLibHandle; }
  void StartTrace();

  FileTransferSettings s_;
  TaskIdList tasks_;
  LibHandle session_ = kInvalidLibHandle;
  uint32_t loginReplyCode_ = 0;
};

}  // namespace filexfer
