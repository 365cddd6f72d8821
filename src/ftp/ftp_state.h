#pragma once
// The session state's names and its one setter, which traces every change.
#include "ftp/ftp_session.h"

namespace cvftp {

// Stores next and returns the state it replaces.
FtpState SetState(FtpSession& s, FtpState next) noexcept;
const char* StateName(FtpState state) noexcept;

}  // namespace cvftp
