#pragma once
// The HttpServer deliverable under the shared server control host.
#include "httpsrv/ocx/guids.h"
#include "host/server_control_host.h"

namespace httpsrvhost {

using namespace testhost;

enum Event {
  kOnAuthenticate = 1, kOnCommand, kOnConnect, kOnDisconnect, kOnDownload, kOnError, kOnExecute, kOnIdle,
  kOnResult, kOnStart, kOnStop, kOnTimeout, kOnUpload,
};

class HttpHost : public ServerControlHost {
 protected:
  HttpHost() : ServerControlHost(CV_HTTPSRVCTL, u"Corvanetics.HttpServer", httpsrvctl::DIID__IHttpServerEvents, kOnUpload) {}
};

}  // namespace httpsrvhost
