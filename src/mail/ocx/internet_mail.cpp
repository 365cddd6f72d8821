// Construction, release, error raising, the notification handlers, the mailbox-name list,
// and the methods that manage the control itself: Initialize, Uninitialize, Reset, About.
#include "mail/ocx/internet_mail.h"

#include <time.h>

#include <cmath>

#include "core/errors/error_codes.h"
#include "core/trace/trace.h"
#include "dns/dns.h"
#include "mail/ocx/guids.h"
#include "mail/ocx/libraries.h"
#include "mail/ocx/member_helpers.h"
#include "mime/mime.h"
#include "platform/msg/message.h"
#include "pop3/pop3.h"
#include "smtp/smtp.h"

namespace mailctl {

const ocx::ControlDescriptor kInternetMailDescriptor{
    CLSID_InternetMail,
    IID_IInternetMail,
    DIID__IInternetMailEvents,
    LIBID_InternetMailCtl,
    "Corvanetics.InternetMail.9",
    "Corvanetics.InternetMail",
    "Corvanetics Internet Mail Control 9.5",
    132497,  // set-client-site-first, invisible at run time, activate when visible, inside-out, ...
    {uint16_t(kLibVersionMajor), uint16_t(kLibVersionMinor), uint16_t(kLibVersionBuild), 0},
    &InternetMailTypeLibrary,
};

namespace {


}  // namespace

CInternetMail::CInternetMail(IUnknown* outer)
    : Control(outer, kInternetMailDescriptor, kLibraries,
              {cvErrorOperationNotSupported, "The specified operation is not supported"}) {}

void CInternetMail::FinalRelease() {
  CloseServerSession();
  if (resolver_ != kInvalidLibHandle) DnsDestroyResolver(resolver_);
  resolver_ = kInvalidLibHandle;
  DestroyMessage();
  recipients_.clear();
  Control::FinalRelease();
  DetachLibraries();
}

const ocx::LibraryOps* CInternetMail::ErrorLibrary() { return &ServerLibrary(); }

const ocx::LibraryOps& CInternetMail::ServerLibrary() const { return Imap() ? kImapLibrary : kPop3Library; }

uint32_t CInternetMail::ServerError() const { return ServerLibrary().getLastError(); }

uint32_t CInternetMail::MimeError() { return MimeGetLastError(); }

void CInternetMail::FireError(uint32_t code, BSTR text) {
  VARIANT number{}, description{};
  number.vt = VT_I4;
  number.lVal = Low16(code);
  description.vt = VT_BSTR;
  description.bstrVal = text;  // borrowed: the firing copies it for each sink
  Fire_OnError(number, description);
}

HRESULT CInternetMail::Raise(uint32_t code, bool returnFlag, bool fireFlag) {
  if (code == 0 && ServerError() == 0) return S_OK;
  const HRESULT hr = RaiseError(code, returnFlag, fireFlag);
  s_.busy = false;
  s_.cancel = false;
  return hr;
}

HRESULT CInternetMail::Fail(VARIANT* error, uint32_t code) {
  if (code == 0) code = ServerError();
  if (code == cvErrorInvalidHandle && !Connected()) code = cvErrorNotConnected;
  SetErrorArgument(error, Low16(code));
  return Raise(code, s_.throwError, true);
}

void CInternetMail::CanceledWithoutWindow(uint32_t code) {
  if (cvcore::IsCanceled(code)) Fire_OnCancel();
}

void CInternetMail::StartTrace() {
  const std::string file = Utf8(traceFile_);
  s_.trace = TraceEnable(OrNull(file), s_.traceFlags) != 0;
}

void CInternetMail::OnLibrariesAttached() {
  if (s_.trace) StartTrace();
}

// --- Notifications ---

LRESULT CInternetMail::OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) {
  switch (msg) {
    case kMsgPop3Notify:
    case kMsgImapNotify:
    case kMsgSmtpNotify:
      OnLibraryNotify(msg, wParam, lParam);
      break;
    case kMsgMailboxUpdate:
      OnMailboxUpdate(wParam, lParam);
      break;
    default:
      *handled = false;
      return 0;
  }
  *handled = true;
  return 0;
}

