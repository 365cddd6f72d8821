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

namespace {
struct FrameLibrary {
  static constexpr DISPID kEventOnError = ftpsrvctl::kEventOnError;
  static bool StartTrace(const char* file, int32_t flags) { return FtpServerStartTrace(file, flags) != 0; }
  static uint32_t GetLastError(uint64_t server) { return FtpServerGetLastError(server); }
};
using Frame = ocx::ServerFrameMembers<CFtpServer, FrameLibrary>;
}  // namespace

CFtpServer::CFtpServer(IUnknown* outer) : Control(outer, kFtpServerDescriptor, kLibraries, {0, nullptr}) {}

CFtpServer::~CFtpServer() { notify_.queue.Clear(); }

void CFtpServer::FinalRelease() {
  if (Running()) {
    FtpServerStop(server_.load());
    server_ = kNoServer;
  }
  notify_.window = nullptr;
  notify_.queue.Clear();
  Control::FinalRelease();
  DetachLibraries();
}

HRESULT CFtpServer::FreezeEvents(BOOL freeze) {
  const HRESULT hr = Control::FreezeEvents(freeze);
  notify_.freeze = FreezeCount();
  return hr;
}

HRESULT CFtpServer::Init() { return Frame::Init(*this); }

void CFtpServer::StartTrace() { Frame::StartTrace(*this); }

void CFtpServer::OnLibrariesAttached() { Frame::OnLibrariesAttached(*this); }

void CFtpServer::FireError(uint32_t code, BSTR text) { Frame::FireError(*this, code, text); }

HRESULT CFtpServer::Raise(uint32_t code, bool returnFlag, bool fireFlag) {
  return Frame::Raise(*this, code, returnFlag, fireFlag);
}

HRESULT CFtpServer::MethodFailure(VARIANT* error) { return MethodFailure(error, FtpServerGetLastError(server_.load())); }

HRESULT CFtpServer::MethodFailure(VARIANT* error, uint32_t code) {
  SetLongArgument(error, int32_t(code & 0xFFFFu));
  return Raise(code, s_.throwError, true);
}

void CFtpServer::Fire(DISPID id, std::initializer_list<VARIANT> args) {
  FireEvent(id, args.size() ? args.begin() : nullptr, UINT(args.size()));
}

HRESULT CFtpServer::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CFtpServer::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CFtpServer::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

}  // namespace ftpsrvctl
