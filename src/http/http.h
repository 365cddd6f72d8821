#pragma once
// The HTTP client library's C-style interface: handles, integer results, and the error in
// the library's per-thread last error.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "http/http_session.h"
#include "platform/types.h"

// Library frame.
void HttpProcessAttach(void* module);
void HttpProcessDetach();
int32_t HttpAttach(LibVersionInfo* info);  // 1 success, 0 failure
void HttpDetach();
uint32_t HttpIsInitialized();
void HttpLock();
void HttpUnlock();
void HttpSetLastError(uint32_t code);
uint32_t HttpGetLastError();
uint32_t HttpSetSocketError();
uint32_t HttpGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null

// Sessions.
LibHandle HttpAllocSession();
void HttpFreeSession(LibHandle handle);
HttpClientSession* HttpGetSession(LibHandle handle);
HttpClientSession* HttpFindSession(LibHandle handle);
uint32_t HttpSetHandleOwner(LibHandle handle, uint32_t threadId);
HttpClientSession* HttpFindSessionBySocket(SOCKET socket);
LibHandle HttpFindSessionByWindow(HWND window);
