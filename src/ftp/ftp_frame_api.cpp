// The FTP library's frame entry points. Session release and lookup are the library's own:
// a session freed by an event receiver while a call runs on it is only marked (its
// sockets closed) and released when that call returns, and marked sessions are no longer
// found.
#include "ftp/ftp.h"
#include "ftp/ftp_internal.h"

using cvftp::Library;

void FtpProcessAttach(void* module) { Library().ProcessAttach(module); }
void FtpProcessDetach() { Library().ProcessDetach(); }
int32_t FtpAttach(LibVersionInfo* info) { return Library().Attach(info); }
void FtpDetach() { Library().Detach(); }
uint32_t FtpIsInitialized() { return Library().IsInitialized(); }
void FtpLock() { Library().Lock(); }
void FtpUnlock() { Library().Unlock(); }
void FtpSetLastError(uint32_t code) { Library().SetLastError(code); }
uint32_t FtpGetLastError() { return Library().GetLastError(); }
uint32_t FtpSetSocketError() { return Library().SetSocketError(); }
uint32_t FtpGetErrorText(uint32_t code, char* buffer) { return Library().GetErrorText(code, buffer); }
LibHandle FtpAllocSession() { return Library().AllocSession(); }
void FtpFreeSession(LibHandle handle) { cvftp::ReleaseOrDefer(handle); }
uint32_t FtpSetHandleOwner(LibHandle handle, uint32_t threadId) { return Library().SetHandleOwner(handle, threadId); }
FtpSession* FtpFindSessionBySocket(SOCKET socket) { return Library().FindSessionBySocket(socket); }
LibHandle FtpFindHandleByWindow(HWND window) { return Library().FindHandleByWindow(window); }

namespace {

// A session found but freed by an event receiver is no session.
cvftp::Result<FtpSession*> Present(const cvftp::Result<FtpSession*>& found) noexcept {
  if (found.ok() && cvftp::Gone(*found.value())) return cvftp::kSessionGone;
  return found;
}

}  // namespace

FtpSession* FtpGetSession(LibHandle handle) {
  return cvftp::Library().Finish(Present(Library().LookupOwned(handle)), nullptr);
}

FtpSession* FtpFindSession(LibHandle handle) {
  return cvftp::Library().Finish(Present(Library().Lookup(handle)), nullptr);
}
