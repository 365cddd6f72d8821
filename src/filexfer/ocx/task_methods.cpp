// Background transfers: starting them, and controlling and observing the tasks of the
// library of the current server type.
#include "core/errors/error_codes.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/method_frame.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "ocx/variant_args.h"

namespace filexfer {
namespace {

std::string U8(const std::u16string& s) { return ocx::Utf16ToUtf8(s); }

// Holds the control's events back for the length of a blocking task call.
class FrozenEvents {
 public:
  explicit FrozenEvents(IOleControl& control) : c_(control) { c_.FreezeEvents(1); }
  ~FrozenEvents() { c_.FreezeEvents(0); }
  FrozenEvents(const FrozenEvents&) = delete;
  FrozenEvents& operator=(const FrozenEvents&) = delete;

 private:
  IOleControl& c_;
};

// The task id argument: the given one, or def when missing.
HRESULT TaskIdArgument(const VARIANT& arg, uint32_t def, uint32_t* id) {
  if (ocx::IsMissingArgument(arg)) {
    *id = def;
    return S_OK;
  }
  return ocx::VariantToUInt32(&arg, id);
}

}  // namespace

HRESULT CFileTransfer::AsyncGetFile(VARIANT localFile, VARIANT remoteFile, VARIANT offset, VARIANT* error) {
  return StartTask(true, localFile, remoteFile, offset, error);
}

HRESULT CFileTransfer::AsyncPutFile(VARIANT localFile, VARIANT remoteFile, VARIANT offset, VARIANT* error) {
  return StartTask(false, localFile, remoteFile, offset, error);
}

HRESULT CFileTransfer::StartTask(bool get, const VARIANT& localFile, const VARIANT& remoteFile,
                                 const VARIANT& offset, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (!Open()) return RaiseError(cvErrorNotConnected, s_.throwError, true);
  std::u16string local, remote;
  if (HRESULT hr = TextArgument(localFile, &local); FAILED(hr)) return hr;
  if (HRESULT hr = TextArgument(remoteFile, &remote, s_.resource.c_str()); FAILED(hr)) return hr;
  uint32_t from = 0;
  if (HRESULT hr = ocx::VariantToUInt32(&offset, &from); FAILED(hr)) return hr;

  taskTarget_->window.store(Window());
  taskTarget_->serverType.store(tasks_.ServerType());
  const uintptr_t cookie = taskTarget_->cookie;
  uint32_t id = 0;
  if (s_.serverType == kServerFtp) {
    const uint32_t options = s_.appendFile ? 1 : 0;
    id = get ? FtpAsyncGetFile(session_, U8(local).c_str(), U8(remote).c_str(), options, from, &TaskEventCallback,
                               cookie)
             : FtpAsyncPutFile(session_, U8(local).c_str(), U8(remote).c_str(), options, from, &TaskEventCallback,
                               cookie);
  } else {
    id = get ? HttpAsyncGetFile(session_, U8(local).c_str(), U8(remote).c_str(), from, &TaskEventCallback, cookie)
             : HttpAsyncPutFile(session_, U8(local).c_str(), U8(remote).c_str(), from, &TaskEventCallback, cookie);
  }
  if (id != 0) {
    TaskListAdd(id);
    return S_OK;
  }
  const uint32_t code = CurrentLibrary().getLastError();
  return code == 0 ? S_OK : Fail(error, code);
}

HRESULT CFileTransfer::TaskAbort(VARIANT taskId, VARIANT milliseconds, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  const bool all = ocx::IsMissingArgument(taskId);
  uint32_t id = 0, wait = 0;
  if (!all)
    if (HRESULT hr = ocx::VariantToUInt32(&taskId, &id); FAILED(hr)) return hr;
  if (HRESULT hr = ocx::VariantToUInt32(&milliseconds, &wait); FAILED(hr)) return hr;
  FrozenEvents frozen(*this);
  if (all) {
    // Ended tasks leave the list through their end notification.
    for (uint32_t held : tasks_.Ids()) {
      if (s_.serverType == kServerFtp)
        FtpTaskAbort(held, 0);
      else if (s_.serverType == kServerHttp)
        HttpTaskAbort(held);
    }
    return S_OK;
  }
  int32_t r = 1;
  if (s_.serverType == kServerFtp)
    r = FtpTaskAbort(id, wait);
  else if (s_.serverType == kServerHttp)
    r = HttpTaskAbort(id);
  return r == 0 ? Fail(error) : S_OK;
}

HRESULT CFileTransfer::TaskDone(VARIANT taskId, VARIANT* result) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(nullptr);
  if (result) {
    VariantClear(result);
    result->vt = VT_BOOL;
    result->boolVal = VARIANT_FALSE;
  }
  uint32_t id = 0;
  if (HRESULT hr = TaskIdArgument(taskId, tasks_.LastId(), &id); FAILED(hr)) return hr;
  uint32_t done = 0;
  if (s_.serverType == kServerFtp)
    done = cvftp::TaskIsDone(id);
  else if (s_.serverType == kServerHttp)
    done = HttpTaskIsDone(id);
  if (result && done == 1) result->boolVal = VARIANT_TRUE;
  return S_OK;
}

