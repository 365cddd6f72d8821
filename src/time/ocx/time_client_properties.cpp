// The property accessors of CTimeClient.
#include <cstdio>
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/errors/error_texts.h"
#include "core/url/sock_address.h"
#include "mail/names/netnames.h"
#include "ocx/client_members.h"
#include "ocx/variant_args.h"
#include "platform/base/last_error.h"
#include "time/ocx/date_text.h"
#include "time/ocx/time_client.h"
#include "time/time.h"

namespace timectl {
namespace {

using ocx::InText;
using ocx::Out;
using ocx::OutBool;
using ocx::Widen;

constexpr uint32_t kAddressTextSize = 64;

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

#define CV_CONSTANT_LONG(Name, constant)           \
  HRESULT CTimeClient::get_##Name(int32_t* value) { \
    CV_RUN_MODE_ONLY;                              \
    return Out(int32_t(constant), value);          \
  }

HRESULT CTimeClient::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CTimeClient::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

CV_CLIENT_BOOL_PROPERTY(CTimeClient, AutoResolve, autoResolve)
CV_CLIENT_BOOL_PROPERTY(CTimeClient, ThrowError, throwError)
CV_CLIENT_TEXT_GETTER(CTimeClient, HostAddress, hostAddress)
CV_CLIENT_TEXT_GETTER(CTimeClient, HostName, hostName)
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
  s_.hostName = InText(value);
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
  const std::u16string text = InText(value);
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

// ---- errors, tracing and version ----

CV_CLIENT_TRACE_ENTRIES(CTimeClient, Time)

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
  const int32_t port = SockGetServicePort(ocx::Utf16ToUtf8(InText(value)).c_str());
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

}  // namespace timectl
