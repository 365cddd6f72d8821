#pragma once
// The FTP library's instance of the background task engine.
#include "core/task/task_engine.h"
#include "ftp/ftp.h"
#include "ftp/ftp_library.h"

namespace cvftp {

struct TaskTraits {
  using Frame = cvftp::Frame;
  using Request = cvcore::TaskRequest;
  using FinalStatus = FtpTransferStatus;
  static Frame& Library() { return cvftp::Library(); }
  static cvcore::TaskTable<cvcore::TaskRecord<FtpTransferStatus>>& Table() { return Library().state().tasks; }
  static uint32_t RunTask(cvcore::TaskRun<FtpTransferStatus>& run, cvcore::TaskRequest& request);
  static void CancelSession(LibHandle handle) { FtpCancel(handle); }
  static void EndSession(LibHandle handle) { FtpDisconnect(handle); }
};

using Tasks = cvcore::TaskEngine<TaskTraits>;

}  // namespace cvftp
