#pragma once
// The SSH layer as the FTP library sees it: the SSH-layer lock, the SFTP session entry
// points, the SFTP forms of the FTP operations and of the file transfers. Strings are
// UTF-8. Failures store their code with SshSetLastError (read with SftpGetLastError).
#include <cstdint>

#include "platform/base/heap.h"
#include "platform/types.h"
#include "ssh/proto/session.h"

struct SecCredentials;
struct SecSessionInfo;
struct FtpFileInfoEx;

// The record that travels with every SFTP event to the FTP library's callback.
struct SftpEventInfo {
  uint32_t flags;  // 1 announce a download, 2 an upload, 4 a listing
  char* directory;
  char* localFile;
  char* remoteFile;
  uint64_t size;
  uint64_t offset;
  uint64_t bytesCopied;
  uint32_t entryCount;
  uint32_t direction;  // 1 download, 2 upload, 0 listing
  uint32_t startTick;
  uint32_t endTick;
};

// SFTP event codes.
enum : uint32_t {
  kSftpEventConnected = 1,
  kSftpEventClosed = 2,
  kSftpEventTransferStart = 4,
  kSftpEventTransferEnd = 8,
  kSftpEventRead = 16,
  kSftpEventWrite = 32,
  kSftpEventListStart = 64,
  kSftpEventListEnd = 128,
  kSftpEventTimeout = 256,
  kSftpEventCanceled = 512,
  kSftpEventProgress = 1024,
};

// ---- the SSH-layer lock ----
int32_t SshInitialize();
int32_t SshUninitialize();
void SshLock();
void SshUnlock();
int32_t SshTryLock();
// For an owner that could not get the lock (SshTryLock failed): the session's connection
// is shut down now and the session freed by the next holder of the lock (at the latest by
// the last SshUninitialize). The caller must not use the session again.
void SftpDeferDisconnect(SshSession* session);

// ---- session entry ----
SshSession* SftpConnect(const char* host, uint32_t port, const char* user, const char* password,
                        uint32_t timeoutSeconds, uint32_t options, const SecCredentials* credentials,
                        uint32_t* error);
int32_t SftpDisconnect(SshSession* session);
SOCKET SftpGetSocket(SshSession* session);
const char* SftpGetWorkingDirectory(SshSession* session);
int32_t SftpGetSecurityInfo(SshSession* session, SecSessionInfo* info);
int32_t SftpEnableEvents(SshSession* session, SshEventCallback callback, uint32_t parameter);
int32_t SftpAbort(SshSession* session);
int32_t SftpGetResultCode(SshSession* session);
int32_t SftpGetResultString(SshSession* session, char* buffer, uint32_t size);
uint32_t SftpGetLastError(SshSession* session);
void SftpSetLastError(SshSession* session, uint32_t code);

// ---- starting and ending SFTP ----
int32_t SftpStart(SshSession* session);
void SftpCloseSession(SshSession* session);
void SftpDropSession(SshSession* session);

// ---- names ----
char* SftpResolvePath(SshSession* session, const char* name);  // released with CheckedFree
const char* SftpBaseName(const char* path);

// ---- listings ----
int32_t SftpOpenDirectory(SshSession* session, const char* path);
int32_t SftpCloseDirectory(SshSession* session);
int32_t SftpGetListPosition(SshSession* session, uint32_t* count, uint32_t* read);
inline constexpr uint32_t kSftpListLineSize = 2048;
int32_t SftpFormatListEntry(SshSession* session, char* line);
int32_t SftpGetFileList(SshSession* session, const char* path, uint32_t flags, char* buffer, uint32_t size);

// ---- remote files and directories ----
int32_t SftpChangeDirectory(SshSession* session, const char* path);
int32_t SftpMakeDirectory(SshSession* session, const char* path);
int32_t SftpDeleteDirectory(SshSession* session, const char* path);
int32_t SftpRemoveFile(SshSession* session, const char* path);
int32_t SftpRenamePath(SshSession* session, const char* oldPath, const char* newPath);
int32_t SftpGetFileStatus(SshSession* session, const char* path, FtpFileInfoEx* info);
int32_t SftpGetFilePermissions(SshSession* session, const char* path, uint32_t* mode);
int32_t SftpSetFilePermissions(SshSession* session, const char* path, uint32_t mode);
int32_t SftpQueryFileSize(SshSession* session, const char* path, uint64_t* size);
int32_t SftpGetFileTime(SshSession* session, const char* path, SYSTEMTIME* time, int32_t local);
int32_t SftpSetFileTime(SshSession* session, const char* path, const SYSTEMTIME* time);

// ---- file transfers ----
int32_t SftpRetrieveFile(SshSession* session, const char* localFile, const char* remoteFile, int32_t append,
                         uint64_t offset);
// The block is a movable global memory block, unlocked at the end (the caller frees it,
// also on failure).
int32_t SftpRetrieveData(SshSession* session, const char* remoteFile, plat::HGLOBAL* block, uint32_t* length,
                         uint32_t limit);
int32_t SftpStoreFile(SshSession* session, const char* localFile, const char* remoteFile, int32_t append,
                      uint64_t offset);
int32_t SftpStoreData(SshSession* session, const char* remoteFile, const void* data, uint32_t length);
int32_t SftpOpenTransfer(SshSession* session, const char* remoteFile, uint32_t mode, uint64_t offset);
int32_t SftpCloseTransfer(SshSession* session);
int32_t SftpReadData(SshSession* session, void* buffer, int32_t size);
int32_t SftpWriteData(SshSession* session, const void* buffer, int32_t size);
int32_t SftpIsEndOfData(SshSession* session);
