// The methods of CInternetServer that act on the server as a whole: start and stop, suspend
// and resume, limits, the item queue, client look-up, name resolution, broadcasts and the
// life-cycle methods.
#include "core/errors/error_codes.h"
#include "platform/base/utf.h"
#include "tcpsrv/extras/server_extras.h"
#include "tcpsrv/ocx/buffer_variant.h"
#include "tcpsrv/ocx/internet_server.h"
#include "tcpsrv/ocx/method_args.h"

namespace tcpsrvctl {
namespace {

constexpr int32_t kMaxBacklog = 200;

std::string Utf8(const std::u16string& s) { return plat::ToUtf8(s); }

}  // namespace

HRESULT CInternetServer::Start(VARIANT localAddress, VARIANT localPort, VARIANT backlog, VARIANT maxClients,
                               VARIANT timeout, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  std::u16string address;
  int32_t port = 0, queue = 0, limit = 0, seconds = 0, flags = 0;
  if (HRESULT hr = ocx::VariantToText(localAddress, &address, s_.serverAddress.c_str()); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(localPort, s_.serverPort, &port); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(backlog, s_.backlog, &queue); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(maxClients, s_.maxClients, &limit); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(timeout, s_.timeout, &seconds); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(options, 0, &flags); FAILED(hr)) return hr;
  if (port < 0 || port > 65535) return E_INVALIDARG;
  queue = queue == 0 ? 1 : (queue < 0 || queue > kMaxBacklog) ? kMaxBacklog : queue;
  uint32_t bits = uint32_t(flags);
  if (s_.reuseAddress) bits |= kInetOptionReuseAddress;
  if (s_.noDelay) bits |= kInetOptionNoDelay;
  if (s_.keepAlive) bits |= kInetOptionKeepAlive;
  if (s_.secure) bits |= kInetOptionSecure;

  if (Running()) Stop(nullptr);

  SecCredentials* credentials = nullptr;
  if ((bits & kInetOptionSecure) &&
      !SecBuildCredentials(uint32_t(s_.secureProtocol), 0, Utf8(s_.certificateUser).c_str(),
                           Utf8(s_.certificatePassword).c_str(), Utf8(s_.certificateStore).c_str(),
                           Utf8(s_.certificateName).c_str(), &credentials))
    return MethodFailed(INVALID_SOCKET, error);
  const SOCKET h = ServerStart(Utf8(address).c_str(), uint32_t(port), uint32_t(queue), uint32_t(limit),
                               uint32_t(seconds), uint32_t(s_.priority), bits, &ServerControlCallback,
                               reinterpret_cast<uint64_t>(bridge_), credentials);
  const uint32_t startError = h == INVALID_SOCKET ? InetGetLastError() : 0;
  SecFreeCredentials(&credentials);
  if (h == INVALID_SOCKET) return MethodFailed(INVALID_SOCKET, error, startError);

  server_ = h;
  ServerSetStackSizeInet(h, uint32_t(s_.stackSize));
  if (const ServerRecord* record = ServerFindByHandle(h)) port = int32_t(record->port);
  s_.serverAddress = address;
  s_.serverPort = port;
  s_.backlog = queue;
  s_.maxClients = limit;
  s_.timeout = seconds;
  state_ = twServerListening;
  Fire_OnStart();
  return S_OK;
}

HRESULT CInternetServer::Stop(VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  if (!Running()) return S_OK;
  StopServerQuietly();
  ForgetServer();
  Fire_OnStop();
  return S_OK;
}

HRESULT CInternetServer::Suspend(VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  int32_t bits = 0;
  if (HRESULT hr = OptionalInt(options, 0, &bits); FAILED(hr)) return hr;
  if (!Running()) return MethodFailed(INVALID_SOCKET, error, cvErrorServerInactive);
  if (!ServerSuspend(server_, uint32_t(bits))) return MethodFailed(server_, error);
  state_ = twServerSuspended;
  return S_OK;
}

HRESULT CInternetServer::Resume(VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  if (!Running()) return MethodFailed(INVALID_SOCKET, error, cvErrorServerInactive);
  if (ServerGetStatus(server_) == int32_t(twServerSuspended) && !ServerResume(server_))
    return MethodFailed(server_, error);
  state_ = twServerListening;
  return S_OK;
}

HRESULT CInternetServer::Restart(VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  if (!Running()) return MethodFailed(INVALID_SOCKET, error, cvErrorServerInactive);
  ClearItemQueue();
  const SOCKET h = ServerRestart(server_);
  current_ = INVALID_SOCKET;
  ClearPending();
  if (h == INVALID_SOCKET) {
    const uint32_t code = InetGetLastError() ? InetGetLastError() : cvErrorServerInactive;
    const SOCKET old = server_;
    ForgetServer();
    return MethodFailed(old, error, code);
  }
  server_ = h;
  RefreshClientList(true);
  state_ = twServerListening;
  return S_OK;
}

HRESULT CInternetServer::Throttle(VARIANT maxClients, VARIANT perAddress, VARIANT rate, VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  int32_t limit = 0, each = 0, delay = 0;
  if (HRESULT hr = OptionalInt(maxClients, -1, &limit); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(perAddress, -1, &each); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(rate, -1, &delay); FAILED(hr)) return hr;
  if (!Running()) return MethodFailed(INVALID_SOCKET, error, cvErrorServerInactive);
  if (!ServerSetLimits(server_, limit, each, delay)) return MethodFailed(server_, error);
  return S_OK;
}

HRESULT CInternetServer::Initialize(VARIANT reserved, VARIANT* error) {
  CV_OCX_ENTRY;
  (void)reserved;
  SetLongArgument(error, 0);
  const HRESULT hr = AutoInitialize();
  if (FAILED(hr)) {
    SetLongArgument(error, int32_t(uint32_t(hr) & 0xFFFFu));
    return s_.throwError ? hr : S_OK;
  }
  return S_OK;
}

HRESULT CInternetServer::Reset() {
  CV_OCX_ENTRY;
  StopServerQuietly();
  ForgetServer();
  if (s_.trace && IsInitialized()) InetTraceStop();
  adapters_.clear();
  dispatchCount_ = 0;
  s_ = InternetServerSettings{};
  SetLastErrorCode(0);
  return S_OK;
}

HRESULT CInternetServer::Uninitialize() {
  CV_OCX_ENTRY;
  Reset();
  DetachLibraries();
  return S_OK;
}

// --- The item queue ---

HRESULT CInternetServer::Enqueue(VARIANT item, VARIANT* result) {
  CV_OCX_ENTRY;
  SetBoolArgument(result, false);
  if (ocx::IsMissingArgument(item)) return E_INVALIDARG;
  if (!Running()) return MethodFailed(INVALID_SOCKET, nullptr, cvErrorServerInactive);
  VARIANT copy;
  VariantInit(&copy);
  if (HRESULT hr = VariantCopyInd(&copy, &item); FAILED(hr)) return hr;
  if (!ServerEnqueue(server_, &copy)) {
    VariantClear(&copy);
    return MethodFailed(server_, nullptr);
  }
  SetBoolArgument(result, true);
  return S_OK;
}

HRESULT CInternetServer::Dequeue(VARIANT* item, VARIANT remove, VARIANT* result) {
  CV_OCX_ENTRY;
  SetBoolArgument(result, false);
  if (!item) return E_INVALIDARG;
  bool take = true;
  if (!ocx::IsMissingArgument(remove)) {
    VARIANT b{};
    if (HRESULT hr = VariantChangeType(&b, &remove, 0, VT_BOOL); FAILED(hr)) return hr;
    take = b.boolVal != VARIANT_FALSE;
  }
  if (!Running()) return MethodFailed(INVALID_SOCKET, nullptr, cvErrorServerInactive);
  VARIANT queued;
  uint32_t size = sizeof queued;
  InetSetLastError(0);
  if (!ServerDequeue(server_, take ? 1 : 0, &queued, &size)) {
    if (InetGetLastError() != 0) return MethodFailed(server_, nullptr);
    return S_OK;  // the queue is empty
  }
  VARIANT* target = item->vt == (VT_BYREF | VT_VARIANT) ? item->pvarVal : item;
  VariantClear(target);
  if (take) {
    *target = queued;  // the queue's copy changes hands
  } else if (HRESULT hr = VariantCopy(target, &queued); FAILED(hr)) {
    return hr;
  }
  SetBoolArgument(result, true);
  return S_OK;
}

HRESULT CInternetServer::ClearQueue(VARIANT* result) {
  CV_OCX_ENTRY;
  bool failed = false;
  ClearItemQueue(&failed);
  SetBoolArgument(result, !failed);
  return S_OK;
}

// --- Clients and names ---

HRESULT CInternetServer::FindClient(VARIANT client, VARIANT* result) {
  CV_OCX_ENTRY;
  SetLongArgument(result, -1);
  if (ocx::IsMissingArgument(client)) return E_INVALIDARG;
  if (!Running()) return S_OK;
  SOCKET found = INVALID_SOCKET;
  std::u16string name;
  if (HRESULT hr = ocx::VariantToText(client, &name); FAILED(hr)) return hr;
  if (client.vt != VT_BSTR && !(client.vt == (VT_BYREF | VT_BSTR))) {
    int32_t id = 0;
    if (SUCCEEDED(ocx::VariantToInt32(&client, &id))) found = ServerFindClientById(server_, uint32_t(id));
  }
  if (found == INVALID_SOCKET) found = ServerFindClientByName(server_, Utf8(name).c_str());
  InetSetLastError(0);
  SetLongArgument(result, int32_t(found));
  return S_OK;
}

HRESULT CInternetServer::SyncLock(VARIANT enable, VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  if (ocx::IsMissingArgument(enable)) return E_INVALIDARG;
  VARIANT b{};
  return VariantChangeType(&b, &enable, 0, VT_BOOL);
}

HRESULT CInternetServer::Resolve(VARIANT hostName, VARIANT* hostAddress, VARIANT reserved, VARIANT* error) {
  CV_OCX_ENTRY;
  (void)reserved;
  SetLongArgument(error, 0);
  if (ocx::IsMissingArgument(hostName) || !hostAddress) return E_INVALIDARG;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  std::u16string name;
  if (HRESULT hr = ocx::VariantToText(hostName, &name); FAILED(hr)) return hr;
  SockAddress a{};
  char text[64] = {};
  if (InetResolveAddress(Utf8(name).c_str(), 0, &a) < 0 || InetFormatAddress(&a, text) < 0) {
    const HRESULT hr = RaiseErrorFor(INVALID_SOCKET, 0, s_.throwError, false);
    SetLongArgument(error, int32_t(LastErrorCode() & 0xFFFFu));
    return hr;
  }
  if (!(hostAddress->vt & VT_BYREF)) VariantClear(hostAddress);
  return ocx::SetVariantStringA(hostAddress, text);
}

HRESULT CInternetServer::Broadcast(VARIANT buffer, VARIANT length, VARIANT* result) {
  CV_OCX_ENTRY;
  SetLongArgument(result, -1);
  int32_t limit = -1;
  if (HRESULT hr = OptionalInt(length, -1, &limit); FAILED(hr)) return hr;
  std::string data;
  if (HRESULT hr = SendBytes(buffer, limit, s_.byteOrder == 1, &data); FAILED(hr)) return hr;
  if (!Running()) return MethodFailed(INVALID_SOCKET, nullptr, cvErrorServerInactive);
  const int32_t n = current_ != INVALID_SOCKET
                        ? ServerBroadcastOthers(current_, data.data(), int32_t(data.size()))
                        : ServerBroadcast(server_, data.data(), int32_t(data.size()));
  if (n < 0) return MethodFailed(current_ != INVALID_SOCKET ? current_ : server_, nullptr);
  SetLongArgument(result, n);
  return S_OK;
}

}  // namespace tcpsrvctl
