// Pipelined download and upload queues: requests go out ahead of the replies, replies
// come back in any order, and downloaded data is still handed out in file order.
#include <algorithm>

#include "core/errors/error_codes.h"
#include "ssh/proto/channel.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"

namespace {

constexpr uint32_t kPipelinedOutstanding = 1048576, kSingleOutstanding = 8192;
constexpr uint32_t kPipelinedBlock = 32768, kSingleBlock = 8192;

bool Pipelined(const SftpTransferQueue* q) { return q->session->settings.CompatSwitches[8] != 0; }

SftpTransferQueue* NewQueue(SshSession* s, SftpHandle* handle, uint64_t offset) {
  auto* q = static_cast<SftpTransferQueue*>(cvssh::AllocOrDie(sizeof(SftpTransferQueue)));
  *q = {};
  q->session = s;
  q->nextOffset = offset;
  q->fileEnd = UINT64_MAX;
  q->handle = handle;
  q->maxOutstanding = Pipelined(q) ? kPipelinedOutstanding : kSingleOutstanding;
  return q;
}

SftpQueueEntry* Append(SftpTransferQueue* q, uint32_t length, bool withBuffer) {
  auto* e = static_cast<SftpQueueEntry*>(cvssh::AllocOrDie(sizeof(SftpQueueEntry)));
  *e = {};
  e->buffer = withBuffer ? static_cast<uint8_t*>(cvssh::AllocOrDie(length)) : nullptr;
  e->length = length;
  e->offset = q->nextOffset;
  e->previous = q->last;
  if (q->last)
    q->last->next = e;
  else
    q->first = e;
  q->last = e;
  return e;
}

void Unlink(SftpTransferQueue* q, SftpQueueEntry* e) {
  (e->previous ? e->previous->next : q->first) = e->next;
  (e->next ? e->next->previous : q->last) = e->previous;
  q->outstanding -= std::min(q->outstanding, e->length);
}

// The request a reply answers, with its queue entry; null when it is not one of ours.
SftpRequest* Match(SftpTransferQueue* q, SftpPacket* packet, SftpQueueEntry** entry) {
  SftpRequest* r = SftpFindRequest(q->session, packet);
  if (!r) return nullptr;
  *entry = static_cast<SftpQueueEntry*>(r->userData);
  if (!*entry) {
    SftpFreeRequest(r);
    SftpPacketFree(packet);
    SftpSetProtocolError(q->session, cvErrorInvalidPacketId);
    return nullptr;
  }
  (*entry)->request = nullptr;
  return r;
}

}  // namespace

SftpTransferQueue* SftpDownloadStart(SshSession* s, SftpHandle* handle, uint64_t offset) {
  SftpTransferQueue* q = NewQueue(s, handle, offset);
  SftpDownloadQueue(q);
  return q;
}

void SftpDownloadQueue(SftpTransferQueue* q) {
  const uint32_t block = Pipelined(q) ? kPipelinedBlock : kSingleBlock;
  // The burst of requests leaves together.
  SshLock();
  SshHoldOutput(q->session);
  while (q->outstanding < q->maxOutstanding && !q->end && !q->error) {
    SftpQueueEntry* e = Append(q, block, true);
    SftpRequest* r = SftpReadSend(q->session, q->handle, e->offset, block);
    SftpRegisterRequest(q->session, r);
    r->userData = e;
    e->request = r;
    q->nextOffset += block;
    q->outstanding += block;
  }
  SshReleaseOutput(q->session);
  SshUnlock();
}

int32_t SftpDownloadReply(SftpTransferQueue* q, SftpPacket* packet) {
  if (!packet) {
    q->error = 1;
    return -1;
  }
  SftpQueueEntry* e;
  SftpRequest* r = Match(q, packet, &e);
  // A reply to nothing we asked for is a protocol error: waiting on would only end at
  // the time-out.
  if (!r) {
    q->error = 1;
    return -1;
  }
  SshSession* s = q->session;
  int32_t got = SftpReadReply(s, packet, r, e->buffer, e->length);
  e->returned = got;
  if (got < 0 && SftpGetStatus(s) != kSftpEof) {
    e->completion = -1;
    q->error = 1;
    return -1;
  }
  if (got <= 0) q->end = 1;
  e->completion = 1;
  if (got > 0 && q->furthestData < e->offset) q->furthestData = e->offset;
  if (uint32_t(std::max(got, 0)) < e->length) q->fileEnd = std::min(q->fileEnd, e->offset + uint64_t(std::max(got, 0)));
  if (q->furthestData > q->fileEnd) {
    SftpSetProtocolError(s, cvErrorFileSizeMismatch);
    q->error = 1;
    return -1;
  }
  return 1;
}

int32_t SftpDownloadData(SftpTransferQueue* q, uint8_t** buffer, int32_t* length) {
  bool taken = false;
  while (SftpQueueEntry* e = q->first) {
    if (e->completion == 0) break;
    if (taken && e->completion != 0) break;
    if (e->completion == 1) {
      *buffer = e->buffer;
      *length = e->returned;
      e->buffer = nullptr;
      taken = true;
    }
    Unlink(q, e);
    CheckedFree(e->buffer);
    CheckedFree(e);
  }
  return taken ? 1 : 0;
}

int32_t SftpDownloadDone(SftpTransferQueue* q) { return (q->end || q->error) && !q->first ? 1 : 0; }

SftpTransferQueue* SftpUploadStart(SshSession* s, SftpHandle* handle, uint64_t offset) {
  SftpTransferQueue* q = NewQueue(s, handle, offset);
  q->end = 1;
  return q;
}

int32_t SftpUploadReady(SftpTransferQueue* q) { return q->outstanding < q->maxOutstanding ? 1 : 0; }

int32_t SftpUploadData(SftpTransferQueue* q, const void* data, uint32_t length) {
  SftpQueueEntry* e = Append(q, length, false);
  SftpRequest* r = SftpWriteSend(q->session, q->handle, e->offset, data, length);
  SftpRegisterRequest(q->session, r);
  r->userData = e;
  e->request = r;
  q->nextOffset += length;
  q->outstanding += length;
  return 1;
}

int32_t SftpUploadReply(SftpTransferQueue* q, SftpPacket* packet) {
  if (!packet) {
    q->error = 1;
    return -1;
  }
  SftpQueueEntry* e;
  SftpRequest* r = Match(q, packet, &e);
  if (!r) {
    q->error = 1;
    return -1;
  }
  int32_t ok = SftpWriteReply(q->session, packet, r);
  Unlink(q, e);
  CheckedFree(e);
  return ok == 1 ? 1 : -1;
}

void SftpTransferSetError(SftpTransferQueue* q) { q->error = 1; }

void SftpTransferFree(SftpTransferQueue* q) {
  if (!q) return;
  while (SftpQueueEntry* e = q->first) {
    q->first = e->next;
    // An unanswered request must not lead a late reply to the freed entry.
    if (e->request) {
      SftpForgetRequest(q->session, e->request);
      SftpFreeRequest(e->request);
    }
    CheckedFree(e->buffer);
    CheckedFree(e);
  }
  CheckedFree(q);
}
