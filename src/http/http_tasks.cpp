// Background tasks of the HTTP library: the worker body (a session of its own built from
// the caller's session or from a URL, one transfer operation, begin/progress/end through
// the task's callback), the starting operations, abort, status and the engine's task
// functions under the library's names.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/tls/sec_tls.h"
#include "core/url/url.h"
#include "http/http_internal.h"
#include "http/http_tasks.h"

namespace cvhttp {

namespace {

using Run = cvcore::TaskRun<HttpTransferStatus>;

// What a task takes over from the session it copies, read under the library lock.
struct Snapshot {
  bool present = false;
  uint32_t options = 0, port = 0, proxyPort = 0, timeout = 0, version = 0, proxyType = 0;
  uint32_t authentication = 0, compression = 0;
  char host[kHttpHostNameSize] = {};
  char proxyHost[kHttpHostNameSize] = {};
  char proxyUser[kHttpCredentialSize] = {};
  char proxyPassword[kHttpCredentialSize] = {};
  SecCredentials* credentials = nullptr;

  Snapshot() = default;
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  ~Snapshot() {
    SecFreeCredentials(&credentials);
    explicit_bzero(proxyPassword, sizeof proxyPassword);
  }
};

void TakeSnapshot(LibHandle handle, Snapshot& snap) {
  // Without a session to copy, a task has what a new session has: the default timeout
  // (a silent server must not hold it for ever) and HTTP/1.1.
  snap.timeout = kDefaultTimeout;
  snap.version = kDefaultVersion;
  if (handle == kInvalidLibHandle) return;
  std::lock_guard lk(Library().lock());
  // Without a session the task has what a new session has.
  HttpClientSession* s = Library().Lookup(handle).value();
  if (!s) return;
  snap.present = true;
  snap.options = s->options;
  snap.port = s->port;
  snap.proxyPort = s->proxyPort;
  snap.timeout = s->timeout;
  snap.version = uint32_t(s->versionMajor) << 16 | s->versionMinor;
  snap.proxyType = s->proxyType;
  snap.authentication = s->authentication;
  snap.compression = s->compression;
  CopyField(snap.host, s->host);
  CopyField(snap.proxyHost, s->proxyHost);
  CopyField(snap.proxyUser, s->proxyUser);
  CopyField(snap.proxyPassword, s->proxyPassword);
  if ((s->options & kOptSecure) && s->credentials) snap.credentials = SecCopyCredentials(s->credentials);
}

// Where a task connects and what it asks for.
struct Target {
  std::string host;
  uint32_t port = 0;
  bool secure = false;
  std::string path;
  std::string user, password;
  bool authenticate = false;
  ~Target() {
    explicit_bzero(password.data(), password.size());
  }
};

// A URL decides host, port and scheme. With a session copied, a resource that is not a URL
// names a path on the copied session's server.
bool ResolveTarget(const char* resource, const Snapshot& snap, Target& t) {
  if (Empty(resource)) return false;
  if (snap.present && HttpGetUrlScheme(resource) == 0) {
    t.host = snap.host;
    t.port = snap.port;
    t.secure = snap.options & kOptSecure;
    t.path = resource[0] == '/' ? resource : std::string("/") + resource;
    return !t.host.empty();
  }
  if (!snap.present && !HttpIsValidUrl(resource)) return false;
  HttpUrl* url = nullptr;
  if (!HttpParseUrl(resource, kHttpUrlNormalize | kHttpUrlKeepQuery, &url)) return false;
  t.host = url->host ? url->host : "";
  t.port = url->port;
  t.secure = url->scheme == 2;
  t.path = url->path ? url->path : "";
  if (url->user || url->password) {
    t.authenticate = true;
    t.user = url->user ? url->user : "";
    t.password = url->password ? url->password : "";
  }
  if (url->password) explicit_bzero(url->password, std::strlen(url->password));
  UrlFree(url);
  return !t.host.empty() && !t.path.empty();
}

// The resource of a request: the form's action for a form post.
std::string ResourceOf(const HttpTaskRequest& q) {
  switch (q.opcode) {
    case kHttpTaskGetFile:
    case kHttpTaskPutFile:
      return q.secondName;
    case kHttpTaskPostForm: {
      std::lock_guard lk(Library().lock());
      const HttpForm* form = FindForm(q.form).value();
      return form && form->action ? form->action : "";
    }
    default:
      return q.firstName;
  }
}

LibHandle ConnectTask(const Target& t, const Snapshot& snap) {
  uint32_t options = snap.options & ~kOptSecure;
  if (t.secure) options |= kOptSecure;
  if (snap.proxyType == kProxyNone)
    return HttpConnect(t.host.c_str(), t.port, snap.timeout, options, snap.version, snap.credentials);
  return HttpProxyConnect(snap.proxyType, snap.proxyHost, snap.proxyPort, snap.proxyUser, snap.proxyPassword,
                          t.host.c_str(), t.port, snap.timeout, options, snap.version, snap.credentials);
}

// Progress of the task's session reaches the task's callback; an abort that came after the
// session was handed over but before its transfer began still stops the transfer.
struct ProgressRelay {
  Run* run;
  static int32_t Callback(LibHandle handle, uint32_t event, uint32_t error, uintptr_t parameter) {
    Run& run = *reinterpret_cast<ProgressRelay*>(parameter)->run;
    Run::ProgressCallback()(handle, event, error, run.ProgressParameter());
    if (run.Canceled()) HttpCancel(handle);
    return 0;
  }
};

int32_t RunOperation(LibHandle h, HttpTaskRequest& q, const char* path) {
  auto* block = static_cast<plat::HGLOBAL*>(q.data);
  switch (q.opcode) {
    case kHttpTaskGetFile:
      return HttpRetrieveFile(h, q.firstName, path, q.options, q.offset);
    case kHttpTaskGetData:
      return HttpRetrieveData(h, path, block, q.length, q.options);
    case kHttpTaskPutFile:
      return HttpStoreFile(h, q.firstName, path, q.options, q.offset);
    case kHttpTaskPutData:
      return HttpStoreData(h, path, q.data, q.dataLength);
    case kHttpTaskPostData:
      return HttpPostData(h, path, q.data, q.dataLength, q.resultBlock, q.length, q.options);
    case kHttpTaskPostJson:
      return HttpPostJson(h, path, q.text, block, q.length, q.options);
    case kHttpTaskPostXml:
      return HttpPostXml(h, path, q.text, block, q.length, q.options);
    default:
      return HttpFormPost(h, q.form, block, q.length, q.options);
  }
}

}  // namespace

uint32_t TaskTraits::RunTask(Run& run, HttpTaskRequest& q) {
  if (q.opcode < kHttpTaskGetFile || q.opcode > kHttpTaskPostForm) return cvErrorInternalFailure;
  Snapshot snap;
  TakeSnapshot(q.session, snap);
  Target target;
  const std::string resource = ResourceOf(q);
  if (!ResolveTarget(resource.c_str(), snap, target)) return cvErrorInvalidResource;

  const LibHandle h = ConnectTask(target, snap);
  SecFreeCredentials(&snap.credentials);
  // The task runs its session through the public calls, as a host would, and takes up
  // their failures from the last error.
  uint32_t error = h == kInvalidLibHandle ? ReportedError(cvErrorNotConnected).error() : 0;
  run.SetSession(h);
  if (!error) {
    if (target.authenticate && HttpSetAuthentication(h, 1, target.user.c_str(), target.password.c_str()) == -1) {
      const uint32_t refused = ReportedError().error();
      if ((refused & 0xFFFF) != (cvErrorAlreadyAuthenticated & 0xFFFF)) error = refused;
    }
    if (!error) HttpSetCompression(h, snap.compression);
  }
  run.Begin(error);
  if (error) return error;
  if (run.Canceled()) return cvErrorOperationCanceled;

  ProgressRelay relay{&run};
  if (q.opcode <= kHttpTaskPutData && !run.AbortedByExit())
    HttpSetProgressCallback(h, &ProgressRelay::Callback, reinterpret_cast<uintptr_t>(&relay));
  if (RunOperation(h, q, target.path.c_str()) == -1) {
    error = ReportedError().error();
  } else {
    HttpGetTransferStatus(h, &run.finalStatus());
  }
  HttpSetProgressCallback(h, nullptr, 0);
  return error;
}

void TaskTraits::ReleaseRequest(HttpTaskRequest& q) {
  if (q.text) {
    explicit_bzero(q.text, std::strlen(q.text));
    std::free(q.text);
  }
  q.text = nullptr;
}

namespace {

uint32_t StartFileTask(uint32_t opcode, LibHandle handle, const char* localFile, const char* resource,
                       uint64_t offset, HttpEventCallback callback, uintptr_t parameter) {
  if (handle != kInvalidLibHandle && !HttpFindSession(handle)) return 0;
  if (Empty(localFile)) return Finish(Status(cvErrorInvalidFileName), 0u, 0u);
  if (Empty(resource)) return Finish(Status(cvErrorInvalidResource), 0u, 0u);
  const Result<HttpTaskRequest*> made = Tasks::NewRequest();
  if (!made.ok()) return Finish(made.status(), 0u, 0u);
  HttpTaskRequest* q = made.value();
  q->opcode = opcode;
  q->session = handle;
  q->form = kInvalidLibHandle;
  q->offset = offset;
  q->eventCallback = callback;
  q->callbackParameter = parameter;
  CopyField(q->firstName, localFile);
  CopyField(q->secondName, resource);
  return Tasks::TaskCreate(q);
}

}  // namespace

}  // namespace cvhttp

