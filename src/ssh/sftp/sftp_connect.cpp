// The SFTP session entry points: connect and disconnect, security information, events,
// abort and the FTP-style result of the last SFTP status.
#include <algorithm>
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "platform/base/tick.h"
#include "platform/net/wsa_errors.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/proto/settings.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"

namespace {

constexpr uint32_t kProtocolSsh1 = 256, kProtocolSsh2 = 512;

void CopyText(char* field, size_t size, const char* text) {
  if (!text) return;
  size_t n = strnlen(text, size - 1);
  std::memcpy(field, text, n);
  field[n] = 0;
}

void ApplyOptions(SshSettings& st, uint32_t options) {
  if (options & 0x8) st.TcpKeepAlive = 1;
  // Option bits that force server work-arounds on (switches counted from 1).
  static constexpr struct {
    uint32_t bit;
    int switchNumber;
  } kWorkarounds[] = {{0x10, 3}, {0x20, 2}, {0x40, 8}, {0x80, 7}, {0x100, 4}};
  for (const auto& w : kWorkarounds)
    if (options & w.bit) st.CompatSwitches[w.switchNumber - 1] = 0;
  if (options & 0x20000000) {
    const uint32_t withoutAes[6] = {1, 5, 4, 0, 0, 0};
    std::memcpy(st.CipherOrder, withoutAes, sizeof withoutAes);
  }
}

// -1 when the mask names no known protocol choice.
int32_t ProtocolPreference(const SecCredentials* credentials) {
  if (!credentials) return kSshOnly2;
  switch (credentials->protocolMask & ~0x1Fu) {
    case 0:
    case kProtocolSsh2:
      return kSshOnly2;
    case kProtocolSsh1:
      return kSshOnly1;
    case kProtocolSsh1 | kProtocolSsh2:
      return kSshPrefer2;
    default:
      return -1;
  }
}

struct StatusText {
  int32_t code;
  const char* text;
};

StatusText ResultFor(int32_t status) {
  switch (status) {
    case 0: return {200, "Command okay"};
    case 1: return {226, "Closing data connection"};
    case 2: return {550, "File not found"};
    case 3: return {550, "Access denied"};
    case 4: return {500, "General failure"};
    case 5: return {503, "Invalid response from server"};
    case 6: return {530, "Connection closed"};
    case 7: return {530, "Connection aborted"};
    default: return {502, "Unrecognized command"};
  }
}

}  // namespace

SshSession* SftpConnect(const char* host, uint32_t port, const char* user, const char* password,
                        uint32_t timeoutSeconds, uint32_t options, const SecCredentials* credentials,
                        uint32_t* error) {
  uint32_t ignored;
  if (!error) error = &ignored;
  *error = 0;
  if (!host || !*host) {
    *error = plat::WSAHOST_NOT_FOUND;
    SshSetLastError(nullptr, plat::WSAHOST_NOT_FOUND);
    return nullptr;
  }
  SshSettings st;
  SshSettingsSetDefaults(&st);
  CopyText(st.HostName, sizeof st.HostName, host);
  CopyText(st.UserName, sizeof st.UserName, user);
  CopyText(st.Password, sizeof st.Password, password);
  st.Port = port ? port : 22;
  st.TimeoutSeconds = timeoutSeconds;
  ApplyOptions(st, options);
  int32_t preference = ProtocolPreference(credentials);
  if (preference < 0) {
    explicit_bzero(st.Password, sizeof st.Password);
    *error = cvErrorInvalidProtocol;
    SshSetLastError(nullptr, *error);
    return nullptr;
  }
  st.ProtocolPreference = uint32_t(preference);

  SshSession* s = nullptr;
  char* canonical = nullptr;
  uint32_t r = SshSessionCreate(&s, &st, host, int32_t(st.Port), &canonical, int32_t(st.TcpKeepAlive));
  explicit_bzero(st.Password, sizeof st.Password);
  if (r != 0) {
    *error = kCvErrorBase | (r & 0xFFFF);
    CheckedFree(canonical);
    SshSessionFree(s);
    SshSetLastError(nullptr, *error);
    return nullptr;
  }
  const uint32_t start = plat::GetTickCount();
  const uint32_t limit = timeoutSeconds * 1000u;
  while (SshIsConnected(s) && !SshIsReady(s)) {
    // Each wait ends at the connect's own deadline, so a timed-out connect lasts the
    // timeout once.
    const uint32_t elapsed = plat::GetTickCount() - start;
    const int32_t pumped =
        timeoutSeconds ? (elapsed < limit ? SshPumpEventsWithin(s, limit - elapsed) : 0) : SshPumpEvents(s);
    if (pumped < 0) {
      *error = SshGetLastError(s);
      CheckedFree(canonical);
      // A canceled connect ends now, without waiting for the server to close.
      if (cvcore::IsCanceled(*error)) SftpDropSession(s);
      else SftpCloseSession(s);
      SshSetLastError(nullptr, *error);
      return nullptr;
    }
    if (timeoutSeconds && plat::GetTickCount() - start >= limit && SshIsConnected(s) && !SshIsReady(s)) {
      *error = cvErrorOperationTimeout;
      CheckedFree(canonical);
      SftpDropSession(s);
      SshSetLastError(nullptr, *error);
      return nullptr;
    }
  }
  CheckedFree(canonical);
  if (!SshIsConnected(s)) {
    *error = SshGetLastError(s) ? SshGetLastError(s) : cvErrorConnectionClosed;
    SshSessionFree(s);
    SshSetLastError(nullptr, *error);
    return nullptr;
  }
  // SFTP is request and reply: small packets held back for an acknowledgement would
  // stall every exchange on the peer's delayed ACK, so they leave at once.
  int32_t on = 1;
  SockSetOption(SshGetSocketHandle(s), plat::kIpProtoTcp, plat::kTcpNoDelay, &on);
  if (!SftpStart(s)) {
    *error = SshGetLastError(s);
    SftpCloseSession(s);
    SshSetLastError(nullptr, *error);
    return nullptr;
  }
  return s;
}