void CInternetMail::OnLibraryNotify(UINT msg, WPARAM wParam, LPARAM lParam) {
  const uint32_t event = LOWORD(uint32_t(lParam));
  if (event == 16) {
    Fire_OnTimeout();
    return;
  }
  if (event == 32) {
    Fire_OnCancel();
    return;
  }
  if (event != 128) return;
  const LibHandle session = LibHandle(wParam);
  uint32_t size = 0, copied = 0;
  if (msg == kMsgSmtpNotify) {
    SmtpTransferStatus status{};
    if (SmtpGetTransferStatus(session, &status) < 0) return;
    size = status.total;
    copied = status.copied;
  } else {
    MessageTransferStatus status{};
    const int32_t r = msg == kMsgPop3Notify ? Pop3GetTransferStatus(session, &status)
                                            : ImapGetTransferStatus(session, &status);
    if (r < 0) return;
    size = status.size;
    copied = status.copied;
  }
  int16_t percent = 0;
  if (size != 0) percent = int16_t(std::min(100.0, std::trunc(double(copied) * 100.0 / double(size))));
  VARIANT vSize{}, vCopied{}, vPercent{};
  vSize.vt = VT_I4;
  vSize.lVal = int32_t(size);
  vCopied.vt = VT_I4;
  vCopied.lVal = int32_t(copied);
  vPercent.vt = VT_I2;
  vPercent.iVal = percent;
  Fire_OnProgress(vSize, vCopied, vPercent);
}

void CInternetMail::OnMailboxUpdate(WPARAM wParam, LPARAM lParam) {
  if (LibHandle(wParam) != server_ || EventsFrozen()) return;
  VARIANT type{}, number{};
  type.vt = VT_I4;
  type.lVal = int32_t(MailboxUpdateType(lParam));
  number.vt = VT_I4;
  number.lVal = int32_t(MailboxUpdateNumber(lParam));
  Fire_OnUpdate(type, number);
}

void CInternetMail::MailboxUpdateCallback(LibHandle handle, uint32_t type, uint32_t number, uintptr_t window) {
  if (!window) return;
  plat::PostMessage(reinterpret_cast<HWND>(window), kMsgMailboxUpdate, WPARAM(handle),
                    PackMailboxUpdate(type, number));
}

// --- Mailbox names ---

HRESULT CInternetMail::FillMailboxList() {
  if (!Connected()) return S_OK;
  mailboxes_.clear();
  if (!Imap()) return Raise(cvErrorOperationNotSupported, true, false);
  char name[256] = "";
  uint32_t attributes = 0;
  int32_t r = ImapGetFirstMailbox(server_, name, &attributes);
  while (r > 0) {
    // The list never holds more than its 256 names; further ones are left out.
    if (!(attributes & kImapFlagNoSelect) && mailboxes_.size() < kMaxMailboxNames)
      mailboxes_.push_back(plat::ToUtf16(name));
    r = ImapGetNextMailbox(server_, name, &attributes);
  }
  if (r == 0) return S_OK;
  const uint32_t error = ImapGetLastError();
  if (error == cvErrorNoMoreMailboxes) return S_OK;
  return Raise(error, s_.throwError, false);
}

// --- Message object ---

bool CInternetMail::EnsureMessage() {
  if (message_ != kInvalidLibHandle) return true;
  message_ = MimeCreateMessage();
  return message_ != kInvalidLibHandle;
}

void CInternetMail::DestroyMessage() {
  if (message_ != kInvalidLibHandle) MimeDestroyMessage(message_);
  message_ = kInvalidLibHandle;
  recipientsBuilt_ = false;
}

// --- Mail-server session ---

void CInternetMail::ForgetServerSession() {
  server_ = kInvalidLibHandle;
  s_.security = SecurityDetails{};
}

void CInternetMail::CloseServerSession() {
  if (!Connected()) return;
  if (Imap())
    ImapDisconnect(server_);
  else
    Pop3Disconnect(server_);
  ForgetServerSession();
}

// --- Control methods ---

HRESULT CInternetMail::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CInternetMail::Initialize(VARIANT reserved, VARIANT* error) {
  CV_OCX_ENTRY;
  (void)reserved;
  SetErrorArgument(error, 0);
  const HRESULT hr = AutoInitialize();
  if (FAILED(hr)) {
    SetErrorArgument(error, Low16(uint32_t(hr)));
    return s_.throwError ? hr : S_OK;
  }
  return S_OK;
}

HRESULT CInternetMail::Uninitialize() {
  CV_OCX_ENTRY;
  Reset();
  if (IsInitialized()) {
    if (s_.trace) TraceDisable();
    DetachLibraries();
  }
  return S_OK;
}

HRESULT CInternetMail::Reset() {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (Connected()) {
    if (Imap()) {
      ImapDisconnect(server_);
    } else {
      Pop3Reset(server_);  // this session's deletions are undone
      Pop3Disconnect(server_);
    }
  }
  server_ = kInvalidLibHandle;
  if (resolver_ != kInvalidLibHandle) DnsDestroyResolver(resolver_);
  resolver_ = kInvalidLibHandle;
  DestroyMessage();
  tzset();
  // A running trace ends with the flag: Trace never reads false while tracing goes on.
  if (s_.trace) TraceDisable();
  s_ = MailSettings{};
  mailboxes_.clear();
  recipients_.clear();
  recipientsBuilt_ = false;
  return S_OK;
}

}  // namespace mailctl
