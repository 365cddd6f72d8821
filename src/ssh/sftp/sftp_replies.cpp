// SFTP reply decoders, the status mapping, the version handshake and the name records.
#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"

namespace {

constexpr uint32_t kSftpVersion3 = 3;
// Each entry takes at least 12 bytes (two empty strings and the attribute flags).
constexpr uint32_t kMinNameEntryBytes = 12;
constexpr uint32_t kMaxNameCount = 44739242;

uint32_t StatusError(int32_t code) {
  switch (code) {
    case kSftpOk: return 0;
    case kSftpEof: return cvErrorEndOfFile;
    case kSftpNoSuchFile: return cvErrorFileNotFound;
    case kSftpPermissionDenied: return cvErrorAccessDenied;
    case kSftpFailure: return cvErrorServerTransactionFailed;
    case kSftpBadMessage: return cvErrorInvalidServerResponse;
    case kSftpNoConnection: return cvErrorNotConnected;
    case kSftpConnectionLost: return cvErrorConnectionAborted;
    case kSftpOpUnsupported: return cvErrorOperationNotSupported;
    default: return cvErrorUnexpectedServerResponse;
  }
}

char* CopyText(const char* bytes, uint32_t length) {
  auto* text = static_cast<char*>(cvssh::AllocOrDie(size_t(length) + 1));
  if (length) std::memcpy(text, bytes, length);
  text[length] = 0;
  return text;
}

// Frees what a decoder was given.
struct Consumed {
  SftpPacket* packet;
  SftpRequest* request;
  ~Consumed() {
    SftpPacketFree(packet);
    SftpFreeRequest(request);
  }
};

}  // namespace

void SftpSetProtocolError(SshSession* s, uint32_t code) {
  SshSetLastError(s, code);
  SftpSetStatus(s, -1);
}

int32_t SftpCheckStatus(SshSession* s, SftpPacket* p) {
  uint32_t code;
  if (!p || p->type != kSftpStatus || !SftpGetUint32(p, &code)) {
    SftpSetProtocolError(s, cvErrorInvalidPacketData);
    return -1;
  }
  SftpSetStatus(s, int32_t(code));
  SshSetLastError(s, StatusError(int32_t(code)));
  if (code == kSftpOk) return 1;
  return code == kSftpEof ? 0 : -1;
}

int32_t SftpInit(SshSession* s) {
  SftpPacket* init = SftpPacketNew(kSftpInit);
  SftpPutUint32(init, kSftpVersion3);
  SftpSendPacket(s, init);
  SftpPacket* reply = SftpReceivePacket(s);
  Consumed done{reply, nullptr};
  uint32_t version;
  if (!reply) {
    SshSetLastError(s, cvErrorNotConnected);
    return 0;
  }
  if (reply->type != kSftpVersion) {
    SftpSetProtocolError(s, cvErrorUnexpectedServerResponse);
    return 0;
  }
  if (!SftpGetUint32(reply, &version)) {
    SftpSetProtocolError(s, cvErrorInvalidPacketData);
    return 0;
  }
  if (version > kSftpVersion3) {
    SftpSetProtocolError(s, cvErrorProtocolNotSupported);
    return 0;
  }
  return 1;
}

char* SftpRealPathReply(SshSession* s, SftpPacket* p, SftpRequest* request) {
  Consumed done{p, request};
  if (!p) {
    SshSetLastError(s, cvErrorConnectionAborted);
    return nullptr;
  }
  if (p->type != kSftpName) {
    SftpCheckStatus(s, p);
    return nullptr;
  }
  uint32_t count;
  const char* name;
  uint32_t length;
  if (!SftpGetUint32(p, &count)) {
    SftpSetProtocolError(s, cvErrorInvalidPacketData);
    return nullptr;
  }
  if (count != 1) {
    SftpSetProtocolError(s, cvErrorUnexpectedServerResponse);
    return nullptr;
  }
  if (!SftpGetString(p, &name, &length)) {
    SftpSetProtocolError(s, cvErrorInvalidPacketData);
    return nullptr;
  }
  return CopyText(name, length);
}

SftpHandle* SftpHandleReply(SshSession* s, SftpPacket* p, SftpRequest* request) {
  Consumed done{p, request};
  if (!p) {
    SshSetLastError(s, cvErrorConnectionAborted);
    return nullptr;
  }
  if (p->type != kSftpHandle) {
    SftpCheckStatus(s, p);
    return nullptr;
  }
  const char* bytes;
  uint32_t length;
  if (!SftpGetString(p, &bytes, &length)) {
    SftpSetProtocolError(s, cvErrorInvalidServerResponse);
    return nullptr;
  }
  auto* handle = static_cast<SftpHandle*>(cvssh::AllocOrDie(sizeof(SftpHandle)));
  handle->bytes = CopyText(bytes, length);
  handle->length = length;
  return handle;
}

