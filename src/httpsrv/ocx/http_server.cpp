// Construction, release, error reporting and the shared argument helpers of CHttpServer.
#include "httpsrv/ocx/http_server.h"

#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/guids.h"
#include "httpsrv/ocx/libraries.h"
#include "ocx/server_frame_members.h"
#include "ocx/variant_args.h"

namespace httpsrvctl {

const ocx::ControlDescriptor kHttpServerDescriptor{
    CLSID_HttpServer,
    IID_IHttpServer,
    DIID__IHttpServerEvents,
    LIBID_HttpServerCtl,
    "Corvanetics.HttpServer.9",
    "Corvanetics.HttpServer",
    "Corvanetics Hypertext Transfer Server Control 9.5",
    132497,  // set-client-site-first, invisible at run time, activate when visible, inside-out, ...
    {uint16_t(kLibVersionMajor), uint16_t(kLibVersionMinor), uint16_t(kLibVersionBuild), 0},
    &HttpServerTypeLibrary,
};

void SetBoolArgument(VARIANT* arg, bool value) {
  if (!arg) return;
  const VARIANT_BOOL b = value ? VARIANT_TRUE : VARIANT_FALSE;
  if (arg->vt == (VT_BYREF | VT_BOOL) && arg->pboolVal) {
    *arg->pboolVal = b;
    return;
  }
  if (arg->vt & VT_BYREF) {
    ocx::SetVariantLong(arg, value ? -1 : 0);
    return;
  }
  VariantClear(arg);
  arg->vt = VT_BOOL;
  arg->boolVal = b;
}

HRESULT OptionalInt(const VARIANT& arg, int32_t def, int32_t* out) {
  if (ocx::IsMissingArgument(arg)) {
    *out = def;
    return S_OK;
  }
  return ocx::VariantToInt32(&arg, out);
}

HRESULT RequiredUInt(const VARIANT& arg, uint32_t* out) {
  if (ocx::IsMissingArgument(arg)) return E_INVALIDARG;
  return ocx::VariantToUInt32(&arg, out);
}

HRESULT RequiredUtf8(const VARIANT& arg, std::string* out) {
  if (ocx::IsMissingArgument(arg)) return E_INVALIDARG;
  return OptionalUtf8(arg, u"", out);
}

HRESULT OptionalUtf8(const VARIANT& arg, const std::u16string& def, std::string* out) {
  std::u16string text;
  if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) return OptionalUtf8(*arg.pvarVal, def, out);
  if (HRESULT hr = ocx::VariantToText(arg, &text, def.c_str()); FAILED(hr)) return hr;
  *out = ocx::Utf16ToUtf8(text);
  return S_OK;
}

CHttpServer::CHttpServer(IUnknown* outer) : ServerControl(outer, kHttpServerDescriptor, kLibraries) {}

void CHttpServer::RecordFailure() {
  const uint32_t code = HttpServerGetLastError(server_.load());
  SetLastErrorCode(code == cvErrorInvalidHandle && !Running() ? uint32_t(cvErrorServerInactive) : code);
}

HRESULT CHttpServer::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CHttpServer::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CHttpServer::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

}  // namespace httpsrvctl
