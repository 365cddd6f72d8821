#include "ftp/ftp_state.h"

#include "core/state/named_state.h"

namespace cvftp {

namespace {

constexpr cvcore::StateName<FtpState> kNames[] = {
    {FtpState::Idle, "idle"},
    {FtpState::Connecting, "connecting"},
    {FtpState::Receiving, "receiving"},
    {FtpState::Sending, "sending"},
    {FtpState::Closing, "closing"},
    {FtpState::OpeningTransfer, "opening a transfer"},
    {FtpState::ClosingTransfer, "closing a transfer"},
    {FtpState::Downloading, "downloading"},
    {FtpState::Uploading, "uploading"},
    {FtpState::Listing, "listing"},
};

}  // namespace

FtpState SetState(FtpSession& s, FtpState next) noexcept {
  return cvcore::ChangeState(s.state, next, kNames, "FTP session", s.header.handle);
}

const char* StateName(FtpState state) noexcept { return cvcore::NameOf(kNames, state); }

}  // namespace cvftp
