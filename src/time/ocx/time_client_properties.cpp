// The property accessors of CTimeClient.
#include <cstdio>
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/errors/error_texts.h"
#include "core/url/sock_address.h"
#include "mail/names/netnames.h"
#include "ocx/variant_args.h"
#include "platform/base/last_error.h"
#include "time/ocx/date_text.h"
#include "time/ocx/time_client.h"
#include "time/time.h"

namespace timectl {
namespace {

constexpr uint32_t kAddressTextSize = 64;

HRESULT Out(const std::u16string& s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(s.data(), UINT(s.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT Out(const char* s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = ocx::Utf8ToUtf16(s);
  if (!*out) *out = SysAllocString(u"");
  return *out ? S_OK : E_OUTOFMEMORY;
}

template <class T>
HRESULT Out(T value, T* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

HRESULT OutBool(bool value, VARIANT_BOOL* out) { return Out(value ? VARIANT_TRUE : VARIANT_FALSE, out); }

std::u16string In(BSTR value) { return value ? std::u16string(value, SysStringLen(value)) : std::u16string(); }

std::u16string Widen(const char* text) {
  BSTR b = ocx::Utf8ToUtf16(text);
  std::u16string out = In(b);
  SysFreeString(b);
  return out;
}

// The numeric text of an address, or empty.
std::u16string AddressText(const SockAddress& a) {
  char text[kAddressTextSize] = {};
  if (!SockInetNtop(int32_t(a.family), a.address, text, sizeof text)) return {};
  return Widen(text);
}

}  // namespace

// Every read accessor but the stock Enabled answers this in design mode.
#define CV_RUN_MODE_ONLY \
  CV_OCX_ENTRY;          \
  if (!IsRunMode()) return ::ocx::kCtlErrorGetNotSupported

#define CV_STRING_PROPERTY(Name, field)            \
  HRESULT CTimeClient::get_##Name(BSTR* value) {   \
    CV_RUN_MODE_ONLY;                              \
    return Out(s_.field, value);                   \
  }

#define CV_BOOL_PROPERTY(Name, field)                      \
  HRESULT CTimeClient::get_##Name(VARIANT_BOOL* value) {   \
    CV_RUN_MODE_ONLY;                                      \
    return OutBool(s_.field, value);                       \
  }                                                        \
  HRESULT CTimeClient::put_##Name(VARIANT_BOOL value) {    \
    CV_OCX_ENTRY;                                          \
    s_.field = value != VARIANT_FALSE;                     \
    return S_OK;                                           \
  }

#define CV_CONSTANT_LONG(Name, constant)           \
  HRESULT CTimeClient::get_##Name(int32_t* value) { \
    CV_RUN_MODE_ONLY;                              \
    return Out(int32_t(constant), value);          \
  }

HRESULT CTimeClient::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CTimeClient::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

CV_BOOL_PROPERTY(AutoResolve, autoResolve)
CV_BOOL_PROPERTY(ThrowError, throwError)
CV_STRING_PROPERTY(HostAddress, hostAddress)
CV_STRING_PROPERTY(HostName, hostName)
CV_STRING_PROPERTY(TraceFile, traceFile)
CV_CONSTANT_LONG(Handle, -1)  // the time library has no sessions
CV_CONSTANT_LONG(LocalPort, 0)
CV_CONSTANT_LONG(State, 0)

HRESULT CTimeClient::get_IsBlocked(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(false, value);
}

HRESULT CTimeClient::get_IsInitialized(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(IsInitialized(), value);
}

// ---- host properties ----

HRESULT CTimeClient::put_HostName(BSTR value) {
  CV_OCX_ENTRY;
  s_.hostName = In(value);
  if (s_.hostName.empty()) return S_OK;
  s_.hostAddress.clear();
  if (!IsRunMode()) return S_OK;
  AutoInitialize();  // a failure shows later, when the name is used
  const uint32_t kept = plat::GetLastError();
  const std::string name = ocx::Utf16ToUtf8(s_.hostName);
  SockAddress address{};
  char found[kSockNameBufferSize];
  if (SockParseAddress(name.c_str(), 0, &address) > 0) {
    s_.hostAddress = AddressText(address);
    s_.hostName.clear();
    if (s_.autoResolve && SockAddressToHostName(&address, found) >= 0) s_.hostName = Widen(found);
  } else if (s_.autoResolve && SockResolveAddress(name.c_str(), 0, &address) > 0) {
    s_.hostAddress = AddressText(address);
  }
  plat::SetLastError(kept);  // writing HostName never fails
  return S_OK;
}

HRESULT CTimeClient::put_HostAddress(BSTR value) {
  CV_OCX_ENTRY;
  const std::u16string text = In(value);
  if (text.empty()) return S_OK;
  s_.hostName.clear();
  if (!IsRunMode()) return S_OK;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  SockAddress address{};
  if (SockParseAddress(ocx::Utf16ToUtf8(text).c_str(), 0, &address) <= 0) return ReportHelperFailure();
  s_.hostAddress = AddressText(address);
  char found[kSockNameBufferSize];
  if (s_.autoResolve && SockAddressToHostName(&address, found) >= 0) s_.hostName = Widen(found);
  return S_OK;
}

// ---- numbers with ranges ----

HRESULT CTimeClient::get_Interval(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(s_.interval), value);
}

