#pragma once
// The two protocol libraries of this deliverable as the control framework sees them.
#include "ocx/libraries.h"

namespace filexfer {

extern const ocx::LibraryOps kFtpLibrary;
extern const ocx::LibraryOps kHttpLibrary;
// In attach order: FTP first, then HTTP.
extern const ocx::LibraryOps* const kLibraries[2];

}  // namespace filexfer
