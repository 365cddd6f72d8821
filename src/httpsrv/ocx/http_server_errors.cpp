// Last error, tracing, version and the local adapter addresses of CHttpServer.
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/server_error_members.h"

namespace httpsrvctl {

namespace {
struct Library {
  static void SetLastError(uint64_t server, uint32_t code) { HttpServerSetLastError(server, code); }
  static void StopTrace() { HttpServerStopTrace(); }
};
using Members = ocx::ServerErrorMembers<CHttpServer, Library>;
}  // namespace

CV_SERVER_ERROR_ENTRIES(CHttpServer, Members)

}  // namespace httpsrvctl
