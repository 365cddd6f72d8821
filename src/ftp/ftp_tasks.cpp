// Background file transfers: a worker thread opens a session of its own with the settings
// of the caller's session, reports begin, progress and end through the task's callback,
// transfers one file and disconnects. Everything else (slots, waits, suspension, abort,
// the end of every task at the library's exit) is the task engine's.
#include "ftp/ftp_tasks.h"

#include <strings.h>

#include <cstring>

#include "core/tls/sec_tls.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_transfer.h"

namespace cvftp {

namespace {

using Run = cvcore::TaskRun<FtpTransferStatus>;

// What a worker takes over from the caller's session, read under the library lock.
struct Settings {
  uint32_t options = 0, port = 0, timeout = 0, passive = 0, autoType = 0, fileType = 0;
  uint32_t proxyType = 0, proxyPort = 0;
  char host[kFtpHostNameSize] = {};
  char user[kFtpCredentialSize] = {};
  char password[kFtpCredentialSize] = {};
  char account[kFtpCredentialSize] = {};
  char directory[kFtpDirectorySize] = {};
  char proxyHost[kFtpHostNameSize] = {};
  char proxyUser[kFtpCredentialSize] = {};
  char proxyPassword[kFtpCredentialSize] = {};
  SecCredentials* credentials = nullptr;

  Settings() = default;
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;
  ~Settings() {
    SecFreeCredentials(&credentials);
    explicit_bzero(password, sizeof password);
    explicit_bzero(proxyPassword, sizeof proxyPassword);
  }
};

bool TakeSettings(LibHandle handle, Settings& out) {
  std::lock_guard lk(Library().lock());
  const Result<FtpSession*> found = Library().Lookup(handle);
  if (!found.ok() || Gone(*found.value())) return false;
  const FtpSession* s = found.value();
  // Bits that describe a call in progress, not the connection.
  out.options = s->options & ~kOptInternalQuery;
  out.port = s->serverPort;
  out.timeout = s->timeout;
  out.passive = s->passive;
  out.autoType = s->autoFileType;
  out.fileType = s->fileType;
  out.proxyType = s->proxyType;
  out.proxyPort = s->proxyPort;
  CopyField(out.host, s->hostName);
  CopyField(out.user, s->user);
  CopyField(out.password, s->password);
  CopyField(out.account, s->account);
  CopyField(out.directory, s->currentDirectory);
  CopyField(out.proxyHost, s->proxyHost);
  CopyField(out.proxyUser, s->proxyUser);
  CopyField(out.proxyPassword, s->proxyPassword);
  if ((s->options & (kOptTls | kOptSftp)) && s->credentials) out.credentials = SecCopyCredentials(s->credentials);
  return true;
}

const char* OrNull(const char* text) { return Empty(text) ? nullptr : text; }

// The worker calls the library as a host does: through its public functions, whose
// failures it reads from its own thread's last error.
uint32_t ErrorOr(uint32_t fallback) {
  const uint32_t e = FtpGetLastError();
  return e ? e : fallback;
}

// The worker's own session, connected and logged in as the caller's is.
Result<LibHandle> Open(const Settings& c) {
  if (c.proxyType == kProxyNone) {
    const LibHandle h =
        FtpConnect(c.host, c.port, OrNull(c.user), OrNull(c.password), c.timeout, c.options, c.credentials);
    if (h == kInvalidLibHandle) return Status(ErrorOr(cvErrorConnectionFailed));
    return h;
  }
  const LibHandle h = FtpProxyConnect(c.proxyType, c.proxyHost, c.proxyPort, OrNull(c.proxyUser),
                                      OrNull(c.proxyPassword), c.host, c.timeout, c.options, c.credentials);
  if (h == kInvalidLibHandle) return Status(ErrorOr(cvErrorConnectionFailed));
  if (FtpLogin(h, OrNull(c.user), OrNull(c.password), OrNull(c.account)) == -1 &&
      cvcore::ErrorNumber(FtpGetLastError()) != cvcore::ErrorNumber(cvErrorAlreadyAuthenticated)) {
    const Status failed(ErrorOr(cvErrorConnectionFailed));
    FtpDisconnect(h);
    return failed;
  }
  return h;
}

// The session's progress events, relayed to the task's callback.
void RelayProgress(LibHandle handle, uint32_t event, uint32_t error, uintptr_t parameter) {
  Run::ProgressCallback()(handle, event, error, parameter);
}

// The task's file transfer on the worker's session.
Result<int32_t> Transfer(LibHandle h, const cvcore::TaskRequest& q) {
  Operation op(h);
  if (!op) return Status(ErrorOr(cvErrorInvalidHandle));
  FtpSession& s = *op.session();
  return q.opcode == cvcore::kTaskGetFile ? RetrieveFile(s, q.localFile, q.remoteFile, q.options, q.offset)
                                          : StoreFile(s, q.localFile, q.remoteFile, q.options, q.offset);
}

uint32_t StartFileTask(uint32_t opcode, LibHandle handle, const char* local, const char* remote, uint32_t options,
                       uint64_t offset, cvcore::TaskCallback callback, uintptr_t parameter) {
  {
    std::lock_guard lk(Library().lock());
    const Result<FtpSession*> found = Library().Lookup(handle);  // any thread may start a task
    if (!found.ok() || Gone(*found.value())) return Library().Finish(kSessionGone, 1u, 0u);
  }
  if (Empty(local) || Empty(remote)) return Library().Finish(Status(cvErrorInvalidFileName), 1u, 0u);
  const Result<cvcore::TaskRequest*> made = Tasks::NewRequest();
  if (!made.ok()) return Library().Finish(made.status(), 1u, 0u);
  cvcore::TaskRequest* q = made.value();
  q->opcode = opcode;
  q->session = handle;
  q->options = options;
  q->offset = offset;
  q->eventCallback = callback;
  q->callbackParameter = parameter;
  CopyField(q->localFile, local);
  CopyField(q->remoteFile, remote);
  return Tasks::TaskCreate(q);
}

}  // namespace

uint32_t TaskTraits::RunTask(Run& run, cvcore::TaskRequest& q) {
  Settings c;
  if (!TakeSettings(q.session, c)) {
    run.EndQuietly();
    return cvErrorInternalFailure;
  }
  const Result<LibHandle> opened = Open(c);
  SecFreeCredentials(&c.credentials);
  const LibHandle h = opened.ok() ? opened.value() : kInvalidLibHandle;
  run.SetSession(h);
  uint32_t result = opened.error();
  if (result == 0) {
    FtpSetPassiveMode(h, c.passive);
    if (c.directory[0] && FtpChangeDirectory(h, c.directory) == -1) result = ErrorOr(cvErrorInvalidServerResponse);
    if (result == 0 && FtpSetFileType(h, c.autoType ? 0 : c.fileType) == -1)
      result = ErrorOr(cvErrorInvalidServerResponse);
  }
  run.Begin(result);
  if (result != 0) return result;
  if (q.opcode != cvcore::kTaskGetFile && q.opcode != cvcore::kTaskPutFile) return cvErrorInternalFailure;
  FtpSetProgressCallback(h, &RelayProgress, run.ProgressParameter());
  const Result<int32_t> moved = Transfer(h, q);
  if (!moved.ok()) return moved.error();
  // A transfer command that opened no transfer moved no file either.
  if (moved.value() != 0) return cvErrorUnexpectedServerResponse;
  FtpGetTransferStatus(h, &run.finalStatus());
  return 0;
}

}  // namespace cvftp

