// Construction, release, the error reporter, the library notifications turned into events,
// FreezeEvents, and the life-cycle methods of CPopClient.
#include "pop3/ocx/pop_client.h"

#include <cstring>

#include "core/errors/error_codes.h"
#include "ocx/variant_args.h"
#include "platform/base/last_error.h"
#include "platform/msg/wait.h"
#include "pop3/ocx/guids.h"
#include "pop3/ocx/libraries.h"
#include "pop3/ocx/pop_client_args.h"
#include "pop3/pop3_control.h"

namespace popctl {

const ocx::ControlDescriptor kPopClientDescriptor{
    CLSID_PopClient,
    IID_IPopClient,
    DIID__IPopClientEvents,
    LIBID_PopClientCtl,
    "Corvanetics.PopClient.9",
    "Corvanetics.PopClient",
    "PopClient Control",
    132497,  // set-client-site-first, invisible at run time, activate when visible, inside-out, ...
    {uint16_t(kLibVersionMajor), uint16_t(kLibVersionMinor), uint16_t(kLibVersionBuild), 0},
    &PopClientTypeLibrary,
};

namespace {

void Wipe(std::u16string& s) {
  if (!s.empty()) explicit_bzero(s.data(), s.size() * sizeof(char16_t));
  s.clear();
}

// Copied over total as a whole percentage, at most 100; nothing to copy counts as done.
int32_t Percent(uint32_t total, uint32_t copied) {
  if (total == 0) return copied == 0 ? 100 : 0;
  const double p = double(copied) * 100.0 / double(total);
  return p >= 100.0 ? 100 : int32_t(p);
}

}  // namespace

PopClientSettings::~PopClientSettings() {
  Wipe(password);
  Wipe(certificatePassword);
}

CPopClient::CPopClient(IUnknown* outer) : Control(outer, kPopClientDescriptor, kLibraries, {0, nullptr}) {}

void CPopClient::FinalRelease() {
  if (handle_ != kInvalidLibHandle) Pop3Disconnect(handle_);
  handle_ = kInvalidLibHandle;
  Control::FinalRelease();
  DetachLibraries();
}

void CPopClient::FireError(uint32_t code, BSTR text) {
  VARIANT number{}, description{};
  ocx::ErrorEventArguments(code, text, number, description);
  Fire_OnError(number, description);
}

HRESULT CPopClient::MethodFailure(VARIANT* error) {
  const HRESULT hr = RaiseError(0, s_.throwError, true);
  if (LastErrorCode() != 0) SetErrorArgument(error, LastErrorCode());
  return hr;
}

HRESULT CPopClient::Raise(uint32_t code) { return RaiseError(code, true, false); }

HRESULT CPopClient::RaiseHelperFailure() {
  Pop3SetLastError(plat::GetLastError());
  return Raise();
}

void CPopClient::OnLibrariesAttached() {
  if (s_.trace) StartTrace();
}

void CPopClient::ForgetMessage() {
  s_.messageSize = 0;
  s_.messageFrom.clear();
  s_.messageUid.clear();
}

void CPopClient::DropSession() {
  if (handle_ != kInvalidLibHandle) Pop3Disconnect(handle_);
  handle_ = kInvalidLibHandle;
  s_.connected = false;
  s_.message = 0;
  ForgetMessage();
  security_ = SecuritySnapshot{};
}

void CPopClient::ReadSecurityInfo() {
  security_ = SecuritySnapshot{};
  SecSessionInfo info{};
  info.size = sizeof info;
  if (Pop3GetSecurityInfo(handle_, &info) != 0) return;
  security_.info = info;
  security_.info.issuer = security_.info.subject = security_.info.hostKeyFingerprint = nullptr;
  security_.issuer = FromUtf8(info.issuer);
  security_.subject = FromUtf8(info.subject);
}

uint32_t CPopClient::CompleteLogin(bool blocking) {
  s_.connected = true;
  ReadSecurityInfo();
  uint32_t error = 0;
  if (!s_.userName.empty()) {
    const std::string user = ocx::Utf16ToUtf8(s_.userName);
    std::string password = ocx::Utf16ToUtf8(s_.password);
    if (Pop3Login(handle_, uint32_t(s_.authType), user.c_str(), password.c_str()) != 0) error = Pop3GetLastError();
    explicit_bzero(password.data(), password.size());
  }
  // A blocking session reports only time-outs, cancels, commands and progress.
  if (!error && blocking && Pop3RegisterEvents(handle_, Window(), kLibraryNotifyMessage, 0xFFFFFFF0u) != 0)
    error = Pop3GetLastError();
  if (error) {
    DropSession();
    Pop3SetLastError(error);
    return error;
  }
  if (EventsFrozen()) Pop3FreezeEvents(handle_, 1);
  return 0;
}

// ---- notifications ----

LRESULT CPopClient::OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) {
  *handled = msg == kLibraryNotifyMessage;
  if (*handled) OnLibraryNotify(wParam, lParam);
  return 0;
}

