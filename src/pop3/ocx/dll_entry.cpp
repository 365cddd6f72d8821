// The deliverable's load and unload routines and its four exported entry points.

#include "ocx/module.h"
#include "ocx/module_exit.h"
#include "pop3/ocx/pop_client.h"
#include "pop3/pop3.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&popctl::kPopClientDescriptor, &ocx::CreateObject<popctl::CPopClient>},
};

void ProcessDetach() {
  Pop3ProcessDetach();
  ocx::Module::Instance().Term();
}

__attribute__((constructor)) void ProcessAttach() {
  Pop3ProcessAttach(ocx::Module::ModuleHandle());
  ocx::Module::Instance().Init(kClasses);
  // The library's state comes to life just now and is destroyed by an exit handler of this
  // module; registered after it, the detach runs first.
  ocx::AtModuleExit(ProcessDetach);
}

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
