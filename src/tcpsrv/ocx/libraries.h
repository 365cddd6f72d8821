#pragma once
// The socket library as the control framework sees it.
#include "ocx/libraries.h"

namespace tcpsrvctl {

extern const ocx::LibraryOps kSocketLibrary;
extern const ocx::LibraryOps* const kLibraries[1];

}  // namespace tcpsrvctl
