// Last error, tracing, version and the local adapter addresses of CHttpServer.
#include <cstdio>

#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"

namespace httpsrvctl {

HRESULT CHttpServer::get_LastError(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(int32_t(LastErrorCode() & 0xFFFFu), value);
}

HRESULT CHttpServer::put_LastError(int32_t value) {
  CV_OCX_ENTRY;
  const uint32_t code = value >= 1 && value <= 65535 ? 0x80040000u | uint32_t(value) : uint32_t(value);
  SetLastErrorCode(code);
  HttpServerSetLastError(server_.load(), code);
  return S_OK;
}

HRESULT CHttpServer::get_LastErrorString(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  const uint32_t code = LastErrorCode();
  char text[512] = {};
  if (code == 0) return OutUtf8("", value);
  if (!InetGetErrorText(code, text, sizeof text) || !text[0])
    std::snprintf(text, sizeof text, "Undefined control error (0x%08X)", code);
  return OutUtf8(text, value);
}

HRESULT CHttpServer::get_ThrowError(VARIANT_BOOL* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutBool(s_.throwError, value);
}

HRESULT CHttpServer::put_ThrowError(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.throwError = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT CHttpServer::get_Trace(VARIANT_BOOL* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutBool(s_.trace, value);
}

HRESULT CHttpServer::put_Trace(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.trace = value != VARIANT_FALSE;
  if (!IsInitialized()) return S_OK;  // the lazy initialisation starts it
  if (s_.trace)
    StartTrace();
  else
    HttpServerStopTrace();
  return S_OK;
}

HRESULT CHttpServer::get_TraceFile(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutText(s_.traceFile, value);
}

HRESULT CHttpServer::put_TraceFile(BSTR value) {
  CV_OCX_ENTRY;
  s_.traceFile = InText(value);
  if (IsInitialized() && s_.trace) {
    HttpServerStopTrace();
    StartTrace();
  }
  return S_OK;
}

HRESULT CHttpServer::get_TraceFlags(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.traceFlags, value);
}

HRESULT CHttpServer::put_TraceFlags(int32_t value) {
  CV_OCX_ENTRY;
  s_.traceFlags = value;
  if (IsInitialized() && s_.trace) {
    HttpServerStopTrace();
    StartTrace();
  }
  return S_OK;
}

HRESULT CHttpServer::get_Version(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (version_.empty()) {
    const uint16_t* v = Descriptor().fileVersion;
    char text[32];
    std::snprintf(text, sizeof text, "%hu.%hu.%hu.%hu", v[0], v[1], v[2], v[3]);
    version_ = Widen(text);
  }
  return OutText(version_, value);
}

HRESULT CHttpServer::ListAdapters() {
  if (HRESULT hr = Init(); FAILED(hr)) return hr;
  const int32_t n = InetListLocalAddresses(adapters_);
  if (n < 0) {
    adapterCount_ = 0;
    adaptersListed_ = false;
    return Raise(InetGetLastError(), true, false);
  }
  adapterCount_ = uint32_t(n);
  adaptersListed_ = true;
  return S_OK;
}

HRESULT CHttpServer::get_AdapterCount(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (HRESULT hr = ListAdapters(); FAILED(hr)) return hr;
  return OutLong(int32_t(adapterCount_), value);
}

HRESULT CHttpServer::get_AdapterAddress(VARIANT index, BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (!adaptersListed_)
    if (HRESULT hr = ListAdapters(); FAILED(hr)) return hr;
  int32_t i = 0;
  if (HRESULT hr = ocx::VariantToInt32(&index, &i); FAILED(hr)) return hr;
  if (i < 0 || uint32_t(i) >= adapterCount_ || adapters_[i].family == 0) return E_INVALIDARG;
  char text[64] = {};
  if (InetFormatAddress(&adapters_[i], text) <= 0) return Raise(InetGetLastError(), true, false);
  return OutUtf8(text, value);
}

}  // namespace httpsrvctl
