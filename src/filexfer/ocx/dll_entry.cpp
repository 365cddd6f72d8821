// The deliverable's load and unload routines and its four exported entry points.
#include "filexfer/ocx/file_transfer.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "ocx/module.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&filexfer::kFileTransferDescriptor, &ocx::CreateObject<filexfer::CFileTransfer>},
};

__attribute__((constructor)) void ProcessAttach() {
  void* module = ocx::Module::ModuleHandle();
  FtpProcessAttach(module);
  HttpProcessAttach(module);
  ocx::Module::Instance().Init(kClasses);
}

__attribute__((destructor)) void ProcessDetach() {
  FtpProcessDetach();
  HttpProcessDetach();
  ocx::Module::Instance().Term();
}

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