using cvhttp::Tasks;

uint32_t HttpStartGetTask(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter) {
  return cvhttp::StartFileTask(kHttpTaskGetFile, handle, localFile, resource, offset, callback, parameter);
}

uint32_t HttpStartPutTask(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter) {
  return cvhttp::StartFileTask(kHttpTaskPutFile, handle, localFile, resource, offset, callback, parameter);
}

uint32_t HttpAsyncGetFile(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter) {
  return HttpStartGetTask(handle, localFile, resource, offset, callback, parameter);
}

uint32_t HttpAsyncPutFile(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter) {
  return HttpStartPutTask(handle, localFile, resource, offset, callback, parameter);
}

HttpTaskRequest* HttpNewTaskRequest() {
  const cvcore::Result<HttpTaskRequest*> made = Tasks::NewRequest();
  if (made.ok()) made.value()->session = made.value()->form = kInvalidLibHandle;
  return cvhttp::Finish(made, nullptr);
}

uint32_t HttpStartTask(HttpTaskRequest* request) { return Tasks::TaskCreate(request); }

int32_t HttpTaskAbort(uint32_t id) { return Tasks::TaskAbort(id, cvcore::kTaskSettleMs); }

int32_t HttpGetTaskStatus(uint32_t id, uint32_t* status) {
  struct Five {
    uint32_t v[5];
  };
  Five out{};
  const int32_t r = Tasks::TaskGetStatus(
      id, status ? &out : static_cast<Five*>(nullptr),
      [](const HttpTransferStatus& f, Five& o) {
        // A finished task keeps the low 32 bits of its sizes.
        o.v[0] = uint32_t(f.total);
        o.v[1] = uint32_t(f.copied);
        o.v[2] = f.rate;
        o.v[3] = f.elapsed;
        o.v[4] = f.remaining;
      },
      [](LibHandle h, Five& o) { return HttpGetTransferStatus32(h, o.v) == 0; });
  if (status) std::memcpy(status, out.v, sizeof out.v);
  return r;
}

int32_t HttpTaskWait(uint32_t id, uint32_t timeoutMs, uint32_t* elapsed, uint32_t* result) {
  return Tasks::TaskWait(id, timeoutMs, elapsed, result);
}
int32_t HttpTaskWaitAll(const uint32_t* ids, int32_t count, uint32_t timeoutMs) {
  return Tasks::TaskWaitAll(ids, count, timeoutMs);
}
int32_t HttpTaskSuspend(uint32_t id) { return Tasks::TaskSuspend(id); }
int32_t HttpTaskResume(uint32_t id) { return Tasks::TaskResume(id); }
uint32_t HttpTaskIsDone(uint32_t id) { return Tasks::TaskIsDone(id); }
uint32_t HttpTaskGetError(uint32_t id) { return Tasks::TaskGetError(id); }
uint32_t HttpTaskIdFromSession(LibHandle handle) { return Tasks::TaskIdFromSession(handle); }
uint32_t HttpTaskListRunning(uint32_t* ids) { return Tasks::TaskListRunning(ids); }
