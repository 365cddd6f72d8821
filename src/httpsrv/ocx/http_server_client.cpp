// The properties that read or change the client of the event being fired.
#include <algorithm>
#include <string>

#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/variant_args.h"

namespace httpsrvctl {

HRESULT CHttpServer::get_ClientId(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(int32_t(CurrentClient()), value);
}

HRESULT CHttpServer::get_ClientAccess(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  int32_t access = 0;
  if (CurrentClient() && !HttpSessionGetAccess(Server(), CurrentClient(), &access)) return PropertyFailure();
  return OutLong(access, value);
}

HRESULT CHttpServer::put_ClientAccess(int32_t value) {
  CV_OCX_ENTRY;
  if (!HttpSessionSetAccess(Server(), CurrentClient(), uint32_t(value))) return PropertyFailure();
  return S_OK;
}

HRESULT CHttpServer::get_ClientAddress(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  char text[64] = {};
  if (CurrentClient() && HttpSessionGetAddress(Server(), CurrentClient(), text) <= 0) return PropertyFailure();
  return OutUtf8(text, value);
}

HRESULT CHttpServer::get_ClientHost(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  char text[256] = {};
  if (CurrentClient() && HttpSessionGetHostName(Server(), CurrentClient(), text) < 0) return PropertyFailure();
  return OutUtf8(text, value);
}

HRESULT CHttpServer::get_ClientIdle(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  uint64_t elapsed = 0;
  if (CurrentClient()) HttpSessionGetIdleTime(Server(), CurrentClient(), &elapsed);
  return OutLong(int32_t(elapsed), value);
}

HRESULT CHttpServer::put_ClientIdle(int32_t value) {
  CV_OCX_ENTRY;
  if (!CurrentClient()) return ocx::kCtlErrorInvalidPropertyValue;
  HttpSessionSetIdleTime(Server(), CurrentClient(), std::clamp(value, 10, 300));
  return S_OK;
}

HRESULT CHttpServer::get_ClientPort(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  int32_t port = 0;
  if (CurrentClient() && !HttpSessionGetPort(Server(), CurrentClient(), &port)) return PropertyFailure();
  return OutLong(port, value);
}

HRESULT CHttpServer::get_ClientThread(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(CurrentClient() ? HttpSessionGetThreadId(Server(), CurrentClient()) : 0, value);
}

HRESULT CHttpServer::get_ClientUser(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  char text[64] = {};
  if (CurrentClient() && HttpSessionGetUser(Server(), CurrentClient(), text) <= 0) {
    if (HttpServerGetLastError(Server()) != 0) return PropertyFailure();
  }
  return OutUtf8(text, value);
}

HRESULT CHttpServer::get_CommandLine(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  std::string text(8192, '\0');
  if (!CurrentClient() || HttpSessionGetRequestLine(Server(), CurrentClient(), text.data(), uint32_t(text.size())) <= 0)
    text[0] = '\0';
  return OutUtf8(text.c_str(), value);
}

HRESULT CHttpServer::get_IsAuthenticated(VARIANT_BOOL* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutBool(CurrentClient() && HttpSessionIsAuthenticated(Server(), CurrentClient()) > 0, value);
}

HRESULT CHttpServer::get_LocalPath(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  char text[4096] = {};
  if (!CurrentClient() || HttpSessionGetLocalPath(Server(), CurrentClient(), text, sizeof text) <= 0) text[0] = '\0';
  return OutUtf8(text, value);
}

HRESULT CHttpServer::put_LocalPath(BSTR value) {
  CV_OCX_ENTRY;
  if (!CurrentClient()) return ocx::kCtlErrorInvalidPropertyValue;
  const std::string path = ocx::Utf16ToUtf8(InText(value));
  if (!HttpSessionSetLocalPath(Server(), CurrentClient(), path.c_str())) return PropertyFailure();
  return S_OK;
}

HRESULT CHttpServer::get_VirtualPath(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  char local[4096] = {}, text[260] = {};
  if (CurrentClient() && HttpSessionGetLocalPath(Server(), CurrentClient(), local, sizeof local) > 0 &&
      HttpServerGetVirtualPath(Server(), CurrentClient(), local, text) > 0)
    return OutUtf8(text, value);
  return OutUtf8("", value);
}

HRESULT CHttpServer::put_VirtualPath(BSTR value) {
  CV_OCX_ENTRY;
  if (!CurrentClient()) return ocx::kCtlErrorInvalidPropertyValue;
  const std::string path = ocx::Utf16ToUtf8(InText(value));
  if (path.empty()) {
    // An empty local path removes the override.
    if (!HttpSessionSetLocalPath(Server(), CurrentClient(), "")) return PropertyFailure();
    return S_OK;
  }
  char local[260] = {};
  if (HttpSessionMapPath(Server(), CurrentClient(), path.c_str(), local) <= 0) return PropertyFailure();
  if (!HttpSessionSetLocalPath(Server(), CurrentClient(), local)) return PropertyFailure();
  return S_OK;
}

}  // namespace httpsrvctl
