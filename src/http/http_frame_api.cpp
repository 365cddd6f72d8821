// The HTTP library's frame entry points.
#include "http/http.h"
#include "http/http_library.h"

using cvhttp::Library;

void HttpProcessAttach(void* module) { Library().ProcessAttach(module); }
void HttpProcessDetach() { Library().ProcessDetach(); }
int32_t HttpAttach(LibVersionInfo* info) { return Library().Attach(info); }
void HttpDetach() { Library().Detach(); }
uint32_t HttpIsInitialized() { return Library().IsInitialized(); }
void HttpLock() { Library().Lock(); }
void HttpUnlock() { Library().Unlock(); }
void HttpSetLastError(uint32_t code) { Library().SetLastError(code); }
uint32_t HttpGetLastError() { return Library().GetLastError(); }
uint32_t HttpSetSocketError() { return Library().SetSocketError(); }
uint32_t HttpGetErrorText(uint32_t code, char* buffer) { return Library().GetErrorText(code, buffer); }

LibHandle HttpAllocSession() { return Library().AllocSession(); }
void HttpFreeSession(LibHandle handle) { Library().FreeSession(handle); }
HttpClientSession* HttpGetSession(LibHandle handle) { return Library().GetSession(handle); }
HttpClientSession* HttpFindSession(LibHandle handle) { return Library().FindSession(handle); }
uint32_t HttpSetHandleOwner(LibHandle handle, uint32_t threadId) { return Library().SetHandleOwner(handle, threadId); }
HttpClientSession* HttpFindSessionBySocket(SOCKET socket) { return Library().FindSessionBySocket(socket); }
LibHandle HttpFindSessionByWindow(HWND window) { return Library().FindHandleByWindow(window); }
