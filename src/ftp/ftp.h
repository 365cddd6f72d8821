#pragma once
// The FTP client library's C-style interface: handles, integer results, and the error in
// the library's per-thread last error.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "ftp/ftp_session.h"
#include "ftp/listing/ftp_file_info.h"
#include "platform/types.h"

// Library frame.
void FtpProcessAttach(void* module);
void FtpProcessDetach();
int32_t FtpAttach(LibVersionInfo* info);  // 1 success, 0 failure
void FtpDetach();
uint32_t FtpIsInitialized();
void FtpLock();
void FtpUnlock();
void FtpSetLastError(uint32_t code);
uint32_t FtpGetLastError();
uint32_t FtpSetSocketError();
uint32_t FtpGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null

// Sessions.
LibHandle FtpAllocSession();
void FtpFreeSession(LibHandle handle);
FtpSession* FtpGetSession(LibHandle handle);
FtpSession* FtpFindSession(LibHandle handle);
uint32_t FtpSetHandleOwner(LibHandle handle, uint32_t threadId);
FtpSession* FtpFindSessionBySocket(SOCKET socket);
LibHandle FtpFindHandleByWindow(HWND window);

struct SecCredentials;
struct SecSessionInfo;
struct SockAddress;

// Connecting and closing. Strings are UTF-8; host may be a URL.
LibHandle FtpConnect(const char* host, uint32_t port, const char* user, const char* password, uint32_t timeout,
                     uint32_t options, SecCredentials* credentials);
LibHandle FtpProxyConnect(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort, const char* proxyUser,
                          const char* proxyPassword, const char* host, uint32_t timeout, uint32_t options,
                          SecCredentials* credentials);
int32_t FtpDisconnect(LibHandle handle);
int32_t FtpReconnect(LibHandle handle);
int32_t FtpCloseChannel(LibHandle handle, uint32_t channel);  // 0 command, 1 data
SOCKET FtpGetSocket(LibHandle handle, uint32_t channel);
// The negotiated protection of a TLS session (info->size at least 88); 1, or 0. A plain
// session gives a zeroed record.
int32_t FtpGetSecurityInfo(LibHandle handle, SecSessionInfo* info);

// Commands and replies.
int32_t FtpSendCommand(LibHandle handle, const char* command, const char* argument);
int32_t FtpReadReply(LibHandle handle);
int32_t FtpGetResultString(LibHandle handle, char* buffer, uint32_t size);
int32_t FtpCancel(LibHandle handle);
int32_t FtpIsBlocked(LibHandle handle);
int32_t FtpResyncCommandChannel(LibHandle handle);

// Login and server information.
int32_t FtpSendUser(LibHandle handle, const char* user);
int32_t FtpSendPassword(LibHandle handle, const char* password);
int32_t FtpSendAccount(LibHandle handle, const char* account);
int32_t FtpLogin(LibHandle handle, const char* user, const char* password, const char* account);
int32_t FtpSetFileType(LibHandle handle, uint32_t type);
int32_t FtpSendType(LibHandle handle, uint32_t type);
int32_t FtpSetPassiveMode(LibHandle handle, uint32_t passive);
int32_t FtpGetSystemName(LibHandle handle, char* buffer);  // buffer of 128 characters
int32_t FtpGetSystemType(LibHandle handle);
uint32_t FtpQueryFeatures(LibHandle handle);
uint32_t FtpGetFeatures(LibHandle handle);
uint32_t FtpSetFeatures(LibHandle handle, uint32_t features);
int32_t FtpDropUtf8Feature(LibHandle handle);
int32_t FtpGetEncoding(LibHandle handle);
int32_t FtpSetEncoding(LibHandle handle, uint32_t encoding);

// The local address of the session's connection (family hint 0 means IPv4), or of this
// host when there is none; record may be null for a session. The family, or -1.
int32_t FtpGetLocalAddress(LibHandle handle, uint32_t family, SockAddress* address);