int32_t SftpDisconnect(SshSession* s) {
  if (!s) return 0;
  SftpCloseSession(s);
  return 1;
}

SOCKET SftpGetSocket(SshSession* s) { return SshGetSocketHandle(s); }

const char* SftpGetWorkingDirectory(SshSession* s) { return SftpCurrentDirectory(s); }

int32_t SftpGetSecurityInfo(SshSession* s, SecSessionInfo* info) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return 0;
  }
  if (!info || info->size < sizeof(SecSessionInfo)) {
    SshSetLastError(s, cvErrorInvalidParameter);
    return 0;
  }
  std::memset(static_cast<void*>(info), 0, sizeof(SecSessionInfo));  // only what we fill: the size is the caller's claim
  info->size = sizeof(SecSessionInfo);
  uint32_t version = SshGetProtocolVersion(s);
  info->protocol = version == 1 ? kProtocolSsh1 : version == 2 ? kProtocolSsh2 : 4096;
  info->cipher = SshGetCipherType(s);
  info->cipherStrength = SshGetCipherBits(s);
  info->hash = SshGetMacType(s);
  info->hashStrength = SshGetMacBits(s);
  info->keyExchange = SshGetKeyExchangeType(s);
  info->certificateStatus = 0;
  // The digest part of "type bits digest", or the whole text when it is not in that form.
  if (char* text = s->hostKeyFingerprint) {
    char* first = std::strchr(text, ' ');
    char* second = first ? std::strchr(first + 1, ' ') : nullptr;
    info->hostKeyFingerprint = second ? second + 1 : text;
  }
  return 1;
}

int32_t SftpEnableEvents(SshSession* s, SshEventCallback callback, uint32_t parameter) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return 0;
  }
  SshSetEventCallback(s, callback, parameter);
  SshFireEvent(s, kSftpEventConnected, nullptr);
  return 1;
}

int32_t SftpAbort(SshSession* s) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return 0;
  }
  SshSetAbort(s);
  return 1;
}

int32_t SftpGetResultCode(SshSession* s) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return -1;
  }
  return ResultFor(SftpGetStatus(s)).code;
}

int32_t SftpGetResultString(SshSession* s, char* buffer, uint32_t size) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return 0;
  }
  if (!buffer) {
    SshSetLastError(s, cvErrorInvalidParameter);
    return 0;
  }
  if (size == 0) return 0;
  const char* text = ResultFor(SftpGetStatus(s)).text;
  size_t n = std::min(std::strlen(text), size_t(size - 1));
  std::memcpy(buffer, text, n);
  buffer[n] = 0;
  return int32_t(n);
}

uint32_t SftpGetLastError(SshSession* s) { return SshGetLastError(s); }

void SftpSetLastError(SshSession* s, uint32_t code) { SshSetLastError(s, code); }
