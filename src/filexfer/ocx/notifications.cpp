// The control window's two notification messages turned into events: library events sent
// from inside a blocking library call, and task events posted by task threads.
#include <utility>

#include "core/errors/error_codes.h"
#include "core/task/task_types.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "platform/base/utf.h"

namespace filexfer {
namespace {

VARIANT I4(int32_t v) {
  VARIANT r{};
  r.vt = VT_I4;
  r.lVal = v;
  return r;
}

// Owns the string of a VT_BSTR argument for the length of one firing.
struct BstrArg {
  VARIANT v{};
  explicit BstrArg(const std::u16string& s) {
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(s.data(), UINT(s.size()));
  }
  ~BstrArg() { VariantClear(&v); }
  BstrArg(const BstrArg&) = delete;
  BstrArg& operator=(const BstrArg&) = delete;
};

// Library event bits the control registers for, per library.
struct EventBits {
  uint32_t timeout, cancel, command, progress;
};
constexpr EventBits kFtpEvents{64, 128, 256, 512};
constexpr EventBits kHttpEvents{16, 32, 64, 128};

// Copied over total as a whole percentage, at most 100; nothing to copy counts as done.
int32_t Percent(uint64_t total, uint64_t copied) {
  if (total == 0) return copied == 0 ? 100 : 0;
  const double p = double(copied) * 100.0 / double(total);
  return p >= 100.0 ? 100 : int32_t(p);
}

// A task's share done: a task without a size counts as complete.
int32_t TaskPercent(uint32_t size, uint32_t copied) { return size == 0 ? 100 : Percent(size, copied); }

}  // namespace

LRESULT CFileTransfer::OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) {
  if (msg == kLibraryNotifyMessage) {
    *handled = true;
    OnLibraryNotify(lParam);
    return 0;
  }
  if (msg == kTaskNotifyMessage) {
    *handled = true;
    OnTaskNotify(uint32_t(wParam), lParam);
    return 0;
  }
  *handled = false;
  return 0;
}

void CFileTransfer::FireProgress(const std::u16string& name, uint64_t total, uint64_t copied) {
  BstrArg file(name);
  VARIANT size{}, done{};
  if (total <= 0x7FFFFFFFu && copied <= 0x7FFFFFFFu) {
    size = I4(int32_t(total));
    done = I4(int32_t(copied));
  } else {
    size.vt = done.vt = VT_R8;
    size.dblVal = double(total);
    done.dblVal = double(copied);
  }
  Fire_OnProgress(file.v, size, done, I4(Percent(total, copied)));
}

void CFileTransfer::OnLibraryNotify(LPARAM lParam) {
  const uint32_t event = uint32_t(lParam) & 0xFFFFu;
  const uint32_t number = (uint32_t(lParam) >> 16) & 0xFFFFu;
  const bool ftp = s_.serverType == kServerFtp;
  if (!ftp && s_.serverType != kServerHttp) {
    if (number) RaiseError(kCvErrorBase | number, false, true);
    return;
  }
  const EventBits& bits = ftp ? kFtpEvents : kHttpEvents;
  if (number) {
    const bool ends = event == bits.timeout || event == bits.cancel;
    // A refused command inside a method is the method's to report: it fails with that
    // error, or it went on without the command and did not fail at all.
    if (!ends && call_.depth > 0) return;
    notifying_ = true;
    RaiseError(kCvErrorBase | number, false, true);
    notifying_ = false;
    if (!ends) return;
  }
  if (event == bits.timeout) {
    FireTimeoutOnce();
  } else if (event == bits.cancel) {
    FireCancelOnce();
  } else if (event == bits.command) {
    int32_t code = 0;
    get_ResultCode(&code);
    char text[2048] = {};
    if (ftp)
      FtpGetResultString(session_, text, sizeof text);
    else
      HttpGetResultString(session_, text);
    BstrArg reply(plat::ToUtf16(text));
    Fire_OnCommand(I4(code), reply.v);
  } else if (event == bits.progress) {
    if (ftp) {
      FtpTransferStatus status{};
      if (FtpGetTransferStatus(session_, &status) == -1) return;
      FireProgress(plat::ToUtf16(status.remoteFile), status.fileSize, status.bytesCopied);
    } else {
      HttpTransferStatus status{};
      if (HttpGetTransferStatus(session_, &status) == -1) return;
      FireProgress(s_.transferFileName, status.total, status.copied);
    }
  }
}

void CFileTransfer::FireTimeoutOnce() {
  if (call_.depth > 0 && std::exchange(call_.timeoutFired, true)) return;
  Fire_OnTimeout();
}

void CFileTransfer::FireCancelOnce() {
  if (call_.depth > 0 && std::exchange(call_.cancelFired, true)) return;
  Fire_OnCancel();
}

void CFileTransfer::OnTaskNotify(uint32_t id, LPARAM lParam) {
  if (tasks_.Count() < 1) return;
  bool listed = false;
  for (uint32_t held : tasks_.Ids()) listed |= held == id;
  if (!listed || EventsFrozen()) return;
  const uint32_t event = uint32_t(lParam) & 0xFFFFu;
  const int32_t type = tasks_.ServerType();
  if (event == cvcore::kTaskEventBegin) {
    Fire_OnTaskBegin(I4(int32_t(id)));
  } else if (event == cvcore::kTaskEventEnd) {
    uint32_t elapsed = 0, result = 0;
    if (type == kServerFtp)
      cvftp::TaskWait(id, 1000, &elapsed, &result);
    else if (type == kServerHttp)
      HttpTaskWait(id, 1000, &elapsed, &result);
    Fire_OnTaskEnd(I4(int32_t(id)), I4(int32_t(elapsed)), I4(int32_t(result)));
    TaskListRemove(id);
  } else if (event == cvcore::kTaskEventProgress || (type == kServerHttp && event == kHttpEvents.progress)) {
    // The HTTP library reports its tasks' progress with its own progress bit.
    uint32_t elapsed = 0, result = 0;
    int32_t completed = 100;
    if (type == kServerFtp) {
      cvftp::TaskWait(id, 0, &elapsed, &result);
      cvcore::TaskStatus status{};
      if (FtpTaskGetStatus(id, &status) != -1) completed = TaskPercent(status.fileSize, status.bytesCopied);
    } else if (type == kServerHttp) {
      HttpTaskWait(id, 0, &elapsed, &result);
      uint32_t status[5] = {};
      if (HttpGetTaskStatus(id, status) != -1) completed = TaskPercent(status[0], status[1]);
    }
    Fire_OnTaskRun(I4(int32_t(id)), I4(int32_t(elapsed)), I4(completed));
  }
}

}  // namespace filexfer