// Session options. Channels: 0 command, 1 data; modes 0 clear, 1 secure (command channel
// clear: CCC). Priorities 0 background to 4 critical (0 and 1 use 4 KB data buffers, 3
// and 4 16 KB). An active-port bound of 0xFFFFFFFF keeps the current one.
int32_t FtpGetChannelMode(LibHandle handle, uint32_t channel);
int32_t FtpSetChannelMode(LibHandle handle, uint32_t channel, uint32_t mode);  // the previous mode, or -1
int32_t FtpGetActivePorts(LibHandle handle, uint32_t* low, uint32_t* high);
int32_t FtpSetActivePorts(LibHandle handle, uint32_t low, uint32_t high);
int32_t FtpGetPriority(LibHandle handle);
int32_t FtpSetPriority(LibHandle handle, uint32_t priority);  // the previous priority, or -1
int32_t FtpSetBufferSize(LibHandle handle, uint32_t size);    // the new size (256 to 1 MiB), or -1
// NOOP on the idle command channel every so often, from the library's keep-alive thread.
int32_t FtpEnableKeepAlive(LibHandle handle);

// Event notification: the callbacks and the notification window of a session, and the
// data socket's network events routed through a subclassed window of the owner thread.
int32_t FtpRegisterEvents(LibHandle handle, HWND window, uint32_t message, uint32_t mask);
int32_t FtpRegisterAllEvents(LibHandle handle, HWND window, uint32_t message);
int32_t FtpUnregisterEvents(LibHandle handle);
int32_t FtpSetProgressCallback(LibHandle handle, FtpEventCallback callback, uintptr_t parameter);
LRESULT FtpFireEvent(LibHandle handle, uint32_t event, uint32_t error);
int32_t FtpFreezeEvents(LibHandle handle, uint32_t hold);
int32_t FtpSelectDataEvents(LibHandle handle, HWND window, uint32_t message);
int32_t NotifyAttachWindow(LibHandle handle, HWND window);  // 1, or 0
void NotifyReleaseWindows();
LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Data connections and buffered transfer I/O. Modes: 0 RETR, 1 STOR, 2 APPE.
int32_t FtpOpenDataConnection(LibHandle handle, uint32_t direction, uint64_t offset);
int32_t FtpCheckPassiveAddress(LibHandle handle, const char* address, SockAddress* out);
int32_t FtpAcceptDataConnection(LibHandle handle);
int32_t FtpOpenFile(LibHandle handle, const char* name, uint32_t mode);
// The transfer command's reply code (125 or 150 when open), or -1.
int32_t FtpOpenFileEx(LibHandle handle, const char* name, uint32_t mode, uint64_t offset);
int32_t FtpCloseFile(LibHandle handle);  // the final reply's code, or -1
int32_t FtpReadData(LibHandle handle, void* buffer, uint32_t length);  // 0 at the end
int32_t FtpWriteData(LibHandle handle, const void* buffer, uint32_t length);
int32_t FtpFillReceiveBuffer(LibHandle handle);
int32_t FtpFlushSendBuffer(LibHandle handle, uint32_t wait);
int32_t FtpIsDataEnd(LibHandle handle);

// Statistics of a session's current or last transfer.
struct FtpTransferStatus {
  uint64_t fileSize;
  uint64_t bytesCopied;
  uint32_t bytesPerSecond;
  uint32_t elapsed;    // seconds, or milliseconds with session option 0x1000000
  uint32_t remaining;  // likewise
  uint32_t reserved;
  char localFile[kFtpFileNameSize];
  char remoteFile[kFtpFileNameSize];
};
// The same with 32-bit sizes (0xFFFFFFFF when a value needs more).
struct FtpTransferStatus32 {
  uint32_t fileSize;
  uint32_t bytesCopied;
  uint32_t bytesPerSecond;
  uint32_t elapsed;
  uint32_t remaining;
  char localFile[kFtpFileNameSize];
  char remoteFile[kFtpFileNameSize];
};

