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
