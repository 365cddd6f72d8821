// Last error, tracing, version and the local adapter addresses of CHttpServer.
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/server_error_members.h"

namespace httpsrvctl {

namespace {
struct Library {
  static void SetLastError(uint64_t server, uint32_t code) { HttpServerSetLastError(server, code); }
  static void StopTrace() { HttpServerStopTrace(); }
};
using Members = ocx::ServerErrorMembers<CHttpServer, Library>;
}  // namespace

HRESULT CHttpServer::get_LastError(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return Members::GetLastError(*this, value);
}

HRESULT CHttpServer::put_LastError(int32_t value) {
  CV_OCX_ENTRY;
  return Members::PutLastError(*this, value);
}

HRESULT CHttpServer::get_LastErrorString(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return Members::GetLastErrorString(*this, value);
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
  return Members::PutTrace(*this, value);
}

HRESULT CHttpServer::get_TraceFile(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutText(s_.traceFile, value);
}

HRESULT CHttpServer::put_TraceFile(BSTR value) {
  CV_OCX_ENTRY;
  s_.traceFile = InText(value);
  Members::RestartTrace(*this);
  return S_OK;
}

HRESULT CHttpServer::get_TraceFlags(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.traceFlags, value);
}

HRESULT CHttpServer::put_TraceFlags(int32_t value) {
  CV_OCX_ENTRY;
  s_.traceFlags = value;
  Members::RestartTrace(*this);
  return S_OK;
}

HRESULT CHttpServer::get_Version(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return Members::GetVersion(*this, value);
}

HRESULT CHttpServer::ListAdapters() { return Members::ListAdapters(*this); }

HRESULT CHttpServer::get_AdapterCount(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return Members::GetAdapterCount(*this, value);
}

HRESULT CHttpServer::get_AdapterAddress(VARIANT index, BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return Members::GetAdapterAddress(*this, index, value);
}

}  // namespace httpsrvctl
