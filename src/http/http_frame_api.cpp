// The HTTP library's frame entry points. Session release and lookup are the library's own:
// a session freed by an event receiver while a call runs on it is only marked (its socket
// closed) and released when that call returns, and marked sessions are no longer found.
#include "http/http.h"
#include "http/http_internal.h"

using cvhttp::kSessionGone;
using cvhttp::Library;
using cvhttp::Result;

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
void HttpFreeSession(LibHandle handle) { cvhttp::ReleaseOrDefer(handle); }
uint32_t HttpSetHandleOwner(LibHandle handle, uint32_t threadId) { return Library().SetHandleOwner(handle, threadId); }
LibHandle HttpFindSessionByWindow(HWND window) { return Library().FindHandleByWindow(window); }

namespace {

// A session marked for release by an event receiver is no longer found.
Result<HttpClientSession*> Live(Result<HttpClientSession*> found) noexcept {
  if (found.ok() && cvhttp::Gone(*found.value())) return kSessionGone;
  return found;
}

}  // namespace

HttpClientSession* HttpFindSessionBySocket(SOCKET socket) {
  return cvhttp::Finish(Live(Library().LookupBySocket(socket)), nullptr);
}

HttpClientSession* HttpGetSession(LibHandle handle) {
  return cvhttp::Finish(Live(Library().LookupOwned(handle)), nullptr);
}

HttpClientSession* HttpFindSession(LibHandle handle) { return cvhttp::Finish(Live(Library().Lookup(handle)), nullptr); }