HRESULT CTimeClient::put_Interval(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > kMaxInterval) return ocx::kCtlErrorInvalidPropertyValue;
  s_.interval = uint32_t(value);
  if (IsRunMode()) RestartTimer();
  return S_OK;
}

HRESULT CTimeClient::get_RemotePort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(s_.remotePort), value);
}

HRESULT CTimeClient::put_RemotePort(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 0xFFFF) return ocx::kCtlErrorInvalidPropertyValue;
  s_.remotePort = uint32_t(value);
  return S_OK;
}

HRESULT CTimeClient::get_Timeout(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.timeout, value);
}

HRESULT CTimeClient::put_Timeout(int32_t value) {
  CV_OCX_ENTRY;
  s_.timeout = value;
  return S_OK;
}

// ---- errors ----

HRESULT CTimeClient::get_LastError(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(LastErrorCode() & 0xFFFFu), value);
}

HRESULT CTimeClient::put_LastError(int32_t value) {
  CV_OCX_ENTRY;
  const uint32_t code = value >= 1 && value <= 0xFFFF ? kCvErrorBase | uint32_t(value) : uint32_t(value);
  SetLastErrorCode(code);
  TimeSetLastError(code);
  return S_OK;
}

HRESULT CTimeClient::get_LastErrorString(BSTR* value) {
  CV_RUN_MODE_ONLY;
  const uint32_t code = LastErrorCode();
  char text[128] = {};
  if (code == 0 || TimeGetErrorText(code, text) == 0)
    std::snprintf(text, sizeof text, "Undefined control error (0x%08X)", code);
  return Out(text, value);
}

// ---- local host and service ----

HRESULT CTimeClient::get_LocalAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  SockAddress address{};
  if (SockGetLocalHostAddress(uint32_t(plat::kAfInet), &address) < 0) return ReportHelperFailure();
  return Out(AddressText(address), value);
}

HRESULT CTimeClient::get_LocalName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  char name[kSockNameBufferSize];
  if (SockGetFullHostName(name) < 0) return ReportHelperFailure();
  return Out(name, value);
}

HRESULT CTimeClient::get_RemoteService(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  char name[kSockNameBufferSize] = {};
  // Port 0 and a port without a name both read as empty.
  if (s_.remotePort != 0 && !SockGetServiceName(s_.remotePort, name)) name[0] = '\0';
  return Out(name, value);
}

HRESULT CTimeClient::put_RemoteService(BSTR value) {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const int32_t port = SockGetServicePort(ocx::Utf16ToUtf8(In(value)).c_str());
  if (port < 0) return ReportHelperFailure();
  s_.remotePort = uint32_t(port);
  return S_OK;
}

// ---- the last network time as text ----

HRESULT CTimeClient::DateProperty(bool local, bool date, BSTR* value) {
  SYSTEMTIME st{};
  std::u16string text;
  if (s_.lastNetworkTime != 0 && TimeToSystemTime(s_.lastNetworkTime, &st, local ? 1 : 0))
    text = date ? ShortDateText(st) : TimeOfDayText(st);
  return Out(text, value);
}

HRESULT CTimeClient::get_LocalDate(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return DateProperty(true, true, value);
}

HRESULT CTimeClient::get_LocalTime(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return DateProperty(true, false, value);
}

HRESULT CTimeClient::get_SystemDate(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return DateProperty(false, true, value);
}

HRESULT CTimeClient::get_SystemTime(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return DateProperty(false, false, value);
}

// ---- tracing ----

HRESULT CTimeClient::get_Trace(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.trace, value);
}

HRESULT CTimeClient::put_Trace(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  const bool was = s_.trace;
  s_.trace = value != VARIANT_FALSE;
  if (!IsInitialized()) return S_OK;
  if (s_.trace && !was)
    StartTrace();
  else if (!s_.trace && was)
    TimeDisableTrace();
  return S_OK;
}

HRESULT CTimeClient::put_TraceFile(BSTR value) {
  CV_OCX_ENTRY;
  const std::u16string file = In(value);
  if (IsInitialized() && s_.trace) {
    TimeDisableTrace();
    s_.traceFile = file;
    StartTrace();
  }
  s_.traceFile = file;
  return S_OK;
}

HRESULT CTimeClient::get_TraceFlags(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.traceFlags, value);
}

HRESULT CTimeClient::put_TraceFlags(int32_t value) {
  CV_OCX_ENTRY;
  if (IsInitialized() && s_.trace) {
    TimeDisableTrace();
    s_.traceFlags = value;
    StartTrace();
  }
  s_.traceFlags = value;
  return S_OK;
}

HRESULT CTimeClient::get_Version(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (version_.empty()) {
    version_ = ocx::VersionText(Descriptor());
  }
  return Out(version_, value);
}

}  // namespace timectl
