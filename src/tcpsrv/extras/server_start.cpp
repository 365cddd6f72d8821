// The TCP server control's own server start: the engine's listener with the caller's
// backlog, limits, time-out, priority and options, an optional callback window through
// which every notification runs on the starting thread, and TLS credentials.
#include <cstring>

#include "platform/base/tick.h"
#include "platform/msg/window.h"
#include "sockets/server/server_internal.h"
#include "tcpsrv/extras/server_extras.h"

void* InetWindowInstance();  // the socket library's window-class instance

using namespace cvsock;

namespace {

// The numeric text the listener binds (and re-binds on restart).
bool AddressText(const char* address, uint32_t options, SockAddress* a, char (&text)[64]) {
  const uint32_t family = (options & kInetOptionIPv6) ? uint32_t(plat::kAfInet6) : 0u;
  if (InetResolveAddress(address ? address : "", family, a) < 0) return false;
  text[0] = '\0';
  if (!InetIsAnyAddress(a) || a->family == uint32_t(plat::kAfInet6)) InetFormatAddress(a, text);
  if (a->family == uint32_t(plat::kAfInet6) && InetIsAnyAddress(a)) std::strcpy(text, "::");
  return true;
}

// The credentials the record keeps: the caller's, or a head naming the certificate after
// the address; the certificate must be found before the server starts.
SecCredentials* ServerCredentials(const SecCredentials* given, const char* addressText) {
  SecCredentials head{};
  head.headSize = 64;
  head.certName = const_cast<char*>(addressText);
  SecCredentials* copy = SecCopyCredentials(given ? given : &head);
  if (!copy) return Fail<SecCredentials*>(cvErrorOutOfMemory, nullptr);
  if (copy->protocolMask == 0) copy->protocolMask = plat::kTlsProtocolTls12;
  if (!SecCheckCertificate(copy->certStore, copy->certPassword, copy->certName)) {
    const uint32_t err = InetGetLastError();
    SecFreeCredentials(&copy);
    return Fail<SecCredentials*>(err, nullptr);
  }
  return copy;
}

}  // namespace

HWND InetCreateCallbackWindow(SOCKET listening) {
  RecordPtr r = FindRecord(listening);
  if (!r) return Fail<HWND>(cvErrorInvalidHandle, nullptr);
  if (!r->ownWindow) {
    r->ownWindow = plat::CreateWindowEx(0, InetWindowClassName(), "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr,
                                        InetWindowInstance(), nullptr);
    if (!r->ownWindow) return Fail<HWND>(cvErrorOutOfMemory, nullptr);
  }
  return r->ownWindow;
}

SOCKET ServerStart(const char* address, uint32_t port, uint32_t backlog, uint32_t maxClients, uint32_t timeout,
                   uint32_t priority, uint32_t options, ServerEventCallback callback, uint64_t userData,
                   const SecCredentials* credentials) {
  {
    const uint32_t saved = InetGetLastError();
    if (Library().IsInitialized() == 0) return INVALID_SOCKET;
    InetSetLastError(saved);
  }
  if ((options & kInetOptionSecure) && !SecLoadServerProvider()) return INVALID_SOCKET;
  if (priority > twPriorityCritical) return FailHandle(cvErrorInvalidParameter);
  SockAddress a{};
  char text[64];
  if (!AddressText(address, options, &a, text)) return INVALID_SOCKET;

  SecCredentials* copy = nullptr;
  if (options & kInetOptionSecure) {
    copy = ServerCredentials(credentials, text);
    if (!copy) return INVALID_SOCKET;
  }
  ServerPtr s = ServerCreateRecord();
  if (!s) {
    SecFreeCredentials(&copy);
    return INVALID_SOCKET;
  }
  const SOCKET h = InetListen(text, port, backlog, options | kInetOptionAnyThread);
  if (h == INVALID_SOCKET) {
    uint32_t err = InetGetLastError();
    // Linux answers "in use" where an exclusively held port answers "access denied".
    if ((options & kInetOptionExclusive) && (err == cvErrorAccessDenied || err == cvErrorAddressInUse))
      err = cvErrorServerPortBound;
    SecFreeCredentials(&copy);
    ServerFreeRecord(s.get());
    return FailHandle(err);
  }
  s->serverHandle.store(h);
  RecordPtr listening = FindRecord(h);
  listening->serverOwned.store(1);
  if (options & kInetOptionCallbackWindow) {
    HWND w = InetCreateCallbackWindow(h);
    if (!w) {
      const uint32_t err = InetGetLastError();
      SecFreeCredentials(&copy);
      ServerFreeRecord(s.get());
      return FailHandle(err);
    }
    s->callbackWindow.store(w);
  }
  s->address = a;
  std::memcpy(s->addressText, text, sizeof s->addressText);  // both 64 bytes, text terminated
  s->port = listening->localPort;
  s->backlog = backlog;
  s->maxClients.store(maxClients);
  s->status.store(twServerStarted);
  s->priority.store(priority);
  s->clientOptions.store(options & ~kInetOptionCallbackWindow);
  s->clientTimeout.store(timeout);
  s->clientStackSize.store(kServerDefaultStack);
  s->startTick = plat::GetTickCount();
  s->callback = callback;
  s->userData = userData;
  {
    std::lock_guard lk(Library().lock());
    s->credentials = copy;
  }

  plat::Thread::Options threadOptions;
  threadOptions.stackSize = kServerDefaultStack;
  threadOptions.suspended = true;
  std::shared_ptr<plat::Thread> t = plat::Thread::Create([s] { return ListenerMain(s); }, threadOptions);
  if (!t) {
    ServerFreeRecord(s.get());
    return FailHandle(cvErrorThreadCreationFailed);
  }
  s->listenerThread = t;
  s->listenerThreadId.store(t->id());
  SetThreadPriorityOf(t->id(), priority);
  t->Resume();
  plat::Sleep(50);
  return h;
}

int32_t ServerSetStackSizeInet(SOCKET server, uint32_t bytes) { return ServerSetStackSize(server, bytes); }
