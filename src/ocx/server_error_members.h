#pragma once
// The last error, tracing, version and local adapter members the server controls share.
// C is the control's ServerControl base (which befriends this template); Lib names the two
// library calls that differ between the server libraries:
//   static void SetLastError(uint64_t server, uint32_t code);
//   static void StopTrace();
// The callers keep their own entry guards, so these bodies run already inside one.
#include <cstdint>
#include <cstdio>

#include "core/errors/error_codes.h"
#include "ocx/control_members.h"
#include "ocx/server_control_helpers.h"
#include "ocx/server_settings.h"
#include "sockets/inet.h"

namespace ocx {

template <class C, class Lib>
struct ServerErrorMembers : ControlMembers<C> {
  static HRESULT PutLastError(C& c, int32_t value) {
    Lib::SetLastError(c.server_.load(), ControlMembers<C>::StoreLastError(c, value));
    return S_OK;
  }

  static HRESULT GetLastErrorString(C& c, BSTR* value) {
    const uint32_t code = c.LastErrorCode();
    char text[512] = {};
    if (code == 0) return OutUtf8("", value);
    if (!InetGetErrorText(code, text, sizeof text) || !text[0])
      std::snprintf(text, sizeof text, "Undefined control error (0x%08X)", code);
    return OutUtf8(text, value);
  }

  static HRESULT PutTrace(C& c, VARIANT_BOOL value) {
    c.s_.trace = value != VARIANT_FALSE;
    if (!c.IsInitialized()) return S_OK;  // the lazy initialisation starts it
    if (c.s_.trace) c.StartTrace();
    else Lib::StopTrace();
    return S_OK;
  }

  // A new trace file or new flags take effect at once on a running trace.
  static void RestartTrace(C& c) {
    if (c.IsInitialized() && c.s_.trace) {
      Lib::StopTrace();
      c.StartTrace();
    }
  }

  static HRESULT ListAdapters(C& c) {
    if (HRESULT hr = c.Init(); FAILED(hr)) return hr;
    const int32_t n = InetListLocalAddresses(c.adapters_);
    if (n < 0) {
      c.adapterCount_ = 0;
      c.adaptersListed_ = false;
      return c.Raise(InetGetLastError(), true, false);
    }
    c.adapterCount_ = uint32_t(n);
    c.adaptersListed_ = true;
    return S_OK;
  }

  static HRESULT GetAdapterCount(C& c, int32_t* value) {
    if (HRESULT hr = c.ListAdapters(); FAILED(hr)) return hr;
    return OutLong(int32_t(c.adapterCount_), value);
  }

  static HRESULT GetAdapterAddress(C& c, VARIANT index, BSTR* value) {
    if (!c.adaptersListed_)
      if (HRESULT hr = c.ListAdapters(); FAILED(hr)) return hr;
    int32_t i = 0;
    if (HRESULT hr = VariantToInt32(&index, &i); FAILED(hr)) return hr;
    if (i < 0 || uint32_t(i) >= c.adapterCount_ || c.adapters_[i].family == 0) return E_INVALIDARG;
    char text[64] = {};
    if (InetFormatAddress(&c.adapters_[i], text) <= 0) return c.Raise(InetGetLastError(), true, false);
    return OutUtf8(text, value);
  }
};

}  // namespace ocx

// The members above as the interface entries of the control class Class, written once for
// every server control; Members is ServerErrorMembers<Class, its library traits>.
#define CV_SERVER_ERROR_ENTRIES(Class, Members)                   \
  CV_CONTROL_ERROR_ENTRIES(Class, Members)                        \
  HRESULT Class::get_ThrowError(VARIANT_BOOL* value) {            \
    CV_SERVER_RUN_MODE_ONLY;                                      \
    return ::ocx::OutBool(s_.throwError, value);                  \
  }                                                               \
  HRESULT Class::put_ThrowError(VARIANT_BOOL value) {             \
    CV_OCX_ENTRY;                                                 \
    s_.throwError = value != VARIANT_FALSE;                       \
    return S_OK;                                                  \
  }                                                               \
  HRESULT Class::put_Trace(VARIANT_BOOL value) {                  \
    CV_OCX_ENTRY;                                                 \
    return Members::PutTrace(*this, value);                       \
  }                                                               \
  HRESULT Class::put_TraceFile(BSTR value) {                      \
    CV_OCX_ENTRY;                                                 \
    s_.traceFile = ::ocx::InText(value);                          \
    Members::RestartTrace(*this);                                 \
    return S_OK;                                                  \
  }                                                               \
  HRESULT Class::put_TraceFlags(int32_t value) {                  \
    CV_OCX_ENTRY;                                                 \
    s_.traceFlags = value;                                        \
    Members::RestartTrace(*this);                                 \
    return S_OK;                                                  \
  }                                                               \
  HRESULT Class::get_AdapterCount(int32_t* value) {               \
    CV_SERVER_RUN_MODE_ONLY;                                      \
    return Members::GetAdapterCount(*this, value);                \
  }                                                               \
  HRESULT Class::get_AdapterAddress(VARIANT index, BSTR* value) { \
    CV_SERVER_RUN_MODE_ONLY;                                      \
    return Members::GetAdapterAddress(*this, index, value);       \
  }
