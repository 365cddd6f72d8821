// The deliverable's load and unload routines and its four exported entry points.
#include "httpsrv/ocx/http_server.h"
#include "ocx/module.h"
#include "sockets/inet.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&httpsrvctl::kHttpServerDescriptor, &ocx::CreateObject<httpsrvctl::CHttpServer>},
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
