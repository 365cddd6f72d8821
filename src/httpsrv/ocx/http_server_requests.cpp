// The methods that act on a client's request from inside the events: credentials and
// access, request headers and CGI variables, the request body and the answer.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/variant_args.h"
#include "platform/base/heap.h"

#define CV_ARG(expr) \
  if (HRESULT hr_ = (expr); FAILED(hr_)) return hr_

namespace httpsrvctl {
namespace {

// The VARIANT a by-reference argument stands for.
VARIANT* Target(VARIANT* arg) {
  return arg && arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal ? arg->pvarVal : arg;
}

// The bytes of a SendResponse Buffer: text as UTF-8, a byte array, a single byte, nothing.
HRESULT BufferBytes(const VARIANT& arg, std::string* out) {
  const VARIANT& v = arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal ? *arg.pvarVal : arg;
  if (ocx::IsMissingArgument(v)) return S_OK;
  if ((v.vt & ~VT_BYREF) == (VT_ARRAY | VT_UI1)) {
    SAFEARRAY* sa = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
    if (!sa) return S_OK;
    if (SafeArrayGetDim(sa) != 1) return ocx::kCtlErrorInvalidProcedureCall;
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(sa, 1, &lo);
    SafeArrayGetUBound(sa, 1, &hi);
    void* data = nullptr;
    if (HRESULT hr = SafeArrayAccessData(sa, &data); FAILED(hr)) return hr;
    out->assign(static_cast<const char*>(data), size_t(std::max<LONG>(hi - lo + 1, 0)));
    SafeArrayUnaccessData(sa);
    return S_OK;
  }
  if (v.vt == VT_UI1 || v.vt == (VT_BYREF | VT_UI1)) {
    out->assign(1, char(v.vt & VT_BYREF ? *v.pbVal : v.bVal));
    return S_OK;
  }
  return OptionalUtf8(v, u"", out);
}

// Stores a received body into the caller's Buffer as ReceiveRequest describes.
HRESULT StoreBody(VARIANT* arg, const char* data, size_t n) {
  VARIANT* v = Target(arg);
  if (!v) return E_INVALIDARG;
  const VARTYPE base = v->vt & ~VT_BYREF;
  if (base == VT_EMPTY || base == VT_BSTR) {
    const std::string text(data, n);
    return ocx::SetVariantStringA(v, text.c_str());
  }
  if (base == (VT_ARRAY | VT_UI1)) {
    SAFEARRAY** slot = (v->vt & VT_BYREF) ? v->pparray : &v->parray;
    if (!slot) return E_INVALIDARG;
    if (!*slot) {
      *slot = SafeArrayCreateVector(VT_UI1, 0, ULONG(n));
      if (!*slot) return E_OUTOFMEMORY;
    } else {
      LONG lo = 0, hi = -1;
      SafeArrayGetLBound(*slot, 1, &lo);
      SafeArrayGetUBound(*slot, 1, &hi);
      n = std::min(n, size_t(std::max<LONG>(hi - lo + 1, 0)));
    }
    void* p = nullptr;
    if (HRESULT hr = SafeArrayAccessData(*slot, &p); FAILED(hr)) return hr;
    if (n) std::memcpy(p, data, n);
    SafeArrayUnaccessData(*slot);
    return S_OK;
  }
  if (base == VT_UI1) {
    const BYTE b = n ? BYTE(data[0]) : 0;
    if (v->vt & VT_BYREF)
      *v->pbVal = b;
    else
      v->bVal = b;
    return S_OK;
  }
  return E_INVALIDARG;
}

}  // namespace

HRESULT CHttpServer::Authenticate(VARIANT client, VARIANT access, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, rights = 0;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(OptionalUInt(access, httpAccessDefault, &rights));
  SetLongArgument(error, 0);
  return Outcome(HttpSessionAuthenticate(Server(), id, rights), error);
}

HRESULT CHttpServer::CheckPath(VARIANT client, VARIANT path, VARIANT access, VARIANT* result) {
  CV_OCX_ENTRY;
  uint32_t id = 0, rights = 0;
  std::string text;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUtf8(path, &text));
  CV_ARG(OptionalUInt(access, httpAccessRead, &rights));
  const bool permitted = HttpSessionCheckPath(Server(), id, text.c_str(), rights) > 0;
  SetBoolArgument(result, permitted);
  return permitted ? S_OK : MethodFailure(nullptr);
}

