// SFTP requests: identifiers, sending and receiving packets, matching replies, and the
// request builders.
#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/proto/channel.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_channel.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"
#include "ssh/util/tree234.h"

namespace {

constexpr uint32_t kFirstId = 256;

int CompareRequests(void* a, void* b) {
  uint32_t x = static_cast<SftpRequest*>(a)->id, y = static_cast<SftpRequest*>(b)->id;
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareIdKey(void* key, void* element) {
  uint32_t x = *static_cast<uint32_t*>(key), y = static_cast<SftpRequest*>(element)->id;
  return x < y ? -1 : x > y ? 1 : 0;
}

// Holds the SSH-layer lock for a scope.
struct LockScope {
  LockScope() { SshLock(); }
  ~LockScope() { SshUnlock(); }
  LockScope(const LockScope&) = delete;
  LockScope& operator=(const LockScope&) = delete;
};

// A request packet: type, a new identifier; the request comes back through *request.
SftpPacket* Begin(SshSession* s, uint32_t type, SftpRequest** request) {
  *request = SftpAllocRequest(s);
  SftpPacket* p = SftpPacketNew(type);
  SftpPutUint32(p, (*request)->id);
  return p;
}

void PutHandle(SftpPacket* p, const SftpHandle* handle) {
  SftpPutStringStart(p);
  SftpPutStringData(p, handle->bytes, handle->length);
}

SftpRequest* PathRequest(SshSession* s, uint32_t type, const char* path) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, type, &request);
  SftpPutString(p, path);
  SftpSendPacket(s, p);
  return request;
}

SftpRequest* HandleRequest(SshSession* s, uint32_t type, const SftpHandle* handle) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, type, &request);
  PutHandle(p, handle);
  SftpSendPacket(s, p);
  return request;
}

}  // namespace

int32_t SftpSendPacket(SshSession* s, SftpPacket* p) {
  LockScope lock;
  uint8_t length[4] = {uint8_t(p->length >> 24), uint8_t(p->length >> 16), uint8_t(p->length >> 8),
                       uint8_t(p->length)};
  // Length and body travel in one channel packet.
  SshHoldOutput(s);
  int32_t ok = SftpChannelWrite(s, length, 4) && SftpChannelWrite(s, p->data, p->length);
  SshReleaseOutput(s);
  SftpPacketFree(p);
  return ok;
}

bool SftpReplyReady(SshSession* s) {
  LockScope lock;
  const uint32_t available = SftpChannelAvailable(s);
  if (available < 4) return false;
  const uint8_t* b = SftpChannelPeek(s);
  const uint32_t length = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  // An oversized length is ready too: its receive reports it at once.
  return length > kSftpMaxPacketLength || available - 4 >= length;
}

SftpPacket* SftpReceivePacket(SshSession* s) {
  LockScope lock;
  uint8_t bytes[4];
  if (!SftpChannelRead(s, bytes, 4)) return nullptr;
  uint32_t length = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  if (length > kSftpMaxPacketLength || length == 0) {
    // The stream cannot be followed any further; the caller ends the session.
    SftpSetProtocolError(s, cvErrorInvalidPacketData);
    return nullptr;
  }
  SftpPacket* p = SftpPacketAlloc(length);
  if (!p) {
    SshSetLastError(s, cvErrorOutOfMemory);
    return nullptr;
  }
  if (!SftpChannelRead(s, p->data, length)) {
    SftpPacketFree(p);
    return nullptr;
  }
  p->type = p->data[0];
  p->mark = 1;
  return p;
}

SftpRequest* SftpAllocRequest(SshSession* s) {
  LockScope lock;
  CountedTree* requests = SftpGetRequestTree(s);
  if (!requests) {
    requests = TreeNew(CompareRequests);
    SftpSetRequestTree(s, requests);
  }
  // The first position whose identifier is not 256 + position: the smallest free one.
  int32_t low = -1, high = TreeCount(requests);
  while (high - low > 1) {
    int32_t mid = (low + high) / 2;
    const bool taken = static_cast<SftpRequest*>(TreeIndex(requests, mid))->id == kFirstId + uint32_t(mid);
    (taken ? low : high) = mid;
  }
  auto* r = static_cast<SftpRequest*>(cvssh::AllocOrDie(sizeof(SftpRequest)));
  *r = {kFirstId + 1 + uint32_t(low), 0, nullptr};
  TreeAdd(requests, r);
  return r;
}

SftpRequest* SftpFindRequest(SshSession* s, SftpPacket* packet) {
  uint32_t id;
  if (!SftpGetUint32(packet, &id)) {
    SftpSetProtocolError(s, cvErrorInvalidPacketData);
    SftpPacketFree(packet);
    return nullptr;
  }
  LockScope lock;
  CountedTree* requests = SftpGetRequestTree(s);
  auto* r = requests ? static_cast<SftpRequest*>(TreeFind(requests, &id, CompareIdKey)) : nullptr;
  if (!r || !r->registered) {
    SftpSetProtocolError(s, cvErrorInvalidPacketId);
    SftpPacketFree(packet);
    return nullptr;
  }
  TreeDelete(requests, r);
  return r;
}

