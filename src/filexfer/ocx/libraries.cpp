#include "filexfer/ocx/libraries.h"

#include "ftp/ftp.h"
#include "http/http.h"

namespace filexfer {

const ocx::LibraryOps kFtpLibrary{"ftp", FtpAttach, FtpDetach, FtpGetLastError, FtpSetLastError, FtpGetErrorText};
const ocx::LibraryOps kHttpLibrary{"http", HttpAttach, HttpDetach, HttpGetLastError, HttpSetLastError,
                                   HttpGetErrorText};
const ocx::LibraryOps* const kLibraries[2] = {&kFtpLibrary, &kHttpLibrary};

}  // namespace filexfer
