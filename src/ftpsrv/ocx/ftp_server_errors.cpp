// Error reporting, tracing, version and the local adapter addresses of CFtpServer.
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/server_error_members.h"

namespace ftpsrvctl {

namespace {
struct Library {
  static void SetLastError(uint64_t server, uint32_t code) { FtpServerSetLastError(server, code); }
  static void StopTrace() { FtpServerStopTrace(); }
};
using Members = ocx::ServerErrorMembers<CFtpServer, Library>;
}  // namespace

CV_SERVER_ERROR_ENTRIES(CFtpServer, Members)

}  // namespace ftpsrvctl
