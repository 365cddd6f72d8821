// Construction and release, error reporting, the engine callback and the event dispatcher
// of CInternetServer.
#include "tcpsrv/ocx/internet_server.h"

#include "core/errors/error_codes.h"
#include "core/trace/trace.h"
#include "ocx/variant_args.h"
#include "platform/base/tick.h"
#include "platform/msg/msg.h"
#include "tcpsrv/extras/server_extras.h"
#include "tcpsrv/ocx/guids.h"
#include "tcpsrv/ocx/libraries.h"
#include "tcpsrv/ocx/method_args.h"

namespace tcpsrvctl {

const ocx::ControlDescriptor kInternetServerDescriptor{
    CLSID_InternetServer,
    IID_IInternetServer,
    DIID__IInternetServerEvents,
    LIBID_InternetServerCtl,
    "Corvanetics.InternetServer.9",
    "Corvanetics.InternetServer",
    "Tarnwheeler Internet Server Control 9.5",
    132497,
    {uint16_t(kLibVersionMajor), uint16_t(kLibVersionMinor), uint16_t(kLibVersionBuild), 0},
    &InternetServerTypeLibrary,
};

namespace {

constexpr uint32_t kPauseEvery = 52;
constexpr uint32_t kErrorNotConnected = 0x80042749u;

LPARAM MakeLong(uint32_t low, uint32_t high) { return LPARAM(uint32_t((low & 0xFFFFu) | ((high & 0xFFFFu) << 16))); }

}  // namespace

CInternetServer::CInternetServer(IUnknown* outer)
    : Control(outer, kInternetServerDescriptor, kLibraries, {0, nullptr}), bridge_(new CallbackBridge) {
  bridge_->control.store(this);
}

CInternetServer::~CInternetServer() {
  if (bridge_) delete bridge_;
}

void CInternetServer::FinalRelease() {
  // No engine thread may reach the control from here on; one already inside the callback
  // is served until it has left.
  bridge_->control.store(nullptr);
  releasing_ = true;  // notifications served from here on fire nothing
  StopServerQuietly();
  while (bridge_->inFlight.load() > 0) plat::WaitForEventsOrMessages(nullptr, 0, 10);
  // A server whose threads did not end keeps the bridge: it must stay valid for them.
  if (server_ != INVALID_SOCKET && ServerGetStatus(server_) >= 0) bridge_ = nullptr;
  ForgetServer();
  if (s_.trace && IsInitialized()) InetTraceStop();
  window_.store(nullptr);
  Control::FinalRelease();
  DetachLibraries();
}

HRESULT CInternetServer::FreezeEvents(BOOL freeze) {
  const HRESULT hr = Control::FreezeEvents(freeze);
  frozen_.store(FreezeCount());
  // The clients whose events were held wait for the host to take them: a thaw sends them
  // now rather than when some later event happens to arrive.
  if (!freeze && FreezeCount() == 0 && Window()) DeliverPending();
  return hr;
}

void CInternetServer::OnLibrariesAttached() {
  window_.store(Window());
  if (s_.trace) StartTrace();
}

void CInternetServer::StartTrace() {
  const std::string file = ocx::Utf16ToUtf8(s_.traceFile);
  s_.trace = InetTraceStart(s_.traceFile.empty() ? nullptr : file.c_str(), s_.traceFlags | kTraceProcess) != 0;
}

// --- Errors ---

HRESULT CInternetServer::RaiseErrorFor(SOCKET handle, uint32_t code, bool returnFlag, bool fireFlag) {
  CV_OCX_ENTRY;
  if (code == 0) code = InetGetLastError();
  if (code == 0) return S_OK;
  if (code == cvErrorInvalidHandle) {
    if (!Running()) code = cvErrorServerInactive;
    else if (current_ != INVALID_SOCKET) code = kErrorNotConnected;
  }
  InetSetLastError(code);
  errorHandle_ = handle;
  const HRESULT hr = RaiseError(code, returnFlag, fireFlag);
  errorHandle_ = INVALID_SOCKET;
  return hr;
}

HRESULT CInternetServer::MethodFailed(SOCKET handle, VARIANT* error, uint32_t code) {
  if (code == 0) code = InetGetLastError();
  const HRESULT hr = RaiseErrorFor(handle, code, s_.throwError, true);
  SetLongArgument(error, int32_t(LastErrorCode() & 0xFFFFu));
  return hr;
}

HRESULT CInternetServer::PropertyFailed(uint32_t code) {
  return RaiseErrorFor(current_, code, true, false);
}

void CInternetServer::FireError(uint32_t code, BSTR text) {
  Fire_OnError(int32_t(errorHandle_), int32_t(code & 0xFFFFu), text);
}

// --- Engine notifications ---

void CInternetServer::ServerControlCallback(uint64_t handle, uint32_t event, uint32_t error, uint64_t userData) {
  auto* bridge = reinterpret_cast<CallbackBridge*>(userData);
  if (!bridge) return;
  bridge->inFlight.fetch_add(1);
  if (CInternetServer* control = bridge->control.load()) control->EngineNotification(handle, event, error);
  bridge->inFlight.fetch_sub(1);
}

// On an engine thread: queued while the control's events are frozen, and behind the
// notifications queued before it, else sent, so that the engine thread waits for the
// host's handler. Only the control's thread takes queued notifications, in order and only
// while its events are not frozen: one taken by another thread could reach a frozen host,
// which would queue it again behind later ones while its client already went on.
void CInternetServer::EngineNotification(uint64_t handle, uint32_t event, uint32_t error) {
  HWND window = window_.load();
  if (!window) return;
  const Notification n{kNotifyMessage, WPARAM(handle), MakeLong(event, error)};
  // An accept goes out at once unless frozen: its handler can still refuse the connection.
  if (frozen_.load() > 0 || (event != kServerEventAccept && pending_.Count() > 0)) {
    if (pending_.Queue(n)) ServerDeferCurrentEvent();
    // The host may have thawed and drained the queue before the queueing: then nobody
    // else would take what is queued now.
    if (frozen_.load() == 0) plat::SendMessage(window, kDrainMessage, 0, 0);
    return;
  }
  if (plat::SendMessage(window, n.message, n.wParam, n.lParam) == kQueued) ServerDeferCurrentEvent();
}

// A queued event leaves its client's thread waiting until the host has handled it (and,
// for a read, read what it wanted): only then does the client go on.
void CInternetServer::Taken(const Notification& n) {
  if ((uint32_t(n.lParam) & 0xFFFFu) != kServerEventAccept) ServerEventTaken(SOCKET(n.wParam));
}

void CInternetServer::ClearPending() {
  while (std::optional<Notification> n = pending_.Pop()) Taken(*n);
}

LRESULT CInternetServer::OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) {
  *handled = msg == kNotifyMessage || msg == kDrainMessage;
  if (msg == kNotifyMessage) return OnServerEvent(wParam, lParam);
  if (msg == kDrainMessage && FreezeCount() == 0) DeliverPending();
  return 0;
}

