#pragma once
// The SFTP version 3 client: request packets, reply matching by identifier, reply
// decoders, status mapping and the pipelined download and upload queues. Callers pair
// the calls: send, register, receive, find, decode.
#include <cstdint>

#include "ssh/proto/session.h"
#include "ssh/sftp/sftp_packet.h"

// SFTP packet types.
enum : uint32_t {
  kSftpInit = 1,
  kSftpVersion = 2,
  kSftpOpen = 3,
  kSftpClose = 4,
  kSftpRead = 5,
  kSftpWrite = 6,
  kSftpFstat = 8,
  kSftpSetStat = 9,
  kSftpOpenDir = 11,
  kSftpReadDir = 12,
  kSftpRemove = 13,
  kSftpMkdir = 14,
  kSftpRmdir = 15,
  kSftpRealPath = 16,
  kSftpStat = 17,
  kSftpRename = 18,
  kSftpStatus = 101,
  kSftpHandle = 102,
  kSftpData = 103,
  kSftpName = 104,
  kSftpAttrs = 105,
};

// Status codes.
enum : int32_t {
  kSftpOk = 0,
  kSftpEof = 1,
  kSftpNoSuchFile = 2,
  kSftpPermissionDenied = 3,
  kSftpFailure = 4,
  kSftpBadMessage = 5,
  kSftpNoConnection = 6,
  kSftpConnectionLost = 7,
  kSftpOpUnsupported = 8,
};

// Open flags.
inline constexpr uint32_t kSftpOpenRead = 1;
inline constexpr uint32_t kSftpOpenWrite = 2;
inline constexpr uint32_t kSftpOpenAppend = 4;
inline constexpr uint32_t kSftpOpenCreate = 8;
inline constexpr uint32_t kSftpOpenTruncate = 16;
inline constexpr uint32_t kSftpOpenExclusive = 32;

struct SftpNameEntry {
  char* fileName;
  char* longName;
  SftpAttributes attributes;
};

struct SftpNameList {
  int32_t count;
  SftpNameEntry* entries;
};

struct SftpHandle {
  char* bytes;  // with a terminator added
  uint32_t length;
};

struct SftpRequest {
  uint32_t id;
  uint32_t registered;
  void* userData;
};

struct SftpQueueEntry {
  uint8_t* buffer;  // none for uploads
  uint32_t length;
  int32_t returned;
  int32_t completion;  // 0 waiting, 1 done, -1 failed
  uint64_t offset;
  SftpRequest* request;  // while unanswered (freed with the queue then)
  SftpQueueEntry* next;
  SftpQueueEntry* previous;
};

struct SftpTransferQueue {
  SshSession* session;
  uint64_t nextOffset;
  uint64_t furthestData;
  uint64_t fileEnd;
  uint32_t outstanding;
  uint32_t maxOutstanding;
  uint32_t end;
  uint32_t error;
  SftpHandle* handle;  // not owned
  SftpQueueEntry* first;
  SftpQueueEntry* last;
};

// ---- sending (each returns the new request; the caller registers it) ----
SftpRequest* SftpRealPathSend(SshSession* session, const char* path);
SftpRequest* SftpOpenSend(SshSession* session, const char* path, uint32_t flags);
SftpRequest* SftpOpenDirSend(SshSession* session, const char* path);
SftpRequest* SftpCloseSend(SshSession* session, SftpHandle* handle);  // frees the handle
SftpRequest* SftpMkdirSend(SshSession* session, const char* path);
SftpRequest* SftpRmdirSend(SshSession* session, const char* path);
SftpRequest* SftpRemoveSend(SshSession* session, const char* path);
SftpRequest* SftpStatSend(SshSession* session, const char* path);
SftpRequest* SftpRenameSend(SshSession* session, const char* oldPath, const char* newPath);
SftpRequest* SftpFstatSend(SshSession* session, const SftpHandle* handle);
SftpRequest* SftpSetStatSend(SshSession* session, const char* path, const SftpAttributes* attributes);
SftpRequest* SftpReadSend(SshSession* session, const SftpHandle* handle, uint64_t offset, uint32_t length);
SftpRequest* SftpReadDirSend(SshSession* session, const SftpHandle* handle);
SftpRequest* SftpWriteSend(SshSession* session, const SftpHandle* handle, uint64_t offset, const void* data,
                           uint32_t length);

