#pragma once
// Accessors of the session record's connection and SFTP fields. Each tolerates a null
// session by returning the value named in brackets, unless noted.
#include <cstdint>

#include "ssh/proto/session.h"

struct CountedTree;
struct SftpNameEntry;
struct SftpTransferQueue;
struct SftpEventInfo;

int32_t SshIsReady(SshSession* session);             // no null check
int32_t SshGetExitCode(SshSession* session);         // -1 while connected; 0x7FFFFFFF when none reported (-1)
uint32_t SshGetProtocolVersion(SshSession* session); // (0)
uint32_t SshGetCipherType(SshSession* session);      // (4096)
uint32_t SshGetCipherBits(SshSession* session);      // (0)
uint32_t SshGetKeyExchangeType(SshSession* session); // (4096)
uint32_t SshGetMacType(SshSession* session);         // (4096)
uint32_t SshGetMacBits(SshSession* session);         // (0)
SOCKET SshGetSocketHandle(SshSession* session);      // (-1)

const char* SftpCurrentDirectory(SshSession* session);
const char* SftpHomeDirectory(SshSession* session);
void SftpSetCurrentDirectory(SshSession* session, const char* text);  // null: the home directory
void SftpSetHomeDirectory(SshSession* session, const char* text);     // null: "."
SftpNameEntry** SftpGetListing(SshSession* session, int32_t* count);
void SftpSetListing(SshSession* session, SftpNameEntry** listing, int32_t count);  // frees the old one
int32_t SftpGetListIndex(SshSession* session);  // (-1)
void SftpSetListIndex(SshSession* session, int32_t index);
SftpChannelInput* SftpGetChannelInput(SshSession* session);
void SftpSetChannelInput(SshSession* session, const SftpChannelInput* input);
void SshSetAbort(SshSession* session);
int32_t SshTestAndClearAbort(SshSession* session);
// The tree of SFTP requests sent and not yet answered (null); setting frees the old
// tree with the requests in it.
CountedTree* SftpGetRequestTree(SshSession* session);
void SftpSetRequestTree(SshSession* session, CountedTree* tree);
SftpTransferQueue* SftpGetTransfer(SshSession* session);
// Stores the queue and mode, clears the reply-pending flag and the byte count (mode -1
// when the queue is null).
void SftpSetTransfer(SshSession* session, SftpTransferQueue* queue, uint32_t mode);
uint32_t SftpGetTransferMode(SshSession* session);  // (all bits)
uint32_t SftpGetReplyPending(SshSession* session);
void SftpSetReplyPending(SshSession* session, uint32_t value);
uint8_t* SftpGetDataBlock(SshSession* session, uint32_t* length, uint32_t* consumed);
void SftpSetDataBlock(SshSession* session, uint8_t* block, uint32_t length, uint32_t consumed);
uint64_t SftpGetByteCount(SshSession* session);
void SftpAddByteCount(SshSession* session, uint64_t count);
int32_t SftpGetStatus(SshSession* session);  // (-1)
void SftpSetStatus(SshSession* session, int32_t status);
void SshSetEventCallback(SshSession* session, SshEventCallback callback, uint32_t parameter);
// Replaces the session's record by a copy that takes over the texts of info (null clears).
void SshSetEventInfo(SshSession* session, SftpEventInfo* info);
SftpEventInfo* SshGetEventInfo(SshSession* session);
const SshSettings* SshGetSettings(SshSession* session);

// Frees an event information record and its texts.
void SftpFreeEventInfo(SftpEventInfo* info);
// Releases the SFTP state of a session (texts, listing, requests, transfer, buffers).
void SftpSessionRelease(SshSession* session);
