// The deliverable's load and unload routines and its four exported entry points.
#include "ocx/module.h"
#include "sockets/inet.h"
#include "tcpsrv/ocx/internet_server.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&tcpsrvctl::kInternetServerDescriptor, &ocx::CreateObject<tcpsrvctl::CInternetServer>},
};

__attribute__((constructor)) void ProcessAttach() {
  InetProcessAttach(ocx::Module::ModuleHandle());
  ocx::Module::Instance().Init(kClasses);
}

__attribute__((destructor)) void ProcessDetach() {
  InetProcessDetach();
  ocx::Module::Instance().Term();
}

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
