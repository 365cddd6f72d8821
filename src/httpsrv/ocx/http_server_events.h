#pragma once
// The events of _IHttpServerEvents by dispatch identifier; every argument is a VARIANT.
#include "platform/com/com.h"

namespace httpsrvctl {

enum HttpServerEventId : DISPID {
  kEventOnAuthenticate = 1,
  kEventOnCommand = 2,
  kEventOnConnect = 3,
  kEventOnDisconnect = 4,
  kEventOnDownload = 5,
  kEventOnError = 6,
  kEventOnExecute = 7,
  kEventOnIdle = 8,
  kEventOnResult = 9,
  kEventOnStart = 10,
  kEventOnStop = 11,
  kEventOnTimeout = 12,
  kEventOnUpload = 13,
};

}  // namespace httpsrvctl
