// Construction, release, error reporting and the shared argument helpers of CFtpServer.
#include "ftpsrv/ocx/ftp_server.h"

#include "core/errors/error_codes.h"
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/guids.h"
#include "ftpsrv/ocx/libraries.h"
#include "ocx/server_frame_members.h"
#include "ocx/variant_args.h"

namespace ftpsrvctl {

const ocx::ControlDescriptor kFtpServerDescriptor{
    CLSID_FtpServer,
    IID_IFtpServer,
    DIID__IFtpServerEvents,
    LIBID_FtpServerCtl,
    "Corvanetics.FtpServer.9",
    "Corvanetics.FtpServer",
    "FtpServer Control",
    132497,  // set-client-site-first, invisible at run time, activate when visible, inside-out, ...
    {uint16_t(kLibVersionMajor), uint16_t(kLibVersionMinor), uint16_t(kLibVersionBuild), 0},
    &FtpServerTypeLibrary,
};

HRESULT OptionalUtf8(const VARIANT& arg, const std::u16string& def, std::string* out) {
  std::u16string text;
  if (HRESULT hr = ocx::VariantToText(arg, &text, def.c_str()); FAILED(hr)) return hr;
  *out = ocx::Utf16ToUtf8(text);
  return S_OK;
}

CFtpServer::CFtpServer(IUnknown* outer) : ServerControl(outer, kFtpServerDescriptor, kLibraries) {}

HRESULT CFtpServer::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CFtpServer::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CFtpServer::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

}  // namespace ftpsrvctl
