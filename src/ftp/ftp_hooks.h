#pragma once
// Call points of the connect, reconnect, transfer and command paths into the TLS
// channels (ftp_tls.cpp), the SFTP sessions handed to the SSH layer (placeholders that
// fail with 12201 until the SSH layer is bound) and the keep-alive thread.
#include <cstdint>

#include "core/errors/status.h"
#include "ftp/ftp_session.h"

struct SecSessionInfo;

namespace cvftp::hooks {

using cvcore::Result;
using cvcore::Status;

// ---- TLS (the command and the data channel) ----
// The client credentials of a channel.
Status TlsAcquireCredentials(FtpSession& s, FtpChannel channel = FtpChannel::Command) noexcept;
// The handshake on a channel, which then reads and writes through its TLS stage; on the
// command channel with explicit TLS it sends AUTH first and the session's last reply is
// AUTH's.
Status TlsHandshake(FtpSession& s, FtpChannel channel = FtpChannel::Command) noexcept;
// Validates the server certificate of a channel (12104 when it does not validate).
Status TlsVerifyServer(FtpSession& s, FtpChannel channel = FtpChannel::Command) noexcept;
// Protected channel I/O over the channel's stage: bytes sent or received, 0 when the server
// closed the channel.
Result<int32_t> TlsSend(FtpSession& s, FtpChannel channel, const char* data, uint32_t length) noexcept;
Result<int32_t> TlsRecv(FtpSession& s, FtpChannel channel, char* buffer, uint32_t length) noexcept;
// Close-notify on a channel and its stage dropped; on the command channel also the
// credentials, the negotiated session and the certificate store.
void TlsShutdown(FtpSession& s, FtpChannel channel) noexcept;
// Frees the session's channel streams (the session is being released).
void TlsRelease(FtpSession& s) noexcept;

// ---- SFTP ----
// Opens the SSH connection of an SFTP session.
Result<SshSession*> SftpConnect(FtpSession& s, const char* host, uint32_t port, const char* user, const char* password,
                                uint32_t timeout, uint32_t options, SecCredentials* credentials) noexcept;
void SftpDisconnect(FtpSession& s) noexcept;
// The SFTP layer's last result code.
Result<int32_t> SftpResultCode(FtpSession& s) noexcept;
// The length of its text; a failure when there is none because of an error.
Result<uint32_t> SftpResultString(FtpSession& s, char* buffer, uint32_t size) noexcept;
void SftpAbort(FtpSession& s) noexcept;
// The SSH session's security information.
Status SftpSecurityInfo(FtpSession& s, SecSessionInfo* info) noexcept;

// ---- keep-alive ----
// Turns keep-alive on (option 8) and counts the session; the thread starts with the first
// (12338 when it cannot).
Status EnableKeepAlive(FtpSession& s) noexcept;
void DisableKeepAlive(FtpSession& s) noexcept;

}  // namespace cvftp::hooks
