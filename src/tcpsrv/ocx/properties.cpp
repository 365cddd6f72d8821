// The property accessors of CInternetServer.
#include <algorithm>
#include <cstdio>

#include "core/errors/error_codes.h"
#include "ocx/variant_args.h"
#include "platform/base/utf.h"
#include "tcpsrv/extras/server_extras.h"
#include "tcpsrv/ocx/internet_server.h"

namespace tcpsrvctl {
namespace {

HRESULT Out(const std::u16string& s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(s.data(), UINT(s.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT Out(const char* s, BSTR* out) { return Out(plat::ToUtf16(s ? s : ""), out); }

template <class T>
HRESULT Out(T value, T* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

HRESULT OutBool(bool value, VARIANT_BOOL* out) { return Out(value ? VARIANT_TRUE : VARIANT_FALSE, out); }

constexpr HRESULT kCtlErrorSetNotPermitted = HRESULT(0x800A017F);

std::u16string In(BSTR value) { return value ? std::u16string(value, SysStringLen(value)) : std::u16string(); }

std::u16string AddressText(const SockAddress& a) {
  char text[64] = {};
  if (a.family == 0 || InetFormatAddress(&a, text) < 0) return {};
  return plat::ToUtf16(text);
}

}  // namespace

// Every read accessor but the stock Enabled answers this in design mode.
#define CV_RUN_MODE_ONLY \
  CV_OCX_ENTRY;          \
  if (!IsRunMode()) return ::ocx::kCtlErrorGetNotSupported

#define CV_INIT_OR_FAIL \
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr

#define CV_STRING_PROPERTY(Name, field)                  \
  HRESULT CInternetServer::get_##Name(BSTR* value) {     \
    CV_RUN_MODE_ONLY;                                    \
    return Out(s_.field, value);                         \
  }                                                      \
  HRESULT CInternetServer::put_##Name(BSTR value) {      \
    CV_OCX_ENTRY;                                        \
    s_.field = In(value);                                \
    return S_OK;                                         \
  }

#define CV_BOOL_PROPERTY(Name, field)                        \
  HRESULT CInternetServer::get_##Name(VARIANT_BOOL* value) { \
    CV_RUN_MODE_ONLY;                                        \
    return OutBool(s_.field, value);                         \
  }                                                          \
  HRESULT CInternetServer::put_##Name(VARIANT_BOOL value) {  \
    CV_OCX_ENTRY;                                            \
    s_.field = value != VARIANT_FALSE;                       \
    return S_OK;                                             \
  }

CV_STRING_PROPERTY(CertificateName, certificateName)
CV_STRING_PROPERTY(CertificatePassword, certificatePassword)
CV_STRING_PROPERTY(CertificateStore, certificateStore)
CV_STRING_PROPERTY(CertificateUser, certificateUser)
CV_BOOL_PROPERTY(KeepAlive, keepAlive)
CV_BOOL_PROPERTY(NoDelay, noDelay)
CV_BOOL_PROPERTY(ReuseAddress, reuseAddress)
CV_BOOL_PROPERTY(Secure, secure)
CV_BOOL_PROPERTY(ThrowError, throwError)

HRESULT CInternetServer::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CInternetServer::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

HRESULT CInternetServer::get_AdapterAddress(int32_t index, BSTR* value) {
  CV_RUN_MODE_ONLY;
  CV_INIT_OR_FAIL;
  if (adapters_.empty()) {
    adapters_.assign(kInetMaxLocalAddresses, SockAddress{});
    const int32_t n = InetListLocalAddresses(adapters_.data());
    adapters_.resize(n > 0 ? size_t(n) : 0);
  }
  if (index < 0 || size_t(index) >= adapters_.size() || adapters_[size_t(index)].family == 0) return E_INVALIDARG;
  return Out(AddressText(adapters_[size_t(index)]), value);
}

HRESULT CInternetServer::get_AdapterCount(int32_t* value) {
  CV_RUN_MODE_ONLY;
  CV_INIT_OR_FAIL;
  adapters_.assign(kInetMaxLocalAddresses, SockAddress{});
  const int32_t n = InetListLocalAddresses(adapters_.data());
  adapters_.resize(n > 0 ? size_t(n) : 0);
  return Out(int32_t(adapters_.size()), value);
}

HRESULT CInternetServer::get_Backlog(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.backlog, value);
}

HRESULT CInternetServer::put_Backlog(int32_t value) {
  CV_OCX_ENTRY;
  s_.backlog = value <= 0 ? 1 : value > 200 ? 200 : value;
  return S_OK;
}

HRESULT CInternetServer::get_ByteOrder(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.byteOrder, value);
}

HRESULT CInternetServer::put_ByteOrder(int32_t value) {
  CV_OCX_ENTRY;
  s_.byteOrder = value;
  return S_OK;
}

