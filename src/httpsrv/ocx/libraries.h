#pragma once
// The HTTP server library as the control framework sees it.
#include "ocx/libraries.h"

namespace httpsrvctl {

extern const ocx::LibraryOps kHttpServerLibrary;
extern const ocx::LibraryOps* const kLibraries[1];

}  // namespace httpsrvctl