LRESULT CInternetServer::OnServerEvent(WPARAM wParam, LPARAM lParam) {
  if (!Running() || releasing_) return 0;
  // Sent while frozen (the host waits inside a handler): queued, or, when the same event of
  // the client is queued already, merged with it (and so taken as handled).
  if (FreezeCount() >= 1) return pending_.Queue({kNotifyMessage, wParam, lParam}) ? kQueued : 0;
  if (++dispatchCount_ % kPauseEvery == 0) plat::Sleep(1);
  FreezeEvents(1);
  current_ = SOCKET(wParam);
  const uint32_t event = uint32_t(lParam) & 0xFFFFu;
  const uint32_t error = (uint32_t(lParam) >> 16) & 0xFFFFu;
  if (error != 0) RaiseErrorFor(current_, kCvErrorBase | error, false, true);
  else DispatchServerEvent(SOCKET(wParam), event);
  current_ = INVALID_SOCKET;
  FreezeEvents(0);
  if (FreezeCount() == 0) DeliverPending();
  return 0;
}

void CInternetServer::DispatchServerEvent(SOCKET handle, uint32_t event) {
  switch (event) {
    case kServerEventAccept:
      if (!InetIsKnownHandle(handle)) break;
      current_ = ServerGetAcceptingSocket(server_);
      Fire_OnAccept(int32_t(handle));
      break;
    case kServerEventConnect:
      if (!InetIsKnownHandle(handle)) break;
      RefreshClientList(false);
      clientIds_[handle] = ServerGetClientId(handle);
      clientNames_[handle] = u"";
      Fire_OnConnect(int32_t(handle));
      break;
    case kServerEventDisconnect:
      Fire_OnDisconnect(int32_t(handle));
      clientIds_.erase(handle);
      clientNames_.erase(handle);
      RefreshClientList(false);
      if (Running() && ServerGetClientCount(server_) < 2) Fire_OnIdle();
      break;
    case kServerEventRead:
      if (InetIsKnownHandle(handle) && !InetIsClosed(handle)) Fire_OnRead(int32_t(handle));
      break;
    case kServerEventWrite:
      if (InetIsKnownHandle(handle)) Fire_OnWrite(int32_t(handle));
      break;
    default: break;
  }
}

