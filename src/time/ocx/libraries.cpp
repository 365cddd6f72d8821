#include "time/ocx/libraries.h"

#include "time/time.h"

namespace timectl {
namespace {

int32_t AttachTime(LibVersionInfo* info) { return TimeAttach(nullptr, info); }

}  // namespace

const ocx::LibraryOps kTimeLibrary{"time", AttachTime, TimeDetach, TimeGetLastError, TimeSetLastError,
                                   TimeGetErrorText};
const ocx::LibraryOps* const kLibraries[1] = {&kTimeLibrary};

}  // namespace timectl
