// The current client's properties (the client whose event is being fired) and the methods
// that name a client explicitly.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/errors/error_codes.h"
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/variant_args.h"

namespace ftpsrvctl {
namespace {

// Reads a text of the current client with getter; "" without a current client.
template <class Getter>
HRESULT ClientText(uint32_t client, Getter getter, BSTR* value, bool* failed) {
  char text[kFtpPathSize + 64] = {};
  *failed = false;
  if (client != 0 && !getter(text)) {
    *failed = true;
    return S_OK;
  }
  return OutUtf8(text, value);
}

// A required client id: missing or 0 is an invalid argument.
HRESULT RequiredClient(const VARIANT& arg, uint32_t* id) {
  if (ocx::IsMissingArgument(arg)) return E_INVALIDARG;
  if (HRESULT hr = ocx::VariantToUInt32(&arg, id); FAILED(hr)) return hr;
  return *id == 0 ? E_INVALIDARG : S_OK;
}

}  // namespace

#define CV_CLIENT_TEXT(Name, call)                                                                    \
  HRESULT CFtpServer::get_##Name(BSTR* value) {                                                       \
    CV_FTPSRV_RUN_MODE_ONLY;                                                                          \
    const uint64_t server = server_.load();                                                           \
    const uint32_t id = CurrentClient();                                                              \
    bool failed = false;                                                                              \
    const HRESULT hr = ClientText(id, [&](char* text) { return call(server, id, text) != 0; }, value, \
                                  &failed);                                                           \
    return failed ? PropertyFailure() : hr;                                                           \
  }

CV_CLIENT_TEXT(ClientAddress, FtpSessionGetAddress)
CV_CLIENT_TEXT(ClientDirectory, FtpSessionGetCurrentDirectory)
CV_CLIENT_TEXT(ClientHome, FtpSessionGetHomeDirectory)
CV_CLIENT_TEXT(ClientHost, FtpServerGetHostName)
CV_CLIENT_TEXT(ClientUser, FtpSessionGetUserName)

HRESULT CFtpServer::get_ClientAccess(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  uint32_t rights = 0;
  if (const uint32_t id = CurrentClient(); id && !FtpSessionGetAccess(server_.load(), id, &rights))
    return PropertyFailure();
  return OutLong(int32_t(rights), value);
}

HRESULT CFtpServer::put_ClientAccess(int32_t value) {
  CV_OCX_ENTRY;
  if (!FtpSessionSetAccess(server_.load(), CurrentClient(), uint32_t(value))) return PropertyFailure();
  return S_OK;
}

HRESULT CFtpServer::get_ClientCount(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  const int32_t n = Running() ? FtpServerListClientIds(server_.load(), nullptr, 0) : 0;
  return OutLong(n > 0 ? n : 0, value);
}

HRESULT CFtpServer::get_ClientId(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(int32_t(CurrentClient()), value);
}

HRESULT CFtpServer::get_ClientIdle(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  const uint32_t id = CurrentClient();
  return OutLong(id ? int32_t(FtpSessionGetIdleTime(server_.load(), id, nullptr)) : 0, value);
}

HRESULT CFtpServer::put_ClientIdle(int32_t value) {
  CV_OCX_ENTRY;
  const uint32_t id = CurrentClient();
  if (id == 0) return ocx::kCtlErrorInvalidPropertyValue;
  FtpSessionSetIdleTimeout(server_.load(), id, uint32_t(std::clamp(value, 60, 7200)));
  return S_OK;
}

HRESULT CFtpServer::get_ClientPort(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  uint32_t port = 0;
  if (const uint32_t id = CurrentClient(); id && !FtpSessionGetPort(server_.load(), id, &port))
    return PropertyFailure();
  return OutLong(int32_t(port), value);
}

HRESULT CFtpServer::get_ClientThread(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  const uint32_t id = CurrentClient();
  return OutLong(id ? int32_t(FtpSessionGetThreadId(server_.load(), id)) : 0, value);
}

HRESULT CFtpServer::get_CommandLine(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  std::string line;
  if (const uint32_t id = CurrentClient()) {
    try {
      line.assign(4096, '\0');
    } catch (...) {
      return HRESULT(0x800A0007);
    }
    if (!FtpSessionGetCommandLine(server_.load(), id, line.data(), int32_t(line.size()))) line[0] = '\0';
  }
  return OutUtf8(line.c_str(), value);
}

HRESULT CFtpServer::get_IsAnonymous(VARIANT_BOOL* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  const uint32_t id = CurrentClient();
  return OutBool(id && FtpSessionIsAnonymous(server_.load(), id) != 0, value);
}

HRESULT CFtpServer::get_IsAuthenticated(VARIANT_BOOL* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  const uint32_t id = CurrentClient();
  return OutBool(id && FtpSessionIsAuthenticated(server_.load(), id) != 0, value);
}

HRESULT CFtpServer::get_LocalPath(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  char local[kFtpPathSize] = {};
  if (const uint32_t id = CurrentClient(); id && !FtpSessionResolvePath(server_.load(), id, local)) local[0] = '\0';
  return OutUtf8(local, value);
}

