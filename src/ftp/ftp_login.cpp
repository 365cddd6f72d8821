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

int32_t SendUser(FtpSession& s, const char* user) noexcept {
  if (s.options & kOptSftp) return Fail(cvErrorOperationNotSupported);
  if (Empty(user) || TooLong(user)) return Fail(cvErrorInvalidUserName);
  if (s.loggedIn) return Fail(cvErrorAlreadyAuthenticated);
  CopyField(s.user, user);
  int32_t r;
  if (s.proxyType == kProxyUser || s.proxyType == kProxyLogin) {
    char argument[kFtpCredentialSize + kFtpHostNameSize + 1];
    std::snprintf(argument, sizeof argument, "%s@%s", s.user, s.hostName);
    r = SendCommand(s, "USER", argument);
  } else {
    r = SendCommand(s, "USER", user);
  }
  if (r != -1 && r != 331 && r != 332 && !Gone(s)) s.loggedIn = 1;
  return r;
}

namespace {

// PASS or ACCT: refusals, the text kept in field, the command; a successful reply other
// than stillOut logs the session in.
template <size_t N>
int32_t SendLoginStep(FtpSession& s, const char* command, const char* text, uint32_t tooLong, char (&field)[N],
                      int32_t stillOut) noexcept {
  if (s.options & kOptSftp) return Fail(cvErrorOperationNotSupported);
  if (TooLong(text)) return Fail(tooLong);
  if (s.loggedIn) return Fail(cvErrorAlreadyAuthenticated);
  CopyField(field, text);
  int32_t r = SendCommand(s, command, text);
  if (r != -1 && r != stillOut && !Gone(s)) s.loggedIn = 1;
  return r;
}

}  // namespace

int32_t SendPassword(FtpSession& s, const char* password) noexcept {
  return SendLoginStep(s, "PASS", password, cvErrorInvalidPassword, s.password, 332);
}

int32_t SendAccount(FtpSession& s, const char* account) noexcept {
  return SendLoginStep(s, "ACCT", account, cvErrorInvalidAccount, s.account, -1);
}

int32_t Login(FtpSession& s, const char* user, const char* password, const char* account) noexcept {
  if (uint32_t refusal = LoginRefusal(s)) return Fail(refusal);
  if (Empty(user)) user = "anonymous";
  if (Empty(password)) password = "gast@";
  int32_t r = SendUser(s, user);
  if (r == -1) return -1;
  if (r >= 300 && r <= 399) {
    r = SendPassword(s, password);
    if (r == -1) return -1;
  }
  if (r >= 300 && r <= 399) {
    r = SendAccount(s, account);
    if (r == -1) return -1;
  }
  QueryFeatures(s);
  if (Gone(s)) return FailGone();
  SendType(s, kTypeImage);
  if (Gone(s)) return FailGone();
  return r;
}

}  // namespace cvftp

int32_t FtpSendUser(LibHandle handle, const char* user) {
  cvftp::Operation op(handle);
  return op ? cvftp::SendUser(*op.session(), user) : -1;
}

int32_t FtpSendPassword(LibHandle handle, const char* password) {
  cvftp::Operation op(handle);
  return op ? cvftp::SendPassword(*op.session(), password) : -1;
}

int32_t FtpSendAccount(LibHandle handle, const char* account) {
  cvftp::Operation op(handle);
  return op ? cvftp::SendAccount(*op.session(), account) : -1;
}

int32_t FtpLogin(LibHandle handle, const char* user, const char* password, const char* account) {
  cvftp::Operation op(handle);
  return op ? cvftp::Login(*op.session(), user, password, account) : -1;
}