HRESULT CInternetServer::get_ClientAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  SockAddress a{};
  uint32_t port = 0;
  if (current_ == INVALID_SOCKET || InetGetPeerAddress(current_, &a, &port) < 0) return Out(u"", value);
  return Out(AddressText(a), value);
}

HRESULT CInternetServer::get_ClientCount(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = RefreshClientList(true); FAILED(hr)) return hr;
  return Out(int32_t(clientList_.size()), value);
}

HRESULT CInternetServer::get_ClientHandle(int32_t index, int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = RefreshClientList(false); FAILED(hr)) return hr;
  if (index < 0 || size_t(index) >= clientList_.size()) return ocx::kCtlErrorInvalidPropertyIndex;
  return Out(int32_t(clientList_[size_t(index)]), value);
}

HRESULT CInternetServer::get_ClientHost(BSTR* value) {
  CV_RUN_MODE_ONLY;
  SockAddress a{};
  uint32_t port = 0;
  if (current_ == INVALID_SOCKET || InetGetPeerAddress(current_, &a, &port) < 0) return Out(u"", value);
  char name[256] = {};
  if (InetFormatHostName(&a, name) < 0) return PropertyFailed();
  return Out(name, value);
}

HRESULT CInternetServer::get_ClientId(int32_t* value) {
  CV_RUN_MODE_ONLY;
  auto it = clientIds_.find(current_);
  return Out(int32_t(it == clientIds_.end() ? 0 : it->second), value);
}

HRESULT CInternetServer::get_ClientName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  auto it = clientNames_.find(current_);
  return Out(it == clientNames_.end() ? std::u16string() : it->second, value);
}

HRESULT CInternetServer::put_ClientName(BSTR value) {
  CV_OCX_ENTRY;
  if (current_ == INVALID_SOCKET) return kCtlErrorSetNotPermitted;
  const std::u16string name = In(value);
  if (ServerSetClientName(current_, plat::ToUtf8(name).c_str()) != 0) return PropertyFailed();
  clientNames_[current_] = name;
  return S_OK;
}

HRESULT CInternetServer::get_ClientPort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  SockAddress a{};
  uint32_t port = 0;
  if (current_ == INVALID_SOCKET || InetGetPeerAddress(current_, &a, &port) < 0) port = 0;
  return Out(int32_t(port), value);
}

HRESULT CInternetServer::get_ClientThread(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (current_ == INVALID_SOCKET) return ocx::kCtlErrorGetNotSupported;
  return Out(int32_t(ServerGetClientThreadId(current_)), value);
}

HRESULT CInternetServer::get_ExternalAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  CV_INIT_OR_FAIL;
  SockAddress a{};
  if (InetGetExternalAddress4(&a) != 0) return Out(u"", value);
  return Out(AddressText(a), value);
}

HRESULT CInternetServer::get_IsActive(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(Running(), value);
}

HRESULT CInternetServer::get_IsBlocked(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(current_ != INVALID_SOCKET && InetIsBlocked(current_), value);
}

HRESULT CInternetServer::get_IsClosed(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(current_ != INVALID_SOCKET && InetIsClosed(current_), value);
}

HRESULT CInternetServer::get_IsInitialized(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(IsInitialized(), value);
}

HRESULT CInternetServer::get_IsListening(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(state_ == twServerListening, value);
}

HRESULT CInternetServer::get_IsLocked(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(false, value);
}

HRESULT CInternetServer::get_IsReadable(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(current_ != INVALID_SOCKET && InetIsReadable(current_), value);
}

HRESULT CInternetServer::get_IsWritable(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(current_ != INVALID_SOCKET && InetIsWritable(current_), value);
}

HRESULT CInternetServer::get_LastError(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(LastErrorCode() & 0xFFFFu), value);
}

HRESULT CInternetServer::put_LastError(int32_t value) {
  CV_OCX_ENTRY;
  uint32_t code = uint32_t(value);
  if (code >= 1 && code <= 0xFFFF) code |= kCvErrorBase;
  SetLastErrorCode(code);
  if (IsInitialized()) InetSetLastError(code);
  return S_OK;
}

HRESULT CInternetServer::get_LastErrorString(BSTR* value) {
  CV_RUN_MODE_ONLY;
  char text[128] = {};
  const uint32_t code = LastErrorCode();
  if (code == 0 || !InetGetErrorText(code, text, sizeof text) || !text[0])
    std::snprintf(text, sizeof text, "Undefined control error (0x%08X)", code);
  return Out(text, value);
}

HRESULT CInternetServer::get_MaxClients(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.maxClients, value);
}

HRESULT CInternetServer::put_MaxClients(int32_t value) {
  CV_OCX_ENTRY;
  s_.maxClients = value;
  if (Running() && !ServerSetLimits(server_, value, -1, -1)) return PropertyFailed();
  return S_OK;
}

