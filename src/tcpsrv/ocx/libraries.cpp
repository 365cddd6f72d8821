#include "tcpsrv/ocx/libraries.h"

#include "sockets/inet.h"

namespace tcpsrvctl {
namespace {

int32_t AttachSockets(LibVersionInfo* info) { return InetAttach(nullptr, info); }
uint32_t SocketErrorText(uint32_t code, char* buffer) { return InetGetErrorText(code, buffer, 128); }

}  // namespace

const ocx::LibraryOps kSocketLibrary{"sockets", AttachSockets, InetDetach, InetGetLastError, InetSetLastError,
                                     SocketErrorText};
const ocx::LibraryOps* const kLibraries[1] = {&kSocketLibrary};

}  // namespace tcpsrvctl
