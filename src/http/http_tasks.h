#pragma once
// The HTTP library's instance of the background task engine.
#include "core/task/task_engine.h"
#include "http/http_library.h"

namespace cvhttp {

struct TaskTraits {
  using Frame = cvhttp::Frame;
  using Request = HttpTaskRequest;
  using FinalStatus = HttpTransferStatus;
  static Frame& Library() { return cvhttp::Library(); }
  static cvcore::TaskTable<cvcore::TaskRecord<HttpTransferStatus>>& Table() { return Library().state().tasks; }
  static uint32_t RunTask(cvcore::TaskRun<HttpTransferStatus>& run, HttpTaskRequest& request);
  static void CancelSession(LibHandle handle) { HttpCancel(handle); }
  static void EndSession(LibHandle handle) { HttpDisconnect(handle); }
  static void ReleaseRequest(HttpTaskRequest& request);
};

using Tasks = cvcore::TaskEngine<TaskTraits>;

}  // namespace cvhttp