HRESULT CInternetServer::get_Priority(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (Running()) {
    const int32_t p = current_ != INVALID_SOCKET ? ServerGetClientPriority(current_) : ServerGetPriority(server_);
    if (p >= 0) return Out(p, value);
  }
  return Out(s_.priority, value);
}

HRESULT CInternetServer::put_Priority(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 4) return ocx::kCtlErrorInvalidPropertyValue;
  s_.priority = value;
  if (Running()) {
    if (current_ != INVALID_SOCKET && ServerSetClientPriority(current_, uint32_t(value)) < 0) return PropertyFailed();
    if (ServerSetPriority(server_, uint32_t(value)) < 0) return PropertyFailed();
  }
  return S_OK;
}

HRESULT CInternetServer::get_QueueCount(int32_t* value) {
  CV_RUN_MODE_ONLY;
  const int32_t n = Running() ? ServerGetQueueCount(server_) : 0;
  return Out(n < 0 ? 0 : n, value);
}

HRESULT CInternetServer::get_SecureProtocol(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.secure ? s_.secureProtocol : 0, value);
}

HRESULT CInternetServer::put_SecureProtocol(int32_t value) {
  CV_OCX_ENTRY;
  s_.secureProtocol = value;
  s_.secure = value != 0;
  return S_OK;
}

HRESULT CInternetServer::get_ServerAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.serverAddress, value);
}

HRESULT CInternetServer::put_ServerAddress(BSTR value) {
  CV_OCX_ENTRY;
  const std::u16string text = In(value);
  if (text.empty() || !IsRunMode()) return S_OK;
  CV_INIT_OR_FAIL;
  SockAddress a{};
  if (InetParseAddress(plat::ToUtf8(text).c_str(), 0, &a) < 0) return PropertyFailed();
  s_.serverAddress = AddressText(a);
  return S_OK;
}

HRESULT CInternetServer::get_ServerHandle(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(server_), value);
}

HRESULT CInternetServer::get_ServerName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  CV_INIT_OR_FAIL;
  char name[128] = {};
  if (InetGetHostName128(name) < 0) return PropertyFailed();
  return Out(name, value);
}

HRESULT CInternetServer::get_ServerPort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.serverPort, value);
}

HRESULT CInternetServer::put_ServerPort(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 65535) return ocx::kCtlErrorInvalidPropertyValue;
  s_.serverPort = value;
  return S_OK;
}

HRESULT CInternetServer::get_ServerThread(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(Running() ? ServerGetThreadId(server_) : 0), value);
}

HRESULT CInternetServer::get_StackSize(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.stackSize, value);
}

HRESULT CInternetServer::put_StackSize(int32_t value) {
  CV_OCX_ENTRY;
  s_.stackSize = value == 0 ? kDefaultStackSize : std::clamp(value, 0x40000, 0x800000);
  if (Running()) ServerSetStackSizeInet(server_, uint32_t(s_.stackSize));
  return S_OK;
}

HRESULT CInternetServer::get_State(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(state_, value);
}

HRESULT CInternetServer::get_Timeout(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (current_ != INVALID_SOCKET) {
    const int32_t t = InetGetTimeout(current_);
    if (t < 0) return PropertyFailed();
    return Out(t, value);
  }
  return Out(s_.timeout, value);
}

HRESULT CInternetServer::put_Timeout(int32_t value) {
  CV_OCX_ENTRY;
  if (current_ != INVALID_SOCKET) {
    if (InetSetTimeout(current_, uint32_t(value)) < 0) return PropertyFailed();
    return S_OK;
  }
  s_.timeout = value;
  return S_OK;
}

HRESULT CInternetServer::get_Trace(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.trace, value);
}

HRESULT CInternetServer::put_Trace(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  const bool on = value != VARIANT_FALSE;
  if (IsInitialized()) {
    if (on) {
      s_.trace = true;
      StartTrace();
    } else if (s_.trace) {
      InetTraceStop();
      s_.trace = false;
    }
    return S_OK;
  }
  s_.trace = on;
  return S_OK;
}

HRESULT CInternetServer::get_TraceFile(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.traceFile, value);
}

HRESULT CInternetServer::put_TraceFile(BSTR value) {
  CV_OCX_ENTRY;
  s_.traceFile = In(value);
  if (s_.trace && IsInitialized()) {
    InetTraceStop();
    StartTrace();
  }
  return S_OK;
}

HRESULT CInternetServer::get_TraceFlags(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.traceFlags, value);
}

HRESULT CInternetServer::put_TraceFlags(int32_t value) {
  CV_OCX_ENTRY;
  s_.traceFlags = value;
  if (s_.trace && IsInitialized()) {
    InetTraceStop();
    StartTrace();
  }
  return S_OK;
}

HRESULT CInternetServer::get_Version(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (version_.empty()) {
    version_ = ocx::VersionText(Descriptor());
  }
  return Out(version_, value);
}

}  // namespace tcpsrvctl
