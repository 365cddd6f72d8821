// Last error and accessors of the session record.
#include "ssh/proto/session.h"

#include "core/errors/error_codes.h"
#include "platform/base/last_error.h"

void SshSetLastError(SshSession* session, uint32_t code) {
  code = cvcore::FullErrorCode(code);
  if (session) session->lastError = code;
  plat::SetLastError(code);
}

uint32_t SshGetLastError(SshSession* session) { return session ? session->lastError : plat::GetLastError(); }

uint32_t SshGetTimeout(SshSession* session) {
  if (!session) return 0;
  return session->timeout < 1 ? 60 : session->timeout;
}

int32_t SshIsConnected(SshSession* session) { return session && session->socket ? 1 : 0; }

const char* SshGetHostKeyFingerprint(SshSession* session) { return session ? session->hostKeyFingerprint : nullptr; }

void SshFireEvent(SshSession* session, uint32_t code, SftpEventInfo* info) {
  if (session && session->eventCallback && (code & session->eventMask))
    session->eventCallback(session, code, info, session->eventParameter);
}
