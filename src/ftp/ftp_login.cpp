// USER, PASS and ACCT, and the login built from them.
#include <cstdio>
#include <cstring>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_transfer.h"

namespace cvftp {

namespace {

constexpr size_t kMaxCredential = 128;

bool TooLong(const char* text) noexcept { return text && std::strlen(text) > kMaxCredential; }

// Checks shared by the three login commands; 0 when the command may go.
uint32_t LoginRefusal(const FtpSession& s) noexcept {
  if (s.loggedIn) return cvErrorAlreadyAuthenticated;
  if (s.options & kOptSftp) return cvErrorOperationNotSupported;
  return 0;
}

}  // namespace

Result<int32_t> SendUser(FtpSession& s, const char* user) noexcept {
  if (s.options & kOptSftp) return Status(cvErrorOperationNotSupported);
  if (Empty(user) || TooLong(user)) return Status(cvErrorInvalidUserName);
  if (s.loggedIn) return Status(cvErrorAlreadyAuthenticated);
  CopyField(s.user, user);
  Result<int32_t> r = Status();
  if (s.proxyType == kProxyUser || s.proxyType == kProxyLogin) {
    char argument[kFtpCredentialSize + kFtpHostNameSize + 1];
    std::snprintf(argument, sizeof argument, "%s@%s", s.user, s.hostName);
    r = SendCommand(s, "USER", argument);
  } else {
    r = SendCommand(s, "USER", user);
  }
  if (r.ok() && r.value() != 331 && r.value() != 332 && !Gone(s)) s.loggedIn = 1;
  return r;
}

namespace {

// PASS or ACCT: refusals, the text kept in field, the command; a successful reply other
// than stillOut logs the session in.
template <size_t N>
Result<int32_t> SendLoginStep(FtpSession& s, const char* command, const char* text, uint32_t tooLong, char (&field)[N],
                              int32_t stillOut) noexcept {
  if (s.options & kOptSftp) return Status(cvErrorOperationNotSupported);
  if (TooLong(text)) return Status(tooLong);
  if (s.loggedIn) return Status(cvErrorAlreadyAuthenticated);
  CopyField(field, text);
  const Result<int32_t> r = SendCommand(s, command, text);
  if (r.ok() && r.value() != stillOut && !Gone(s)) s.loggedIn = 1;
  return r;
}

}  // namespace

Result<int32_t> SendPassword(FtpSession& s, const char* password) noexcept {
  return SendLoginStep(s, "PASS", password, cvErrorInvalidPassword, s.password, 332);
}

Result<int32_t> SendAccount(FtpSession& s, const char* account) noexcept {
  return SendLoginStep(s, "ACCT", account, cvErrorInvalidAccount, s.account, -1);
}

Result<int32_t> Login(FtpSession& s, const char* user, const char* password, const char* account) noexcept {
  if (uint32_t refusal = LoginRefusal(s)) return Status(refusal);
  if (Empty(user)) user = "anonymous";
  if (Empty(password)) password = "gast@";
  Result<int32_t> r = SendUser(s, user);
  if (r.ok() && r.value() >= 300 && r.value() <= 399) r = SendPassword(s, password);
  if (r.ok() && r.value() >= 300 && r.value() <= 399) r = SendAccount(s, account);
  if (!r.ok()) return r;
  // What the server offers and its binary type are asked for, not required.
  static_cast<void>(QueryFeatures(s));
  if (Gone(s)) return kSessionGone;
  static_cast<void>(SendType(s, kTypeImage));
  if (Gone(s)) return kSessionGone;
  return r;
}

}  // namespace cvftp

int32_t FtpSendUser(LibHandle handle, const char* user) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::SendUser(*op.session(), user), -1) : -1;
}

int32_t FtpSendPassword(LibHandle handle, const char* password) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::SendPassword(*op.session(), password), -1) : -1;
}

int32_t FtpSendAccount(LibHandle handle, const char* account) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::SendAccount(*op.session(), account), -1) : -1;
}

int32_t FtpLogin(LibHandle handle, const char* user, const char* password, const char* account) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().FinishClean(cvftp::Login(*op.session(), user, password, account), -1) : -1;
}
