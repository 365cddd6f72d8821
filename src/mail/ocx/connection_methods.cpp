// Connect, Disconnect, Cancel and ChangePassword: opening, closing and interrupting the
// control's one mail-server session.
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "mail/common/mail_bits.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"
#include "platform/msg/wait.h"
#include "pop3/pop3.h"

namespace mailctl {

void CInternetMail::ReadSecurityDetails() {
  s_.security = SecurityDetails{};
  SecSessionInfo info{};
  info.size = sizeof info;
  const int32_t r = Imap() ? ImapGetSecurityInfo(server_, &info) : Pop3GetSecurityInfo(server_, &info);
  if (r < 0) return;
  SecurityDetails& d = s_.security;
  d.protocol = info.protocol;
  d.cipher = info.cipher;
  d.cipherStrength = info.cipherStrength;
  d.hash = info.hash;
  d.hashStrength = info.hashStrength;
  d.keyExchange = info.keyExchange;
  d.certificateStatus = info.certificateStatus;
  d.validFrom = info.validFrom;
  d.validTo = info.validTo;
  d.hasDates = info.validFrom.wYear != 0;
  d.issuer = info.issuer ? info.issuer : "";
  d.subject = info.subject ? info.subject : "";
}

HRESULT CInternetMail::Connect(VARIANT serverName, VARIANT serverPort, VARIANT userName, VARIANT password,
                               VARIANT timeout, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  std::u16string server, user, pass;
  uint32_t port = 0, seconds = 0, opts = 0;
  if (HRESULT hr = TextArgument(serverName, &server, serverName_.c_str()); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(serverPort, &port, uint32_t(s_.serverPort)); FAILED(hr)) return hr;
  if (HRESULT hr = TextArgument(userName, &user, userName_.c_str()); FAILED(hr)) return hr;
  if (HRESULT hr = TextArgument(password, &pass, password_.c_str()); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(timeout, &seconds, uint32_t(s_.timeout)); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(options, &opts, s_.options); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (s_.busy) {
    SetErrorArgument(error, Low16(cvErrorOperationInProgress));
    return Raise(cvErrorOperationInProgress, s_.throwError, true);
  }
  if (s_.serverType == kServerDefault)
    s_.serverType = (port == 143 || port == 993) ? kServerImap : kServerPop3;
  serverName_ = server;
  if (port <= 65535) s_.serverPort = int32_t(port);
  s_.timeout = int32_t(seconds);
  userName_ = user;
  password_ = pass;
  if (Connected()) {
    if (HRESULT hr = Disconnect(error); FAILED(hr)) return hr;
    if (Connected()) return S_OK;  // the old session could not be closed: reported already
  }
  if (user.empty() || pass.empty()) {
    SetErrorArgument(error, Low16(cvErrorAuthenticationRequired));
    return Raise(cvErrorAuthenticationRequired, s_.throwError, true);
  }

  s_.busy = true;
  // The TLS bits are the same in the POP3 and IMAP libraries.
  uint32_t libraryOptions = 0;
  if (s_.secure) libraryOptions = cvmail::kMailOptionSecure;
  if (s_.secure && (opts & kOptionImplicitSsl)) libraryOptions |= cvmail::kMailOptionSecureImplicit;
  SecCredentials* credentials = nullptr;
  if (!s_.certificateName.empty() || s_.secureProtocol != 0) {
    const std::string certUser = Utf8(s_.certificateUser), certPassword = Utf8(s_.certificatePassword),
                      certStore = Utf8(s_.certificateStore), certName = Utf8(s_.certificateName);
    SecCreateCredentials(s_.secureProtocol, certUser.c_str(), certPassword.c_str(), certStore.c_str(),
                         certName.c_str(), &credentials);
  }
  const std::string host = Utf8(server);
  server_ = Imap() ? ImapConnectServer(host.c_str(), port, seconds, libraryOptions, credentials)
                   : Pop3ConnectServer(host.c_str(), port, seconds, libraryOptions, credentials);
  if (credentials) SecFreeCredentials(&credentials);
  s_.busy = false;
  if (!Connected()) {
    ForgetServerSession();
    const uint32_t code = ServerError();
    CanceledWithoutWindow(code);
    return Fail(error, code);
  }

  EnsureWindow();
  if (Imap()) {
    ImapRegisterEvents(server_, Window(), kMsgImapNotify, kNotifyMask);
    ImapSetUpdateCallback(server_, &CInternetMail::MailboxUpdateCallback);
  } else {
    Pop3RegisterEvents(server_, Window(), kMsgPop3Notify, kNotifyMask);
  }
  ReadSecurityDetails();

  std::string userText = Utf8(user), passText = Utf8(pass);
  bool ok = false;
  if (!Imap()) {
    ok = Pop3Login(server_, (opts & kOptionApop) ? 1 : 0, userText.c_str(), passText.c_str()) >= 0;
  } else if (ImapLogin(server_, userText.c_str(), passText.c_str()) >= 0) {
    if (s_.mailboxName.empty()) s_.mailboxName = u"INBOX";
    const std::string mailbox = Utf8(s_.mailboxName);
    ImapMailboxStatus status{};
    ok = ImapSelectMailbox(server_, mailbox.c_str(), &status) >= 0;
    if (ok) s_.mailboxStatus = status;
  }
  explicit_bzero(passText.data(), passText.size());
  if (ok) {
    s_.newMessages = 0;
    return S_OK;
  }
  const uint32_t code = ServerError();
  CloseServerSession();
  return Fail(error, code);
}

HRESULT CInternetMail::Disconnect(VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (s_.busy) {
    SetErrorArgument(error, Low16(cvErrorOperationInProgress));
    return Raise(cvErrorOperationInProgress, s_.throwError, true);
  }
  if (!Connected()) return S_OK;
  const int32_t r = Imap() ? ImapDisconnect(server_) : Pop3Disconnect(server_);
  if (r < 0) return Fail(error, ServerError());
  s_.busy = false;
  s_.cancel = false;
  mailboxes_.clear();
  ForgetServerSession();
  s_.mailboxName.clear();
  s_.newMessages = 0;
  return S_OK;
}

HRESULT CInternetMail::Cancel(VARIANT*) {
  CV_OCX_ENTRY;
  if (Connected()) {
    if (Imap())
      ImapCancel(server_);
    else
      Pop3Cancel(server_);
  }
  // A connect or a relay's dialogue still waiting: its wait ends now.
  if (s_.busy) plat::CancelBlockingCall();
  s_.cancel = true;
  return S_OK;
}

HRESULT CInternetMail::ChangePassword(VARIANT userName, VARIANT oldPassword, VARIANT newPassword, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string user, oldText, newText;
  if (HRESULT hr = Utf8Argument(userName, &user, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(oldPassword, &oldText, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(newPassword, &newText, nullptr); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (Imap()) return Raise(cvErrorOperationNotSupported, s_.throwError, true);
  if (s_.busy) return Raise(cvErrorOperationInProgress, s_.throwError, true);
  s_.busy = true;
  const int32_t r = Pop3ChangePassword(server_, user.c_str(), oldText.c_str(), newText.c_str());
  s_.busy = false;
  explicit_bzero(oldText.data(), oldText.size());
  if (r == 0) {
    explicit_bzero(newText.data(), newText.size());
    return Fail(error, ServerError());
  }
  if (!userName_.empty() && Utf8(userName_) == user) password_ = plat::ToUtf16(newText);
  explicit_bzero(newText.data(), newText.size());
  return S_OK;
}

}  // namespace mailctl