void CPopClient::OnLibraryNotify(WPARAM wParam, LPARAM lParam) {
  const uint32_t event = LOWORD(uint32_t(lParam));
  const uint32_t errorWord = HIWORD(uint32_t(lParam));
  if (errorWord != 0) {
    if (event == cvmail::kMailEventConnect) DropSession();
    RaiseError(kCvErrorBase | errorWord, false, true);
    // The events of a time-out and a cancel come with their codes: the host hears of them
    // by their own events too, after the error.
    if (event == cvmail::kMailEventTimeout) Fire_OnTimeout();
    if (event == cvmail::kMailEventCancel) Fire_OnCancel();
    return;
  }
  switch (event) {
    case cvmail::kMailEventConnect:
      handle_ = LibHandle(wParam);
      if (CompleteLogin(false) != 0) {
        RaiseError(0, false, true);
        return;
      }
      if (!EventsFrozen()) Fire_OnConnect();
      return;
    case cvmail::kMailEventDisconnect: Fire_OnDisconnect(); return;
    case cvmail::kMailEventRead: Fire_OnRead(); return;
    case cvmail::kMailEventTimeout: Fire_OnTimeout(); return;
    case cvmail::kMailEventCancel: Fire_OnCancel(); return;
    case cvmail::kMailEventCommand: ReportCommand(); return;
    case cvmail::kMailEventProgress: ReportProgress(); return;
    default: return;
  }
}

void CPopClient::ReportCommand() {
  VARIANT code{};
  code.vt = VT_BOOL;
  code.boolVal = Pop3ReadReply(handle_) == 1 ? VARIANT_TRUE : VARIANT_FALSE;
  char text[kPop3ResultStringSize] = "";
  Pop3GetResultString(handle_, text);
  VARIANT description{};
  description.vt = VT_BSTR;
  description.bstrVal = ToBstr(FromAnsi(text));
  Fire_OnCommand(code, description);
  VariantClear(&description);
}

void CPopClient::ReportProgress() {
  MessageTransferStatus status{};
  if (Pop3GetTransferStatus(handle_, &status) != 0) return;
  Fire_OnProgress(I4(int32_t(status.message)), I4(int32_t(status.size)), I4(int32_t(status.copied)),
                  I4(Percent(status.size, status.copied)));
}

HRESULT CPopClient::FreezeEvents(BOOL freeze) {
  ControlCore::FreezeEvents(freeze);
  const long count = FreezeCount();
  if (handle_ != kInvalidLibHandle && (count == 1 || count == 0)) Pop3FreezeEvents(handle_, uint32_t(count));
  return S_OK;
}

// ---- life-cycle methods ----

HRESULT CPopClient::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CPopClient::Initialize(VARIANT reserved, VARIANT* error) {
  CV_OCX_ENTRY;
  (void)reserved;
  SetErrorArgument(error, 0);
  const HRESULT hr = AutoInitialize();
  if (FAILED(hr)) {
    SetErrorArgument(error, uint32_t(hr));
    return s_.throwError ? hr : S_OK;
  }
  return S_OK;
}

HRESULT CPopClient::Reset() {
  CV_OCX_ENTRY;
  if (handle_ != kInvalidLibHandle) {
    Pop3Reset(handle_);
    Pop3Disconnect(handle_);
  }
  handle_ = kInvalidLibHandle;
  if (s_.trace) Pop3DisableTrace();
  s_ = PopClientSettings{};
  security_ = SecuritySnapshot{};
  SetLastErrorCode(0);
  VARIANT_BOOL enabled = VARIANT_TRUE;
  GetEnabled(&enabled);
  if (enabled == VARIANT_FALSE) PutEnabled(VARIANT_TRUE);
  return S_OK;
}

HRESULT CPopClient::Uninitialize() {
  CV_OCX_ENTRY;
  Reset();
  DetachLibraries();
  return S_OK;
}

HRESULT CPopClient::Cancel(VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  if (!IsInitialized()) return S_OK;
  // A blocking Connect still waiting: its wait ends now.
  if (connecting_) plat::CancelBlockingCall();
  // Without a session nothing runs: a late cancel leaves the error of the call before it.
  if (handle_ == kInvalidLibHandle) return S_OK;
  if (Pop3Cancel(handle_) != 0) return MethodFailure(error);
  return S_OK;
}

HRESULT CPopClient::Disconnect(VARIANT*) {
  CV_OCX_ENTRY;
  DropSession();
  return S_OK;
}

}  // namespace popctl
