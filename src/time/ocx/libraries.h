#pragma once
// The time library as the control framework sees it.
#include "ocx/libraries.h"

namespace timectl {

extern const ocx::LibraryOps kTimeLibrary;
extern const ocx::LibraryOps* const kLibraries[1];

}  // namespace timectl
