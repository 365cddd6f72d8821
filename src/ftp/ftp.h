#pragma once
// The FTP client library's C-style interface: handles, integer results, and the error in
// the library's per-thread last error.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "ftp/ftp_session.h"
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