// ---- receiving and matching ----
int32_t SftpSendPacket(SshSession* session, SftpPacket* packet);  // frees the packet
SftpPacket* SftpReceivePacket(SshSession* session);
// True when a whole reply has arrived already, so receiving it needs no wait.
bool SftpReplyReady(SshSession* session);
SftpRequest* SftpAllocRequest(SshSession* session);
// Reads the identifier and removes the matching registered request from the tree; null
// (and the packet freed) when there is none.
SftpRequest* SftpFindRequest(SshSession* session, SftpPacket* packet);
void SftpRegisterRequest(SshSession* session, SftpRequest* request);
// Takes a request out of the session's tree (it stays allocated).
void SftpForgetRequest(SshSession* session, SftpRequest* request);
// Frees every request still outstanding.
void SftpFreeRequests(SshSession* session);

// ---- decoding (each frees the packet and the request; a null packet: receive failed) ----
char* SftpRealPathReply(SshSession* session, SftpPacket* packet, SftpRequest* request);
SftpHandle* SftpHandleReply(SshSession* session, SftpPacket* packet, SftpRequest* request);
void SftpCloseReply(SshSession* session, SftpPacket* packet, SftpRequest* request);
int32_t SftpStatusReply(SshSession* session, SftpPacket* packet, SftpRequest* request);
int32_t SftpStatReply(SshSession* session, SftpPacket* packet, SftpRequest* request, SftpAttributes* attributes);
int32_t SftpFstatReply(SshSession* session, SftpPacket* packet, SftpRequest* request, SftpAttributes* attributes);
int32_t SftpReadReply(SshSession* session, SftpPacket* packet, SftpRequest* request, void* buffer,
                      uint32_t maximum);
SftpNameList* SftpReadDirReply(SshSession* session, SftpPacket* packet, SftpRequest* request);
int32_t SftpWriteReply(SshSession* session, SftpPacket* packet, SftpRequest* request);

// ---- helpers ----
int32_t SftpInit(SshSession* session);
void SftpFreeNames(SftpNameList* names);
void SftpCopyNameEntry(SftpNameEntry* copy, const SftpNameEntry* entry);  // deep copy
void SftpFreeNameEntry(SftpNameEntry* entry);                             // the texts and the record
void SftpFreeHandle(SftpHandle* handle);
// 1 OK, 0 EOF, -1 any other status or a packet that is not a usable STATUS.
int32_t SftpCheckStatus(SshSession* session, SftpPacket* packet);
void SftpSetProtocolError(SshSession* session, uint32_t code);
void SftpFreeRequest(SftpRequest* request);

// One whole exchange: registers the request, receives and matches its reply. The reply,
// or null (the request freed) when none arrived or it answered something else.
SftpPacket* SftpAwaitReply(SshSession* session, SftpRequest* request, bool* matched);

// ---- transfer queues ----
SftpTransferQueue* SftpDownloadStart(SshSession* session, SftpHandle* handle, uint64_t offset);
void SftpDownloadQueue(SftpTransferQueue* queue);
int32_t SftpDownloadReply(SftpTransferQueue* queue, SftpPacket* packet);
// The next block in file order (the caller frees *buffer); 1 with a block, else 0.
int32_t SftpDownloadData(SftpTransferQueue* queue, uint8_t** buffer, int32_t* length);
int32_t SftpDownloadDone(SftpTransferQueue* queue);
SftpTransferQueue* SftpUploadStart(SshSession* session, SftpHandle* handle, uint64_t offset);
int32_t SftpUploadReady(SftpTransferQueue* queue);
int32_t SftpUploadData(SftpTransferQueue* queue, const void* data, uint32_t length);
int32_t SftpUploadReply(SftpTransferQueue* queue, SftpPacket* packet);
void SftpTransferSetError(SftpTransferQueue* queue);
void SftpTransferFree(SftpTransferQueue* queue);