HRESULT CHttpServer::ClearHeaders(VARIANT client, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  CV_ARG(RequiredUInt(client, &id));
  SetLongArgument(error, 0);
  return Outcome(HttpSessionClearHeaders(Server(), id, 1), error);
}

HRESULT CHttpServer::Disconnect(VARIANT client, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  CV_ARG(RequiredUInt(client, &id));
  SetLongArgument(error, 0);
  if (!Running()) return MethodFailure(error, cvErrorServerInactive);
  if (id == 0) return MethodFailure(error, cvErrorInvalidClientSession);
  return Outcome(HttpServerDisconnectClient(Server(), id), error);
}

HRESULT CHttpServer::GetAllHeaders(VARIANT client, VARIANT* headers, VARIANT* result) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  CV_ARG(RequiredUInt(client, &id));
  std::string all;
  const int32_t n = HttpGetAllRequestHeaders(Server(), id, nullptr, 0);
  if (n > 0) {
    all.assign(size_t(n) + 1, '\0');
    if (HttpGetAllRequestHeaders(Server(), id, all.data(), uint32_t(all.size())) > 0)
      all.resize(std::strlen(all.c_str()));
    else
      all.clear();
  }
  if (all.empty()) RecordFailure();
  CV_ARG(ocx::SetVariantStringA(Target(headers), all.c_str()));
  SetBoolArgument(result, !all.empty());
  return S_OK;
}

HRESULT CHttpServer::GetHeader(VARIANT client, VARIANT name, VARIANT* value, VARIANT* result) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  std::string header;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUtf8(name, &header));
  std::string text(8192, '\0');
  const bool found = HttpGetRequestHeader(Server(), id, header.c_str(), text.data(), uint32_t(text.size())) > 0;
  if (!found) {
    text[0] = '\0';
    RecordFailure();
  }
  CV_ARG(ocx::SetVariantStringA(Target(value), text.c_str()));
  SetBoolArgument(result, found);
  return S_OK;
}

HRESULT CHttpServer::GetVariable(VARIANT client, VARIANT name, VARIANT* value, VARIANT* result) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  std::string variable;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUtf8(name, &variable));
  // An absent variable and an empty one both read as "" with Result false.
  std::string text;
  const int32_t n = HttpGetCgiVariable(Server(), id, variable.c_str(), nullptr, 0);
  if (n > 0) {
    text.assign(size_t(n) + 1, '\0');
    HttpGetCgiVariable(Server(), id, variable.c_str(), text.data(), uint32_t(text.size()));
    text.resize(std::strlen(text.c_str()));
  } else {
    RecordFailure();
  }
  CV_ARG(ocx::SetVariantStringA(Target(value), text.c_str()));
  SetBoolArgument(result, n > 0);
  return S_OK;
}

HRESULT CHttpServer::SetNamedValue(NamedValueSetter set, VARIANT client, VARIANT name, VARIANT value,
                                   VARIANT* result) {
  uint32_t id = 0;
  std::string key, text;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUtf8(name, &key));
  CV_ARG(OptionalUtf8(value, u"", &text));
  const bool ok = set(Server(), id, key.c_str(), text.c_str()) > 0;
  if (!ok) RecordFailure();
  SetBoolArgument(result, ok);
  return S_OK;
}

HRESULT CHttpServer::SetHeader(VARIANT client, VARIANT name, VARIANT value, VARIANT* result) {
  CV_OCX_ENTRY;
  return SetNamedValue(HttpSetResponseHeader, client, name, value, result);
}

HRESULT CHttpServer::SetVariable(VARIANT client, VARIANT name, VARIANT value, VARIANT* result) {
  CV_OCX_ENTRY;
  return SetNamedValue(HttpSetCgiVariable, client, name, value, result);
}

