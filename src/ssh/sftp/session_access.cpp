// Accessors of the session record's connection and SFTP fields.
#include <cstring>

#include "ssh/crypto/cipher.h"
#include "ssh/crypto/mac.h"
#include "ssh/net/tcp_socket.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"

namespace {

constexpr uint32_t kUnknown = 4096;

void FreeListing(SshSession* s) {
  for (int32_t i = 0; i < s->listingCount; ++i) SftpFreeNameEntry(s->listing[i]);
  CheckedFree(s->listing);
  s->listing = nullptr;
  s->listingCount = 0;
  s->listingPosition = -1;
}

}  // namespace

int32_t SshIsReady(SshSession* s) { return int32_t(s->ready); }

int32_t SshGetExitCode(SshSession* s) {
  if (!s || s->socket) return -1;
  return s->exitCode < 0 ? 0x7FFFFFFF : s->exitCode;
}

uint32_t SshGetProtocolVersion(SshSession* s) { return s ? s->protocolVersion : 0; }

uint32_t SshGetCipherType(SshSession* s) {
  if (!s) return kUnknown;
  uint32_t family = s->protocolVersion == 1 ? (s->ssh1Cipher ? s->ssh1Cipher->family : 0)
                                            : (s->csCipher ? s->csCipher->family : 0);
  switch (family) {
    case SshCipherFamily3Des: return 16;
    case SshCipherFamilyBlowfish: return 256;
    case SshCipherFamilyAes: return 64;
    case SshCipherFamilyDes: return 8;
    case SshCipherFamilyArcfour: return 2;
    default: return kUnknown;
  }
}

uint32_t SshGetCipherBits(SshSession* s) {
  if (!s) return 0;
  if (s->protocolVersion == 1) {
    if (!s->ssh1Cipher) return 0;
    switch (s->ssh1Cipher->family) {
      case SshCipherFamily3Des: return 168;
      case SshCipherFamilyBlowfish: return 128;
      case SshCipherFamilyDes: return 56;
      default: return 0;
    }
  }
  return s->csCipher ? s->csCipher->key_bits : 0;
}

uint32_t SshGetKeyExchangeType(SshSession* s) { return s && s->protocolVersion == 2 ? 4 : kUnknown; }

uint32_t SshGetMacType(SshSession* s) {
  if (!s || s->protocolVersion != 2 || !s->csMac) return kUnknown;
  if (s->csMac == &HmacSha256MacDesc) return 4;
  if (s->csMac == &HmacSha1MacDesc || s->csMac == &HmacSha1_96MacDesc) return 2;
  if (s->csMac == &HmacMd5MacDesc) return 1;
  return kUnknown;
}

uint32_t SshGetMacBits(SshSession* s) {
  if (!s || s->protocolVersion != 2 || !s->csMac) return 0;
  return s->csMac->mac_length * 8;
}

SOCKET SshGetSocketHandle(SshSession* s) {
  // A connection through a proxy or a local command has no socket of its own to show.
  auto* tcp = s ? dynamic_cast<cvssh::net::TcpSocket*>(s->socket) : nullptr;
  return tcp ? tcp->handle : INVALID_SOCKET;
}

const char* SftpCurrentDirectory(SshSession* s) { return s ? s->currentDirectory : nullptr; }
const char* SftpHomeDirectory(SshSession* s) { return s ? s->homeDirectory : nullptr; }

void SftpSetCurrentDirectory(SshSession* s, const char* text) {
  if (!s) return;
  char* copy = DupString(text ? text : s->homeDirectory);
  CheckedFree(s->currentDirectory);
  s->currentDirectory = copy;
}

void SftpSetHomeDirectory(SshSession* s, const char* text) {
  if (!s) return;
  char* copy = DupString(text ? text : ".");
  CheckedFree(s->homeDirectory);
  s->homeDirectory = copy;
}

SftpNameEntry** SftpGetListing(SshSession* s, int32_t* count) {
  if (count) *count = s ? s->listingCount : 0;
  return s ? s->listing : nullptr;
}

void SftpSetListing(SshSession* s, SftpNameEntry** listing, int32_t count) {
  if (!s) return;
  FreeListing(s);
  s->listing = listing;
  s->listingCount = count;
  s->listingPosition = -1;
}

int32_t SftpGetListIndex(SshSession* s) { return s ? s->listingPosition : -1; }

