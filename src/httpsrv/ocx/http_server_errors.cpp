// Last error, tracing, version and the local adapter addresses of CHttpServer.
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/server_error_members.h"

namespace httpsrvctl {

CV_SERVER_ERROR_ENTRIES(CHttpServer, Errors)

}  // namespace httpsrvctl
