#pragma once
// The events of _IFtpServerEvents by dispatch identifier; every argument is a VARIANT.
#include "platform/com/com.h"

namespace ftpsrvctl {

enum FtpServerEventId : DISPID {
  kEventOnAuthenticate = 1,
  kEventOnCommand = 2,
  kEventOnConnect = 3,
  kEventOnDisconnect = 4,
  kEventOnDownload = 5,
  kEventOnError = 6,
  kEventOnExecute = 7,
  kEventOnIdle = 8,
  kEventOnLogin = 9,
  kEventOnLogout = 10,
  kEventOnResult = 11,
  kEventOnStart = 12,
  kEventOnStop = 13,
  kEventOnTimeout = 14,
  kEventOnUpload = 15,
};

}  // namespace ftpsrvctl
