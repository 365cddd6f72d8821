#pragma once
// The POP3 library as the control framework sees it.
#include "ocx/libraries.h"

namespace popctl {

extern const ocx::LibraryOps kPop3Library;
extern const ocx::LibraryOps* const kLibraries[1];

}  // namespace popctl