void SftpSetListIndex(SshSession* s, int32_t index) {
  if (!s) return;
  if (index < 0) index = -1;
  if (index >= s->listingCount) index = s->listingCount - 1;
  s->listingPosition = index;
}

SftpChannelInput* SftpGetChannelInput(SshSession* s) { return s ? &s->channelInput : nullptr; }

void SftpSetChannelInput(SshSession* s, const SftpChannelInput* input) {
  if (s && input && input != &s->channelInput) s->channelInput = *input;
}

void SshSetAbort(SshSession* s) {
  if (s) s->abort.store(1);
}

int32_t SshTestAndClearAbort(SshSession* s) { return s && s->abort.exchange(0) ? 1 : 0; }

CountedTree* SftpGetRequestTree(SshSession* s) { return s ? s->requests : nullptr; }

void SftpSetRequestTree(SshSession* s, CountedTree* tree) {
  if (!s || tree == s->requests) return;
  SftpFreeRequests(s);
  s->requests = tree;
}

SftpTransferQueue* SftpGetTransfer(SshSession* s) { return s ? s->transfer : nullptr; }

void SftpSetTransfer(SshSession* s, SftpTransferQueue* queue, uint32_t mode) {
  if (!s) return;
  s->transfer = queue;
  s->replyPending = 0;
  s->byteCount = 0;
  s->transferMode = queue ? mode : UINT32_MAX;
}

uint32_t SftpGetTransferMode(SshSession* s) { return s ? s->transferMode : UINT32_MAX; }
uint32_t SftpGetReplyPending(SshSession* s) { return s ? s->replyPending : 0; }
void SftpSetReplyPending(SshSession* s, uint32_t value) {
  if (s) s->replyPending = value;
}

uint8_t* SftpGetDataBlock(SshSession* s, uint32_t* length, uint32_t* consumed) {
  if (length) *length = s ? s->dataBlockLength : 0;
  if (consumed) *consumed = s ? s->dataBlockConsumed : 0;
  return s ? s->dataBlock : nullptr;
}

void SftpSetDataBlock(SshSession* s, uint8_t* block, uint32_t length, uint32_t consumed) {
  if (!s) return;
  s->dataBlock = block;
  s->dataBlockLength = length;
  s->dataBlockConsumed = consumed;
}

uint64_t SftpGetByteCount(SshSession* s) { return s ? s->byteCount : 0; }
void SftpAddByteCount(SshSession* s, uint64_t count) {
  if (s) s->byteCount += count;
}

int32_t SftpGetStatus(SshSession* s) { return s ? s->sftpStatus : -1; }
void SftpSetStatus(SshSession* s, int32_t status) {
  if (s) s->sftpStatus = status;
}

void SshSetEventCallback(SshSession* s, SshEventCallback callback, uint32_t parameter) {
  if (!s) return;
  s->eventCallback = callback;
  s->eventParameter = parameter;
  s->eventMask = 65535;
}

void SftpFreeEventInfo(SftpEventInfo* info) {
  if (!info) return;
  CheckedFree(info->directory);
  CheckedFree(info->localFile);
  CheckedFree(info->remoteFile);
  CheckedFree(info);
}

void SshSetEventInfo(SshSession* s, SftpEventInfo* info) {
  if (!s) return;
  SftpEventInfo* copy = nullptr;
  if (info) {
    copy = static_cast<SftpEventInfo*>(cvssh::AllocOrDie(sizeof(SftpEventInfo)));
    *copy = *info;
  }
  SftpFreeEventInfo(s->eventInfo);
  s->eventInfo = copy;
}

SftpEventInfo* SshGetEventInfo(SshSession* s) { return s ? s->eventInfo : nullptr; }

const SshSettings* SshGetSettings(SshSession* s) { return s ? &s->settings : nullptr; }

void SftpSessionRelease(SshSession* s) {
  CheckedFree(s->currentDirectory);
  CheckedFree(s->homeDirectory);
  s->currentDirectory = s->homeDirectory = nullptr;
  FreeListing(s);
  SftpFreeEventInfo(s->eventInfo);
  s->eventInfo = nullptr;
  if (s->transfer) {
    SftpFreeHandle(s->transfer->handle);
    SftpTransferFree(s->transfer);
    s->transfer = nullptr;
  }
  SftpFreeRequests(s);
  CheckedFree(s->channelInput.pending);
  s->channelInput = {};
  CheckedFree(s->dataBlock);
  s->dataBlock = nullptr;
}
