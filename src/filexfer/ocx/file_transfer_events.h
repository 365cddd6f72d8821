#pragma once
// Firing of the events of _IFileTransferEvents, one operation per event, each argument a
// VARIANT in declared order. Every operation returns S_OK.
#include "platform/com/com.h"

namespace filexfer {

enum FileTransferEventId : DISPID {
  kEventOnCancel = 1,
  kEventOnCommand = 2,
  kEventOnError = 3,
  kEventOnProgress = 4,
  kEventOnTaskBegin = 5,
  kEventOnTaskEnd = 6,
  kEventOnTaskRun = 7,
  kEventOnTimeout = 8,
};

// T provides FireEvent(DISPID, const VARIANT* args, UINT count).
template <class T>
class CProxy_IFileTransferEvents {
 public:
  HRESULT Fire_OnCancel() { return Fire(kEventOnCancel, {}); }
  HRESULT Fire_OnCommand(VARIANT resultCode, VARIANT resultString) {
    return Fire(kEventOnCommand, {resultCode, resultString});
  }
  HRESULT Fire_OnError(VARIANT errorCode, VARIANT description) { return Fire(kEventOnError, {errorCode, description}); }
  HRESULT Fire_OnProgress(VARIANT fileName, VARIANT fileSize, VARIANT bytesCopied, VARIANT percent) {
    return Fire(kEventOnProgress, {fileName, fileSize, bytesCopied, percent});
  }
  HRESULT Fire_OnTaskBegin(VARIANT taskId) { return Fire(kEventOnTaskBegin, {taskId}); }
  HRESULT Fire_OnTaskEnd(VARIANT taskId, VARIANT timeElapsed, VARIANT errorCode) {
    return Fire(kEventOnTaskEnd, {taskId, timeElapsed, errorCode});
  }
  HRESULT Fire_OnTaskRun(VARIANT taskId, VARIANT timeElapsed, VARIANT completed) {
    return Fire(kEventOnTaskRun, {taskId, timeElapsed, completed});
  }
  HRESULT Fire_OnTimeout() { return Fire(kEventOnTimeout, {}); }

 private:
  HRESULT Fire(DISPID id, std::initializer_list<VARIANT> args) {
    static_cast<T*>(this)->FireEvent(id, args.size() ? args.begin() : nullptr, UINT(args.size()));
    return S_OK;
  }
};

}  // namespace filexfer