// File transfers. Options: 1 append, 2 verify afterwards. 0, -1, or the reply code (200 to
// 399) of a transfer command that opened no transfer.
int32_t FtpRetrieveFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset);
int32_t FtpRetrieveFileBasic(LibHandle handle, const char* local, const char* remote);
int32_t FtpStoreFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset);
int32_t FtpStoreFileBasic(LibHandle handle, const char* local, const char* remote);
// *length 0: buffer is a plat::HGLOBAL* that receives a movable block holding the whole
// file and a zero byte (null when the file is empty); otherwise buffer receives at most
// *length bytes. *length becomes the byte count.
int32_t FtpRetrieveData(LibHandle handle, const char* remote, void* buffer, uint32_t* length);
int32_t FtpStoreData(LibHandle handle, const char* remote, const void* data, uint32_t length);
int32_t FtpGetTransferStatus(LibHandle handle, FtpTransferStatus* status);  // any thread
int32_t FtpGetTransferStatus32(LibHandle handle, FtpTransferStatus32* status);
int32_t FtpSetTransferState(LibHandle handle, uint32_t state);  // the previous state
int32_t FtpGetAutoFileType(LibHandle handle, const char* name, uint32_t contentTest);
int32_t FtpAddFileType(const char* extension, uint32_t type);  // 1, or 0
// text: at least 33 characters; method 2 CRC-32, 4 MD5. 1, or 0.
int32_t FtpLocalChecksum(const char* local, char* text, uint32_t method);
// Method bits: 1 size, 2 CRC-32, 4 MD5; 0 all that suit. 1 when the files agree, else 0.
int32_t FtpVerifyFile(LibHandle handle, const char* local, const char* remote, uint32_t method);
// SIZE of a remote file: the reply code, or -1.
int32_t FtpQueryFileSize(LibHandle handle, const char* name, uint64_t* size);
int32_t FtpQueryFileSize32(LibHandle handle, const char* name, uint32_t* size);

// Directory listings. Formats: 0 detect, 1 UNIX, 2 MS-DOS, 3 VMS, 4 and 5 Sterling,
// 6 NetWare, 7 MLSD. Reads return 1, or 0 with the error (at the end:
// cvErrorEndOfDirectory).
int32_t FtpOpenDirectory(LibHandle handle, const char* path);  // 125 or 150, or -1
int32_t FtpReadFirstEntry(LibHandle handle, FtpFileInfo* info);
int32_t FtpReadNextEntry(LibHandle handle, FtpFileInfo* info);
int32_t FtpReadFirstEntryEx(LibHandle handle, FtpFileInfoEx* info);
int32_t FtpReadNextEntryEx(LibHandle handle, FtpFileInfoEx* info);
int32_t FtpCloseDirectory(LibHandle handle);
// List types: 0 LIST, 1 NLST. The length of the text, or -1.
int32_t FtpGetFileList(LibHandle handle, const char* path, uint32_t listType, char* buffer, uint32_t size);
int32_t FtpGetDirectoryFormat(LibHandle handle);
int32_t FtpSetDirectoryFormat(LibHandle handle, uint32_t format);
int32_t FtpOpenFileList(LibHandle handle, const char* path, uint32_t listType);
int32_t FtpReadListLine(LibHandle handle, uint32_t* done);  // 1 (done 1: an entry added), or 0
FtpListEntry* FtpParseListLine(LibHandle handle, const char* line);
int32_t FtpParseFacts(LibHandle handle, const char* text, FtpFileInfoEx* info);  // 1, or 0
void FtpClearEntries(LibHandle handle);
void FtpAppendEntry(LibHandle handle, FtpListEntry* entry);
uint32_t FtpMonthFromName(const char* text);  // 1 to 12, or 0