// Sends the held notifications to the control's own window, oldest first; each is handled
// by OnServerEvent again. One drain at a time, so that a long queue does not nest handlers.
void CInternetServer::DeliverPending() {
  if (draining_) return;
  draining_ = true;
  while (FreezeCount() == 0 && Window()) {
    std::optional<Notification> n = pending_.Pop();
    if (!n) break;
    plat::SendMessage(Window(), n->message, n->wParam, n->lParam);
    Taken(*n);
  }
  draining_ = false;
}

HRESULT CInternetServer::RefreshClientList(bool rebuild) {
  int32_t count = Running() ? ServerListClients(server_, nullptr, 0) : 0;
  if (count < 0) count = 0;
  if (rebuild || size_t(count) != clientList_.size()) {
    clientList_.clear();
    clientListCached_ = false;
  }
  if (count == 0) {
    clientNames_.clear();
    clientIds_.clear();
    return S_OK;
  }
  if (clientListCached_) return S_OK;
  // Clients may arrive between counting and listing: count again then.
  for (int attempt = 0; attempt < 3; ++attempt) {
    clientList_.assign(size_t(count), 0);
    const int32_t got = ServerListClients(server_, clientList_.data(), uint32_t(clientList_.size()));
    if (got >= 0) {
      clientList_.resize(size_t(got));
      clientListCached_ = true;
      return S_OK;
    }
    if (InetGetLastError() != cvErrorBufferTooSmall) break;
    count = ServerListClients(server_, nullptr, 0) + 1;
  }
  clientList_.clear();
  return PropertyFailed();
}

void CInternetServer::ClearItemQueue(bool* failed) {
  if (failed) *failed = false;
  if (!Running()) return;
  for (;;) {
    VARIANT item;
    uint32_t size = sizeof item;
    if (!ServerDequeue(server_, 1, &item, &size)) {
      if (failed && InetGetLastError() != 0 && ServerGetQueueCount(server_) > 0) *failed = true;
      return;
    }
    VariantClear(&item);
  }
}

void CInternetServer::ForgetServer() {
  server_ = INVALID_SOCKET;
  current_ = INVALID_SOCKET;
  state_ = twServerInactive;
  ClearPending();
  RefreshClientList(true);
}

// Stops a running server without events (final release, Reset).
void CInternetServer::StopServerQuietly() {
  if (!Running()) return;
  ClearItemQueue();
  ServerStop(server_);
}

// --- Methods of the object ---

HRESULT CInternetServer::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CInternetServer::HandleArgument(const VARIANT& arg, SOCKET* handle) {
  if (ocx::IsMissingArgument(arg)) return E_INVALIDARG;
  int32_t value = 0;
  if (HRESULT hr = ocx::VariantToInt32(&arg, &value); FAILED(hr)) return hr;
  *handle = SOCKET(value);
  return S_OK;
}

}  // namespace tcpsrvctl