HRESULT CFtpServer::put_LocalPath(BSTR value) {
  CV_OCX_ENTRY;
  const uint32_t id = CurrentClient();
  if (id == 0) return ocx::kCtlErrorInvalidPropertyValue;
  const std::string path = ocx::Utf16ToUtf8(InText(value));
  return FtpSessionSetLocalPath(server_.load(), id, path.c_str()) ? S_OK : PropertyFailure();
}

HRESULT CFtpServer::get_VirtualPath(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  char local[kFtpPathSize] = {}, path[kFtpPathSize] = {};
  if (const uint32_t id = CurrentClient(); id && FtpSessionResolvePath(server_.load(), id, local) &&
                                           !FtpSessionLocalToVirtual(server_.load(), id, local, path))
    path[0] = '\0';
  return OutUtf8(path, value);
}

HRESULT CFtpServer::put_VirtualPath(BSTR value) {
  CV_OCX_ENTRY;
  const uint32_t id = CurrentClient();
  if (id == 0) return ocx::kCtlErrorInvalidPropertyValue;
  const std::string path = ocx::Utf16ToUtf8(InText(value));
  char local[kFtpPathSize] = {};
  if (!path.empty() && !FtpSessionVirtualToLocal(server_.load(), id, path.c_str(), local)) return PropertyFailure();
  return FtpSessionSetLocalPath(server_.load(), id, local) ? S_OK : PropertyFailure();
}

HRESULT CFtpServer::Authenticate(VARIANT clientId, VARIANT accessFlags, VARIANT directory, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, rights = 0;
  std::string home;
  if (HRESULT hr = RequiredClient(clientId, &id); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(accessFlags, ftpAccessDefault, &rights); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUtf8(directory, u"", &home); FAILED(hr)) return hr;
  SetLongArgument(error, 0);
  return FtpSessionAuthenticate(server_.load(), id, rights, home.c_str()) ? S_OK : MethodFailure(error);
}

HRESULT CFtpServer::Disconnect(VARIANT clientId, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  if (ocx::IsMissingArgument(clientId))
    id = FtpServerCurrentClientId(server_.load());
  else if (HRESULT hr = ocx::VariantToUInt32(&clientId, &id); FAILED(hr))
    return hr;
  SetLongArgument(error, 0);
  if (id == 0) return MethodFailure(error, cvErrorInvalidClientSession);
  return FtpServerDisconnectClient(server_.load(), id) ? S_OK : MethodFailure(error);
}

HRESULT CFtpServer::ResolvePath(VARIANT clientId, VARIANT sourcePath, VARIANT* resolvedPath, VARIANT isVirtual,
                                VARIANT* error) {
  CV_OCX_ENTRY;
  if (!resolvedPath || resolvedPath->vt == VT_ERROR) return E_INVALIDARG;
  if ((resolvedPath->vt & VT_ARRAY) || ((resolvedPath->vt & VT_BYREF) && resolvedPath->vt != (VT_BYREF | VT_BSTR)))
    return DISP_E_TYPEMISMATCH;
  if (resolvedPath->vt == (VT_BYREF | VT_BSTR)) {
    if (resolvedPath->pbstrVal) {
      SysFreeString(*resolvedPath->pbstrVal);
      *resolvedPath->pbstrVal = SysAllocString(u"");
    }
  } else {
    VariantClear(resolvedPath);
    resolvedPath->vt = VT_BSTR;
    resolvedPath->bstrVal = SysAllocString(u"");
  }
  uint32_t id = 0;
  std::string source;
  if (HRESULT hr = RequiredClient(clientId, &id); FAILED(hr)) return hr;
  if (ocx::IsMissingArgument(sourcePath)) return E_INVALIDARG;
  if (HRESULT hr = OptionalUtf8(sourcePath, u"", &source); FAILED(hr)) return hr;
  bool toLocal = false;
  if (!ocx::IsMissingArgument(isVirtual)) {
    VARIANT b{};
    if (HRESULT hr = VariantChangeType(&b, &isVirtual, 0, VT_BOOL); FAILED(hr)) return hr;
    toLocal = b.boolVal != VARIANT_FALSE;
  }
  SetLongArgument(error, 0);
  char out[kFtpPathSize] = {};
  const uint64_t server = server_.load();
  const int32_t ok = toLocal ? FtpSessionVirtualToLocal(server, id, source.c_str(), out)
                             : FtpSessionLocalToVirtual(server, id, source.c_str(), out);
  if (!ok || out[0] == '\0') return MethodFailure(error);
  ocx::SetVariantStringA(resolvedPath, out);
  return S_OK;
}

HRESULT CFtpServer::SendResponse(VARIANT clientId, VARIANT resultCode, VARIANT message, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, code = 0;
  std::string text;
  if (HRESULT hr = RequiredClient(clientId, &id); FAILED(hr)) return hr;
  if (ocx::IsMissingArgument(resultCode)) return E_INVALIDARG;
  if (HRESULT hr = ocx::VariantToUInt32(&resultCode, &code); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUtf8(message, u"", &text); FAILED(hr)) return hr;
  SetLongArgument(error, 0);
  if (code < 100 || code > 999) return MethodFailure(error, cvErrorInvalidResultCode);
  return FtpSessionSendReply(server_.load(), id, code, text.empty() ? nullptr : text.c_str()) ? S_OK
                                                                                              : MethodFailure(error);
}

}  // namespace ftpsrvctl
