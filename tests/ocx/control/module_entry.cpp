// The test control as an in-process server of its own.
#include "control/test_control.h"
#include "ocx/module.h"

namespace {

const ocx::ClassEntry kClasses[] = {{&testocx::kTestCtlDescriptor, &ocx::CreateObject<testocx::TestCtl>}};

__attribute__((constructor)) void Load() { ocx::Module::Instance().Init(kClasses); }

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