void SftpRegisterRequest(SshSession*, SftpRequest* request) { request->registered = 1; }

void SftpFreeRequest(SftpRequest* request) { CheckedFree(request); }

void SftpForgetRequest(SshSession* s, SftpRequest* request) {
  LockScope lock;
  if (CountedTree* requests = SftpGetRequestTree(s)) TreeDelete(requests, request);
}

void SftpFreeRequests(SshSession* s) {
  if (!s->requests) return;
  while (void* r = TreeDeleteAt(s->requests, 0)) CheckedFree(r);
  TreeFree(s->requests);
  s->requests = nullptr;
}

SftpPacket* SftpAwaitReply(SshSession* s, SftpRequest* request, bool* matched) {
  SftpRegisterRequest(s, request);
  SftpPacket* reply = SftpReceivePacket(s);
  if (!reply) {
    // No answer: the request leaves the tree and the caller's decoder reports the failure.
    *matched = true;
    SftpForgetRequest(s, request);
    return nullptr;
  }
  SftpRequest* found = SftpFindRequest(s, reply);
  if (found == request) {
    *matched = true;
    return reply;
  }
  // The reply answers something else (or nothing): the exchange fails here.
  *matched = false;
  if (found) {
    SftpFreeRequest(found);
    SftpPacketFree(reply);
    SftpSetProtocolError(s, cvErrorInvalidPacketId);
  }
  SftpForgetRequest(s, request);
  SftpFreeRequest(request);
  return nullptr;
}

// ---- builders ----

SftpRequest* SftpRealPathSend(SshSession* s, const char* path) { return PathRequest(s, kSftpRealPath, path); }
SftpRequest* SftpOpenDirSend(SshSession* s, const char* path) { return PathRequest(s, kSftpOpenDir, path); }
SftpRequest* SftpRmdirSend(SshSession* s, const char* path) { return PathRequest(s, kSftpRmdir, path); }
SftpRequest* SftpRemoveSend(SshSession* s, const char* path) { return PathRequest(s, kSftpRemove, path); }
SftpRequest* SftpStatSend(SshSession* s, const char* path) { return PathRequest(s, kSftpStat, path); }

SftpRequest* SftpOpenSend(SshSession* s, const char* path, uint32_t flags) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, kSftpOpen, &request);
  SftpPutString(p, path);
  SftpPutUint32(p, flags);
  SftpAttributes none{};
  SftpPutAttributes(p, &none);
  SftpSendPacket(s, p);
  return request;
}

SftpRequest* SftpMkdirSend(SshSession* s, const char* path) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, kSftpMkdir, &request);
  SftpPutString(p, path);
  SftpAttributes none{};
  SftpPutAttributes(p, &none);
  SftpSendPacket(s, p);
  return request;
}

SftpRequest* SftpCloseSend(SshSession* s, SftpHandle* handle) {
  SftpRequest* request = HandleRequest(s, kSftpClose, handle);
  SftpFreeHandle(handle);
  return request;
}

SftpRequest* SftpRenameSend(SshSession* s, const char* oldPath, const char* newPath) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, kSftpRename, &request);
  SftpPutString(p, oldPath);
  SftpPutString(p, newPath);
  SftpSendPacket(s, p);
  return request;
}

SftpRequest* SftpFstatSend(SshSession* s, const SftpHandle* handle) { return HandleRequest(s, kSftpFstat, handle); }

SftpRequest* SftpSetStatSend(SshSession* s, const char* path, const SftpAttributes* attributes) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, kSftpSetStat, &request);
  SftpPutString(p, path);
  SftpPutAttributes(p, attributes);
  SftpSendPacket(s, p);
  return request;
}

SftpRequest* SftpReadSend(SshSession* s, const SftpHandle* handle, uint64_t offset, uint32_t length) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, kSftpRead, &request);
  PutHandle(p, handle);
  SftpPutUint64(p, offset);
  SftpPutUint32(p, length);
  SftpSendPacket(s, p);
  return request;
}

SftpRequest* SftpReadDirSend(SshSession* s, const SftpHandle* handle) {
  return HandleRequest(s, kSftpReadDir, handle);
}

SftpRequest* SftpWriteSend(SshSession* s, const SftpHandle* handle, uint64_t offset, const void* data,
                           uint32_t length) {
  SftpRequest* request;
  SftpPacket* p = Begin(s, kSftpWrite, &request);
  PutHandle(p, handle);
  SftpPutUint64(p, offset);
  SftpPutStringStart(p);
  SftpPutStringData(p, data, length);
  SftpSendPacket(s, p);
  return request;
}
