// Socket handles: creation and release, options, and the requests other threads make of
// a handle (cancel, abort, disconnect, reject).
#include <poll.h>

#include <cstring>

#include "platform/msg/window.h"
#include "platform/net/wsa_errors.h"
#include "sockets/inet_internal.h"

namespace cvsock {

int32_t SetBlocking(SOCKET s, bool blocking) noexcept {
  uint32_t mode = blocking ? 0 : 1;
  return SockIoctl(s, plat::kFionBio, &mode);
}

void SetLingerZero(SOCKET s) noexcept {
  const uint16_t linger[2] = {1, 0};
  SockSetOption(s, plat::kSolSocket, plat::kSoLinger, linger);
}

int32_t AbortRecord(InetSocketRecord& r) noexcept {
  if (r.busy.load()) {
    r.abortFlag.store(1);
    r.cancel.store(1);
    r.wake.Set();
    return 0;
  }
  if (r.protocol == plat::kIpProtoTcp) SetLingerZero(r.handle);
  InetReleaseHandle(r.handle);
  return 0;
}

SOCKET TakeDeferred(InetSocketRecord& listening) noexcept {
  std::lock_guard lk(Library().lock());
  SOCKET s = listening.deferred;
  listening.deferred = INVALID_SOCKET;
  return s;
}

}  // namespace cvsock

using namespace cvsock;

SOCKET InetCreateSocket(int32_t family, int32_t type, int32_t protocol) {
  {
    const uint32_t saved = InetGetLastError();
    if (Library().IsInitialized() == 0) return INVALID_SOCKET;
    InetSetLastError(saved);
  }
  SOCKET s = SockCreate(family, type, protocol);
  if (s == INVALID_SOCKET) return FailSocket(), INVALID_SOCKET;
  if (family == plat::kAfInet6 && OsMajorVersion() >= 6) {
    const int32_t off = 0;  // dual-stack unless IPv6-only is asked for
    SockSetOption(s, plat::kIpProtoIpv6, plat::kIpv6V6Only, &off);
  }
  RecordPtr r = NewRecord(s, uint32_t(family), uint32_t(type), uint32_t(protocol));
  if (!r) {
    const uint32_t err = InetGetLastError();
    SockClose(s);
    return FailHandle(err);
  }
  return s;
}

void InetReleaseHandle(SOCKET handle) {
  if (handle == INVALID_SOCKET) return;
  const uint32_t saved = InetGetLastError();
  RecordPtr r = FindRecord(handle);
  if (!r || !OwnedByCaller(*r)) {
    InetSetLastError(saved);
    return;
  }
  if (!RemoveRecord(r.get())) {  // another thread released it first
    InetSetLastError(saved);
    return;
  }
  if (r->ownWindow) {
    plat::DestroyWindow(r->ownWindow);
    r->ownWindow = nullptr;
  }
  if (SOCKET d = TakeDeferred(*r); d != INVALID_SOCKET) SockClose(d);
  ReleaseTls(*r, !r->listening);
  if (!r->listening) SockShutdownSend(handle);
  SockClose(handle);
  DestroyRecordContents(*r);
  InetReleaseThread(r->ownerThread.load());
  InetSetLastError(saved);
}

int32_t InetCancel(SOCKET handle) {
  if (handle == INVALID_SOCKET) return Fail(cvErrorOperationNotBlocking);
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail(cvErrorInvalidHandle);
  r->cancel.store(1);
  r->wake.Set();
  return 0;
}

SOCKET InetFindBlockingHandle() {
  const uint32_t me = plat::GetCurrentThreadId();
  for (const RecordPtr& r : AllRecords())
    if (r->ownerThread.load() == me && r->busy.load()) return r->handle;
  return FailHandle(cvErrorNotHandleOwner);
}

int32_t InetAbort(SOCKET handle) {
  if (handle == INVALID_SOCKET) {
    handle = InetFindBlockingHandle();
    if (handle == INVALID_SOCKET) return -1;
  }
  if (int32_t r = ServerAbortHandle(handle); r != -2) return r;
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail(cvErrorInvalidHandle);
  return AbortRecord(*r);
}

int32_t InetDisconnect(SOCKET handle) {
  InetSocketRecord* r = InetLookupHandle(handle);
  if (!r) return -1;
  // An engine socket is handed to the engine even while its thread is blocked on it:
  // the engine wakes that thread.
  if (int32_t result = ServerDisconnectHandle(handle); result != -2) return result;
  if (r->busy.load()) return Fail(cvErrorOperationInProgress);
  r->state.store(kInetStateClosing);
  InetReleaseHandle(handle);
  return 0;
}

int32_t InetReject(SOCKET handle) {
  InetSocketRecord* r = InetLookupHandle(handle);
  if (!r) return 0;
  if (r->busy.load()) return Fail(cvErrorOperationInProgress, 0);
  if (r->listening) {
    SOCKET s = TakeDeferred(*r);
    if (s == INVALID_SOCKET) {
      short revents = 0;
      int n = PollNow(handle, POLLIN, &revents);
      if (n < 0) return FailSocket(), 0;
      if (n == 0) return Fail(cvErrorOperationWouldBlock, 0);
      s = SockAcceptNoAddress(handle);
    }
    if (s == INVALID_SOCKET) return FailSocket(), 0;
    SetLingerZero(s);  // the peer sees a reset
    SockClose(s);
    return 1;
  }
  if (r->serverOwned.load() && !ServerHasClientRecord(handle)) r->serverOwned.store(0);
  return InetAbort(handle) == 0 ? 1 : 0;
}

int32_t InetSetOption(SOCKET handle, uint32_t option) {
  InetSocketRecord* r = InetLookupHandle(handle);
  if (!r) return -1;
  const int32_t on = 1;
  int32_t rc = 0;
  switch (option) {
    case 0: return 0;
    case kInetOptionBroadcast:
      if (r->family == plat::kAfInet6) {
        r->options.fetch_and(~kInetOptionBroadcast);
        return 0;
      }
      rc = SockSetOption(handle, plat::kSolSocket, plat::kSoBroadcast, &on);
      break;
    case kInetOptionDontRoute: rc = SockSetOption(handle, plat::kSolSocket, plat::kSoDontRoute, &on); break;
    case kInetOptionKeepAlive:
      if (r->connected) rc = SockSetKeepAliveValues(handle, 1, 5000, 1000);
      break;
    case kInetOptionReuseAddress: rc = SockSetOption(handle, plat::kSolSocket, plat::kSoReuseAddr, &on); break;
    case kInetOptionNoDelay: rc = SockSetOption(handle, plat::kIpProtoTcp, plat::kTcpNoDelay, &on); break;
    case kInetOptionInline: rc = SockSetOption(handle, plat::kSolSocket, plat::kSoOobInline, &on); break;
    case kInetOptionExclusive:
      // A Linux listener is exclusive already: no other socket can bind a port that one
      // listens on, SO_REUSEADDR or not.
      break;
    case kInetOptionIPv6:
      if (r->family != plat::kAfInet6) return Fail(cvErrorInvalidOption);
      if (OsMajorVersion() >= 6) rc = SockSetOption(handle, plat::kIpProtoIpv6, plat::kIpv6V6Only, &on);
      break;
    default: return Fail(cvErrorInvalidOption);
  }
  if (rc != 0) return FailSocket();
  r->options.fetch_or(option);
  return 0;
}