HRESULT CHttpServer::ReceiveRequest(VARIANT client, VARIANT* buffer, VARIANT length, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0;
  int32_t limit = 0;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(OptionalInt(length, INT32_MAX, &limit));
  if (limit < 1 || !buffer) return E_INVALIDARG;
  const VARTYPE base = Target(buffer)->vt & ~VT_BYREF;
  if (base != VT_EMPTY && base != VT_BSTR && base != (VT_ARRAY | VT_UI1) && base != VT_UI1) return E_INVALIDARG;
  SetLongArgument(error, 0);
  plat::HGLOBAL block = nullptr;
  uint32_t size = 0;
  if (!HttpReadRequest(Server(), id, httpReadMemory, nullptr, &block, &size)) return MethodFailure(error);
  const char* data = block ? static_cast<const char*>(plat::GlobalLock(block)) : "";
  const HRESULT hr = StoreBody(buffer, data ? data : "", std::min<size_t>(size, size_t(limit)));
  if (block) {
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
  }
  return hr;
}

HRESULT CHttpServer::SendResponse(VARIANT client, VARIANT resultCode, VARIANT buffer, VARIANT length, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, status = 0;
  int32_t limit = 0;
  std::string body;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUInt(resultCode, &status));
  CV_ARG(BufferBytes(buffer, &body));
  CV_ARG(OptionalInt(length, -1, &limit));
  SetLongArgument(error, 0);
  if (id == 0) return MethodFailure(error, Running() ? uint32_t(cvErrorInvalidClientSession) : cvErrorServerInactive);
  if (limit >= 0 && size_t(limit) < body.size()) body.resize(size_t(limit));
  HttpResponseInfo info{};
  info.size = sizeof info;
  info.statusCode = status;
  return Outcome(HttpSendResponse(Server(), id, httpSendBuffer, &info, body.data(), int64_t(body.size())), error);
}

HRESULT CHttpServer::SendError(VARIANT client, VARIANT code, VARIANT message, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, status = 0;
  std::string text;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUInt(code, &status));
  CV_ARG(OptionalUtf8(message, u"", &text));
  SetLongArgument(error, 0);
  return Outcome(HttpSendError(Server(), id, status, text.empty() ? nullptr : text.c_str()), error);
}

HRESULT CHttpServer::RedirectRequest(VARIANT client, VARIANT location, VARIANT method, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, kind = 0;
  std::string url;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUtf8(location, &url));
  CV_ARG(OptionalUInt(method, 2, &kind));
  SetLongArgument(error, 0);
  return Outcome(HttpRedirectRequest(Server(), id, kind, url.c_str()), error);
}

HRESULT CHttpServer::RequireAuthentication(VARIANT client, VARIANT type, VARIANT realm, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, kind = 0;
  std::string text;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(OptionalUInt(type, 1, &kind));
  CV_ARG(OptionalUtf8(realm, u"", &text));
  SetLongArgument(error, 0);
  return Outcome(HttpRequireAuthentication(Server(), id, kind, text.empty() ? nullptr : text.c_str()), error);
}

HRESULT CHttpServer::ResolvePath(VARIANT client, VARIANT source, VARIANT* resolved, VARIANT isVirtual, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t id = 0, virtualFlag = 0;
  std::string path;
  CV_ARG(RequiredUInt(client, &id));
  CV_ARG(RequiredUtf8(source, &path));
  CV_ARG(OptionalUInt(isVirtual, 0, &virtualFlag));
  SetLongArgument(error, 0);
  if (!Running()) return MethodFailure(error, cvErrorServerInactive);
  if (id == 0) return MethodFailure(error, cvErrorInvalidClientSession);
  char out[4096] = {};
  const int32_t n = virtualFlag ? HttpSessionMapPath(Server(), id, path.c_str(), out)
                                : HttpServerGetVirtualPath(Server(), id, path.c_str(), out);
  if (n <= 0) return MethodFailure(error);
  CV_ARG(ocx::SetVariantStringA(Target(resolved), out));
  return S_OK;
}

}  // namespace httpsrvctl
