// Single request-and-reply exchanges.
#include "ssh/sftp/sftp_exchange.h"

#include "ssh/sftp/sftp.h"

namespace cvssh::sftp {

void Locked::Lock() { SshLock(); }
void Locked::Unlock() { SshUnlock(); }

char* RealPath(SshSession* s, const char* path) {
  SftpRequest* r = SftpRealPathSend(s, path);
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  return matched ? SftpRealPathReply(s, reply, r) : nullptr;
}

SftpHandle* Open(SshSession* s, const char* path, uint32_t flags) {
  SftpRequest* r = SftpOpenSend(s, path, flags);
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  return matched ? SftpHandleReply(s, reply, r) : nullptr;
}

SftpHandle* OpenDir(SshSession* s, const char* path) {
  SftpRequest* r = SftpOpenDirSend(s, path);
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  return matched ? SftpHandleReply(s, reply, r) : nullptr;
}

void Close(SshSession* s, SftpHandle* handle) {
  if (!handle) return;
  SftpRequest* r = SftpCloseSend(s, handle);
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  if (matched) SftpCloseReply(s, reply, r);
}

int32_t Stat(SshSession* s, const char* path, SftpAttributes* attributes) {
  SftpRequest* r = SftpStatSend(s, path);
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  return matched ? SftpStatReply(s, reply, r, attributes) : 0;
}

int32_t Fstat(SshSession* s, const SftpHandle* handle, SftpAttributes* attributes) {
  SftpRequest* r = SftpFstatSend(s, handle);
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  return matched ? SftpFstatReply(s, reply, r, attributes) : 0;
}

int32_t StatusExchange(SshSession* s, SftpRequest* r) {
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  return matched ? SftpStatusReply(s, reply, r) : 0;
}

SftpNameList* ReadDir(SshSession* s, const SftpHandle* handle) {
  SftpRequest* r = SftpReadDirSend(s, handle);
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, r, &matched);
  return matched ? SftpReadDirReply(s, reply, r) : nullptr;
}

}  // namespace cvssh::sftp
