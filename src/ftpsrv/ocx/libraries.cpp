#include "ftpsrv/ocx/libraries.h"

#include "ftpsrv/ftpsrv.h"
#include "sockets/inet.h"

namespace ftpsrvctl {
namespace {

int32_t Attach(LibVersionInfo* info) { return FtpServerAttach(nullptr, info); }
uint32_t LastError() { return FtpServerGetLastError(~0ull); }
void SetLastError(uint32_t code) { FtpServerSetLastError(~0ull, code); }
uint32_t ErrorText(uint32_t code, char* buffer) { return InetGetErrorText(code, buffer, 128); }

}  // namespace

const ocx::LibraryOps kFtpServerLibrary{"ftpsrv", Attach, FtpServerDetach, LastError, SetLastError, ErrorText};
const ocx::LibraryOps* const kLibraries[1] = {&kFtpServerLibrary};

}  // namespace ftpsrvctl
