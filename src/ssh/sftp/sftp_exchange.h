#pragma once
// One request and its reply, as the SFTP operations use them: each helper sends, waits
// for the matching reply and decodes it (the decoder's error stays in the last error).
#include <cstdint>

#include "ssh/sftp/sftp_client.h"

namespace cvssh::sftp {

char* RealPath(SshSession* session, const char* path);
SftpHandle* Open(SshSession* session, const char* path, uint32_t flags);
SftpHandle* OpenDir(SshSession* session, const char* path);
// Sends CLOSE for the handle (which is freed) and reads its reply.
void Close(SshSession* session, SftpHandle* handle);
int32_t Stat(SshSession* session, const char* path, SftpAttributes* attributes);
int32_t Fstat(SshSession* session, const SftpHandle* handle, SftpAttributes* attributes);
// For a request answered by a STATUS: 1 when OK.
int32_t StatusExchange(SshSession* session, SftpRequest* request);
SftpNameList* ReadDir(SshSession* session, const SftpHandle* handle);

// Holds the SSH-layer lock for a scope.
struct Locked {
  Locked() { Lock(); }
  ~Locked() { Unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  static void Lock();
  static void Unlock();
};

}  // namespace cvssh::sftp
