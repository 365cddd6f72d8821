#include "httpsrv/ocx/libraries.h"

#include "httpsrv/httpsrv.h"
#include "sockets/inet.h"

namespace httpsrvctl {
namespace {

int32_t Attach(LibVersionInfo* info) { return HttpServerAttach(nullptr, info); }
uint32_t LastError() { return HttpServerGetLastError(~0ull); }
void SetLastError(uint32_t code) { HttpServerSetLastError(~0ull, code); }
uint32_t ErrorText(uint32_t code, char* buffer) { return InetGetErrorText(code, buffer, 128); }

}  // namespace

const ocx::LibraryOps kHttpServerLibrary{"httpsrv", Attach, HttpServerDetach, LastError, SetLastError, ErrorText};
const ocx::LibraryOps* const kLibraries[1] = {&kHttpServerLibrary};

}  // namespace httpsrvctl
