#pragma once
// The raw form of the session's waits, for waits whose time-out is not an error (draining
// the command channel) or is reported differently (connecting).
#include <cstdint>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_session.h"

namespace cvftp {

struct RawWait {
  enum Status { Ready, Timeout, Canceled, Gone, Failed } status;
  short revents;  // of the socket, when Ready
};

// Waits up to timeoutMs for the socket's events or a cancel; sets no library error
// (Failed leaves the platform error for ReportWait).
RawWait WaitRaw(FtpSession& s, SOCKET socket, short events, uint32_t timeoutMs) noexcept;
// A wait's outcome as the library's error and events; success when Ready. timeoutEvent 0
// reports a time-out without an event.
Status ReportWait(FtpSession& s, RawWait w, uint32_t timeoutEvent) noexcept;

}  // namespace cvftp
