// The deliverable's load and unload routines and its four exported entry points.
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/module.h"
#include "sockets/inet.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&ftpsrvctl::kFtpServerDescriptor, &ocx::CreateObject<ftpsrvctl::CFtpServer>},
};

__attribute__((constructor)) void ProcessAttach() {
  InetProcessAttach(ocx::Module::ModuleHandle());
  ocx::Module::Instance().Init(kClasses);
}

__attribute__((destructor)) void ProcessDetach() {
  ocx::Module::Instance().Term();
  InetProcessDetach();
}

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