void SftpFreeHandle(SftpHandle* handle) {
  if (!handle) return;
  CheckedFree(handle->bytes);
  CheckedFree(handle);
}

void SftpCloseReply(SshSession* s, SftpPacket* p, SftpRequest* request) {
  Consumed done{p, request};
  if (p) SftpCheckStatus(s, p);
}

int32_t SftpStatusReply(SshSession* s, SftpPacket* p, SftpRequest* request) {
  Consumed done{p, request};
  return p && SftpCheckStatus(s, p) == 1 ? 1 : 0;
}

int32_t SftpWriteReply(SshSession* s, SftpPacket* p, SftpRequest* request) {
  return SftpStatusReply(s, p, request);
}

int32_t SftpFstatReply(SshSession* s, SftpPacket* p, SftpRequest* request, SftpAttributes* attributes) {
  Consumed done{p, request};
  if (!p) return 0;
  if (p->type != kSftpAttrs) {
    SftpCheckStatus(s, p);
    return 0;
  }
  if (!SftpGetAttributes(p, attributes)) {
    SftpSetProtocolError(s, cvErrorInvalidServerResponse);
    return 0;
  }
  return 1;
}

int32_t SftpStatReply(SshSession* s, SftpPacket* p, SftpRequest* request, SftpAttributes* attributes) {
  const bool attrs = p && p->type == kSftpAttrs;
  const bool received = p != nullptr;
  int32_t result = SftpFstatReply(s, p, request, attributes);
  // Whatever the server said instead of attributes, a failed STAT reads as a missing file.
  if (received && !attrs) SftpSetProtocolError(s, cvErrorFileNotFound);
  return result;
}

int32_t SftpReadReply(SshSession* s, SftpPacket* p, SftpRequest* request, void* buffer, uint32_t maximum) {
  Consumed done{p, request};
  if (!p) {
    SshSetLastError(s, cvErrorConnectionAborted);
    return -1;
  }
  if (p->type != kSftpData) {
    SftpCheckStatus(s, p);
    return -1;
  }
  const char* data;
  uint32_t length;
  if (!SftpGetString(p, &data, &length) || length > maximum) {
    SftpSetProtocolError(s, cvErrorInvalidServerResponse);
    return -1;
  }
  if (length) std::memcpy(buffer, data, length);
  return int32_t(length);
}

SftpNameList* SftpReadDirReply(SshSession* s, SftpPacket* p, SftpRequest* request) {
  Consumed done{p, request};
  if (!p) {
    SshSetLastError(s, cvErrorConnectionAborted);
    return nullptr;
  }
  if (p->type != kSftpName) {
    SftpCheckStatus(s, p);
    return nullptr;
  }
  uint32_t count;
  if (!SftpGetUint32(p, &count) || count > (p->length - p->mark) / kMinNameEntryBytes || count > kMaxNameCount) {
    SftpSetProtocolError(s, cvErrorInvalidServerResponse);
    return nullptr;
  }
  auto* list = static_cast<SftpNameList*>(cvssh::AllocOrDie(sizeof(SftpNameList)));
  list->count = 0;
  list->entries = static_cast<SftpNameEntry*>(cvssh::AllocOrDie(sizeof(SftpNameEntry) * (count ? count : 1)));
  for (uint32_t i = 0; i < count; ++i) {
    const char *name, *longName;
    uint32_t nameLength, longLength;
    SftpAttributes attributes;
    if (!SftpGetString(p, &name, &nameLength) || !SftpGetString(p, &longName, &longLength) ||
        !SftpGetAttributes(p, &attributes)) {
      SftpFreeNames(list);
      SftpSetProtocolError(s, cvErrorInvalidServerResponse);
      return nullptr;
    }
    SftpNameEntry& e = list->entries[list->count++];
    e.fileName = CopyText(name, nameLength);
    e.longName = CopyText(longName, longLength);
    e.attributes = attributes;
  }
  return list;
}

void SftpFreeNames(SftpNameList* names) {
  if (!names) return;
  for (int32_t i = 0; i < names->count; ++i) {
    CheckedFree(names->entries[i].fileName);
    CheckedFree(names->entries[i].longName);
  }
  CheckedFree(names->entries);
  CheckedFree(names);
}

void SftpCopyNameEntry(SftpNameEntry* copy, const SftpNameEntry* entry) {
  copy->fileName = CopyText(entry->fileName, uint32_t(std::strlen(entry->fileName)));
  copy->longName = CopyText(entry->longName, uint32_t(std::strlen(entry->longName)));
  copy->attributes = entry->attributes;
}

void SftpFreeNameEntry(SftpNameEntry* entry) {
  if (!entry) return;
  CheckedFree(entry->fileName);
  CheckedFree(entry->longName);
  CheckedFree(entry);
}
