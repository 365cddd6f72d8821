// Error reporting, tracing, version and the local adapter addresses of CFtpServer.
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/server_error_members.h"

namespace ftpsrvctl {

CV_SERVER_ERROR_ENTRIES(CFtpServer, Errors)

}  // namespace ftpsrvctl
