#pragma once
// The FTP server library as the control framework sees it.
#include "ocx/libraries.h"

namespace ftpsrvctl {

extern const ocx::LibraryOps kFtpServerLibrary;
extern const ocx::LibraryOps* const kLibraries[1];

}  // namespace ftpsrvctl