HRESULT CFileTransfer::TaskSuspend(VARIANT taskId, VARIANT* error) {
  return SuspendOrResume(true, taskId, error);
}

HRESULT CFileTransfer::TaskResume(VARIANT taskId, VARIANT* error) { return SuspendOrResume(false, taskId, error); }

HRESULT CFileTransfer::SuspendOrResume(bool suspend, const VARIANT& taskId, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  uint32_t id = 0;
  if (HRESULT hr = TaskIdArgument(taskId, tasks_.LastId(), &id); FAILED(hr)) return hr;
  int32_t r = 1;
  if (s_.serverType == kServerFtp)
    r = suspend ? cvftp::TaskSuspend(id) : cvftp::TaskResume(id);
  else if (s_.serverType == kServerHttp)
    r = suspend ? HttpTaskSuspend(id) : HttpTaskResume(id);
  if (r == 0 && CurrentLibrary().getLastError() != 0) return Fail(error);
  return S_OK;
}

HRESULT CFileTransfer::TaskWait(VARIANT taskId, VARIANT milliseconds, VARIANT* timeElapsed, VARIANT* taskError,
                                VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  const bool all = ocx::IsMissingArgument(taskId);
  uint32_t id = 0, wait = 0xFFFFFFFFu;
  if (!all)
    if (HRESULT hr = ocx::VariantToUInt32(&taskId, &id); FAILED(hr)) return hr;
  if (!ocx::IsMissingArgument(milliseconds))
    if (HRESULT hr = ocx::VariantToUInt32(&milliseconds, &wait); FAILED(hr)) return hr;
  auto given = [](VARIANT* v) { return v && v->vt != VT_EMPTY && v->vt != VT_ERROR; };
  if (given(timeElapsed))
    if (HRESULT hr = ocx::SetVariantLong(timeElapsed, 0); FAILED(hr)) return hr;
  if (given(taskError))
    if (HRESULT hr = ocx::SetVariantLong(taskError, 0); FAILED(hr)) return hr;

  uint32_t code = 0;
  HRESULT stored = S_OK;
  {
    FrozenEvents frozen(*this);
    const bool ftp = s_.serverType == kServerFtp, http = s_.serverType == kServerHttp;
    if (!all) {
      uint32_t elapsed = 0, result = 0;
      int32_t r = 1;
      if (ftp)
        r = cvftp::TaskWait(id, wait, &elapsed, &result);
      else if (http)
        r = HttpTaskWait(id, wait, &elapsed, &result);
      if (r == 0) code = CurrentLibrary().getLastError();
      if (timeElapsed) stored = ocx::SetVariantLong(timeElapsed, int32_t(elapsed));
      if (SUCCEEDED(stored) && taskError) stored = ocx::SetVariantLong(taskError, int32_t(result));
    } else if (tasks_.Count() >= 1 && (ftp || http)) {
      const auto ids = tasks_.Ids();
      const int32_t r = ftp ? cvftp::TaskWaitAll(ids.data(), int32_t(ids.size()), wait)
                            : HttpTaskWaitAll(ids.data(), int32_t(ids.size()), wait);
      if (r == 0) code = CurrentLibrary().getLastError();
    }
  }
  TaskListPrune();
  if (FAILED(stored)) return stored;
  return code != 0 ? Fail(error, code) : S_OK;
}

}  // namespace filexfer
