// The deliverable's load and unload routines and its four exported entry points.
#include "ocx/module.h"
#include "time/ocx/time_client.h"
#include "time/time.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&timectl::kTimeClientDescriptor, &ocx::CreateObject<timectl::CTimeClient>},
};

__attribute__((constructor)) void ProcessAttach() {
  TimeProcessAttach(ocx::Module::ModuleHandle());
  ocx::Module::Instance().Init(kClasses);
}

__attribute__((destructor)) void ProcessDetach() {
  TimeProcessDetach();
  ocx::Module::Instance().Term();
}

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
