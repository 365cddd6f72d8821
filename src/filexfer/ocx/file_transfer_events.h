#pragma once
// Firing of the events of _IFileTransferEvents, one operation per event, each argument a
// VARIANT in declared order. Every operation returns S_OK.
#include "platform/com/dispatch.h"

namespace filexfer {

namespace k = ::plat::com::p;  // the parameter kinds

// The events of _IFileTransferEvents: name, dispatch identifier, the arguments' names and kinds.
#define IFILETRANSFER_EVENTS(X)                                                             \
  X(OnCancel, 1, "")                                                                        \
  X(OnCommand, 2, "ResultCode,ResultString", k::Var, k::Var)                                \
  X(OnError, 3, "ErrorCode,Description", k::Var, k::Var)                                    \
  X(OnProgress, 4, "FileName,FileSize,BytesCopied,Percent", k::Var, k::Var, k::Var, k::Var) \
  X(OnTaskBegin, 5, "TaskId", k::Var)                                                       \
  X(OnTaskEnd, 6, "TaskId,TimeElapsed,ErrorCode", k::Var, k::Var, k::Var)                   \
  X(OnTaskRun, 7, "TaskId,TimeElapsed,Completed", k::Var, k::Var, k::Var)                   \
  X(OnTimeout, 8, "")

enum FileTransferEventId : DISPID { IFILETRANSFER_EVENTS(CV_EVENT_ID) };

CV_EVENT_INTERFACE(_IFileTransferEvents, IFILETRANSFER_EVENTS)

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
