// The deliverable's load and unload routines and its four exported entry points.

#include "filexfer/ocx/file_transfer.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "ocx/module.h"
#include "ocx/module_exit.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&filexfer::kFileTransferDescriptor, &ocx::CreateObject<filexfer::CFileTransfer>},
};

void ProcessDetach() {
  FtpProcessDetach();
  HttpProcessDetach();
  ocx::Module::Instance().Term();
}

__attribute__((constructor)) void ProcessAttach() {
  void* module = ocx::Module::ModuleHandle();
  FtpProcessAttach(module);
  HttpProcessAttach(module);
  ocx::Module::Instance().Init(kClasses);
  // The libraries' state objects came to life just now and are destroyed by exit handlers
  // of this module; registered after them, the detach runs before them (a destructor
  // function would run after them, on destroyed state).
  ocx::AtModuleExit(ProcessDetach);
}

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