using cvftp::Tasks;

uint32_t FtpStartGetTask(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::TaskCallback callback, uintptr_t parameter) {
  return cvftp::StartFileTask(cvcore::kTaskGetFile, handle, local, remote, options, offset, callback, parameter);
}

uint32_t FtpStartPutTask(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::TaskCallback callback, uintptr_t parameter) {
  return cvftp::StartFileTask(cvcore::kTaskPutFile, handle, local, remote, options, offset, callback, parameter);
}

uint32_t FtpAsyncGetFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::TaskCallback callback, uintptr_t parameter) {
  return FtpStartGetTask(handle, local, remote, options, offset, callback, parameter);
}

uint32_t FtpAsyncPutFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::TaskCallback callback, uintptr_t parameter) {
  return FtpStartPutTask(handle, local, remote, options, offset, callback, parameter);
}

int32_t FtpTaskAbort(uint32_t id, uint32_t timeoutMs) { return Tasks::TaskAbort(id, timeoutMs); }

uint32_t FtpTaskIdFromSession(LibHandle handle) { return Tasks::TaskIdFromSession(handle); }

int32_t FtpTaskGetStatus(uint32_t id, cvcore::TaskStatus* status) {
  return Tasks::TaskGetStatus(
      id, status,
      [](const FtpTransferStatus& f, cvcore::TaskStatus& o) {
        o.fileSize = cvcore::TaskSize32(f.fileSize);
        o.bytesCopied = cvcore::TaskSize32(f.bytesCopied);
        o.bytesPerSecond = f.bytesPerSecond;
        o.elapsedTime = f.elapsed;
        o.remainingTime = f.remaining;
        cvftp::CopyField(o.localFile, f.localFile);
        cvftp::CopyField(o.remoteFile, f.remoteFile);
      },
      [](LibHandle h, cvcore::TaskStatus& o) {
        FtpTransferStatus32 live{};
        if (FtpGetTransferStatus32(h, &live) == -1) return false;
        o.fileSize = live.fileSize;
        o.bytesCopied = live.bytesCopied;
        o.bytesPerSecond = live.bytesPerSecond;
        o.elapsedTime = live.elapsed;
        o.remainingTime = live.remaining;
        cvftp::CopyField(o.localFile, live.localFile);
        cvftp::CopyField(o.remoteFile, live.remoteFile);
        return true;
      });
}

namespace cvftp {

int32_t TaskWait(uint32_t id, uint32_t timeoutMs, uint32_t* elapsed, uint32_t* result) {
  return Tasks::TaskWait(id, timeoutMs, elapsed, result);
}
int32_t TaskWaitAll(const uint32_t* ids, int32_t count, uint32_t timeoutMs) {
  return Tasks::TaskWaitAll(ids, count, timeoutMs);
}
int32_t TaskSuspend(uint32_t id) { return Tasks::TaskSuspend(id); }
int32_t TaskResume(uint32_t id) { return Tasks::TaskResume(id); }
uint32_t TaskIsDone(uint32_t id) { return Tasks::TaskIsDone(id); }
uint32_t TaskGetError(uint32_t id) { return Tasks::TaskGetError(id); }
uint32_t TaskListRunning(uint32_t* ids) { return Tasks::TaskListRunning(ids); }
void TaskCleanupAll() { Tasks::TaskCleanupAll(); }

}  // namespace cvftp