// Remote files and directories: the reply code of the last command, or -1.
int32_t FtpRenamePath(LibHandle handle, const char* from, const char* to);
int32_t FtpRemoveFile(LibHandle handle, const char* name);
int32_t FtpChangeDirectory(LibHandle handle, const char* path);
int32_t FtpGetWorkingDirectory(LibHandle handle, char* buffer, uint32_t size);  // buffer may be null
int32_t FtpMakeDirectory(LibHandle handle, const char* path);
int32_t FtpDeleteDirectory(LibHandle handle, const char* path);
int32_t FtpGetFileTime(LibHandle handle, const char* name, SYSTEMTIME* time, uint32_t local);
int32_t FtpSetFileTime(LibHandle handle, const char* name, const SYSTEMTIME* time);  // taken as UTC
int32_t FtpQueryFileInfo(LibHandle handle, const char* name, FtpFileInfoEx* info);   // 1, or 0
int32_t FtpGetFileStatus(LibHandle handle, const char* name, FtpFileInfo* info);     // 1, or 0
int32_t FtpGetFilePermissions(LibHandle handle, const char* name, uint32_t* mode);
int32_t FtpSetFilePermissions(LibHandle handle, const char* name, uint32_t mode);

// Many files at once: the files of a remote listing, or the local files matching a mask
// ("*.*" when none). 0, or -1. A download fetches only listed names that the mask matches
// (letters without regard to case), and keeps at most 100,000 names and 16 MiB of them: a
// larger listing fails with cvErrorBufferTooSmall before anything is fetched.
int32_t FtpRetrieveMultipleFiles(LibHandle handle, const char* local, const char* remote, const char* mask);
int32_t FtpStoreMultipleFiles(LibHandle handle, const char* local, const char* remote, const char* mask);

// Background transfers: a worker thread with a session of its own (the settings of the
// caller's session) gets or puts one file and reports to callback (handle, event 1 begin,
// 512 progress or 2 end, error, parameter; the parameter is the task id when 0). Task ids,
// or 0 with the error. Transfer options as FtpRetrieveFile and FtpStoreFile take them.
uint32_t FtpStartGetTask(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::NotifyCallback callback, uintptr_t parameter);
uint32_t FtpStartPutTask(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::NotifyCallback callback, uintptr_t parameter);
uint32_t FtpAsyncGetFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::NotifyCallback callback, uintptr_t parameter);
uint32_t FtpAsyncPutFile(LibHandle handle, const char* local, const char* remote, uint32_t options, uint64_t offset,
                         cvcore::NotifyCallback callback, uintptr_t parameter);
// 1 when the task's worker ended within timeoutMs, else 0 (cvErrorTaskFinished for a
// finished task, cvErrorThreadDeadlock on the task's own thread).
int32_t FtpTaskAbort(uint32_t id, uint32_t timeoutMs);
uint32_t FtpTaskIdFromSession(LibHandle handle);  // 0 with cvErrorInvalidHandle when no task holds it
namespace cvcore {
struct TaskStatus;
}
// 4 finished, 2 suspended, 1 running, -1; status may be null.
int32_t FtpTaskGetStatus(uint32_t id, cvcore::TaskStatus* status);

// The task functions under their plain names, in the library's own namespace (another
// library of the same deliverable has its own).
namespace cvftp {
int32_t TaskWait(uint32_t id, uint32_t timeoutMs, uint32_t* elapsed, uint32_t* result);  // 1 finished
int32_t TaskWaitAll(const uint32_t* ids, int32_t count, uint32_t timeoutMs);            // ids null: all
int32_t TaskSuspend(uint32_t id);
int32_t TaskResume(uint32_t id);
uint32_t TaskIsDone(uint32_t id);    // 1, 0, or 0x8004306E
uint32_t TaskGetError(uint32_t id);  // the result, 0x8004306F running, 0x80043071 suspended
uint32_t TaskListRunning(uint32_t* ids);  // ids[128] or null
void TaskCleanupAll();
}  // namespace cvftp
