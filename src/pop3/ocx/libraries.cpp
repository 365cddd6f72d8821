#include "pop3/ocx/libraries.h"

#include "pop3/pop3.h"

namespace popctl {

const ocx::LibraryOps kPop3Library{"pop3", Pop3Attach, Pop3Detach, Pop3GetLastError, Pop3SetLastError,
                                   Pop3GetErrorText};
const ocx::LibraryOps* const kLibraries[1] = {&kPop3Library};

}  // namespace popctl
