// Error reporting, tracing, version and the local adapter addresses of CFtpServer.
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/server_error_members.h"

namespace ftpsrvctl {

namespace {
struct Library {
  static void SetLastError(uint64_t server, uint32_t code) { FtpServerSetLastError(server, code); }
  static void StopTrace() { FtpServerStopTrace(); }
};
using Members = ocx::ServerErrorMembers<CFtpServer, Library>;
}  // namespace

HRESULT CFtpServer::get_LastError(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return Members::GetLastError(*this, value);
}

HRESULT CFtpServer::put_LastError(int32_t value) {
  CV_OCX_ENTRY;
  return Members::PutLastError(*this, value);
}

HRESULT CFtpServer::get_LastErrorString(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return Members::GetLastErrorString(*this, value);
}

HRESULT CFtpServer::get_ThrowError(VARIANT_BOOL* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutBool(s_.throwError, value);
}

HRESULT CFtpServer::put_ThrowError(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.throwError = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT CFtpServer::get_Trace(VARIANT_BOOL* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutBool(s_.trace, value);
}

HRESULT CFtpServer::put_Trace(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  return Members::PutTrace(*this, value);
}

HRESULT CFtpServer::get_TraceFile(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutText(s_.traceFile, value);
}

HRESULT CFtpServer::put_TraceFile(BSTR value) {
  CV_OCX_ENTRY;
  s_.traceFile = InText(value);
  Members::RestartTrace(*this);
  return S_OK;
}

HRESULT CFtpServer::get_TraceFlags(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.traceFlags, value);
}

HRESULT CFtpServer::put_TraceFlags(int32_t value) {
  CV_OCX_ENTRY;
  s_.traceFlags = value;
  Members::RestartTrace(*this);
  return S_OK;
}

HRESULT CFtpServer::get_Version(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return Members::GetVersion(*this, value);
}

HRESULT CFtpServer::ListAdapters() { return Members::ListAdapters(*this); }

HRESULT CFtpServer::get_AdapterCount(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return Members::GetAdapterCount(*this, value);
}

HRESULT CFtpServer::get_AdapterAddress(VARIANT index, BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return Members::GetAdapterAddress(*this, index, value);
}

}  // namespace ftpsrvctl
