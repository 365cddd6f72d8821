#pragma once
// The FtpServer deliverable under the shared server control host.
#include "ftpsrv/ocx/guids.h"
#include "host/server_control_host.h"

namespace ftpsrvhost {

using namespace testhost;

enum Event {
  kOnAuthenticate = 1, kOnCommand, kOnConnect, kOnDisconnect, kOnDownload, kOnError, kOnExecute, kOnIdle,
  kOnLogin, kOnLogout, kOnResult, kOnStart, kOnStop, kOnTimeout, kOnUpload,
};

class FtpHost : public ServerControlHost {
 protected:
  FtpHost() : ServerControlHost(CV_FTPSRVCTL, u"Corvanetics.FtpServer", ftpsrvctl::DIID__IFtpServerEvents, kOnUpload) {}
};

}  // namespace ftpsrvhost
