// The server's user list and the logon of a client against it and against local
// accounts.
#include <strings.h>

#include <cstring>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/local_logon.h"

namespace cvftpsrv {

namespace {

bool ValidUserName(const char* name) {
  if (!name) return false;
  while (*name == ' ') ++name;
  const size_t n = std::strlen(name);
  if (n < 3 || n > 63) return false;
  for (const char* p = name; *p; ++p) {
    const unsigned char ch = static_cast<unsigned char>(*p);
    if (ch < 33 || ch > 125 || std::strchr("<>[]{}\\/|:\"'&@~*?", ch)) return false;
  }
  return !IEquals(name, "anonymous") && !IEquals(name, "ftp");
}

bool ValidPassword(const char* password) {
  if (!password) return false;
  while (*password == ' ') ++password;
  const size_t n = std::strlen(password);
  if (n < 1 || n > 63) return false;
  for (const char* p = password; *p; ++p)
    if (static_cast<unsigned char>(*p) < 33 || static_cast<unsigned char>(*p) > 125) return false;
  return true;
}

const char* SkipBlanks(const char* t) {
  while (t && *t == ' ') ++t;
  return t;
}

// Compares without an early exit, so the time taken tells nothing about the password.
bool SameSecret(const char* a, const char* b) {
  const size_t na = std::strlen(a), nb = std::strlen(b);
  unsigned char diff = na == nb ? 0 : 1;
  for (size_t i = 0; i < 64; ++i) {
    const unsigned char x = i < na ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < nb ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

}  // namespace

FtpUserEntry* FindUserLocked(FtpServerRecord& r, const char* name) {
  for (FtpUserEntry& e : r.users)
    if (IEquals(e.userName, name)) return &e;
  return nullptr;
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

int32_t FtpServerAddUser(uint64_t server, uint32_t rights, const char* user, const char* password, const char* home) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (rights == ftpAccessDefault)
    rights = (r->options.load() & ftpServerRestricted) ? kFtpAccessRestrictedSet : kFtpAccessBeforeLogin;
  if (!ValidUserName(user)) return Fail(server, cvErrorInvalidUserName, 0);
  if (!ValidPassword(password)) return Fail(server, cvErrorInvalidPassword, 0);
  user = SkipBlanks(user);
  password = SkipBlanks(password);
  home = SkipBlanks(home);
  std::lock_guard lk(Lib().lock());
  FtpUserEntry* e = FindUserLocked(*r, user);
  if (!e)
    for (FtpUserEntry& candidate : r->users)
      if (candidate.flags & kFtpUserDeleted) {
        e = &candidate;
        break;
      }
  if (!e) e = &r->users.emplace_back();
  e->flags = 0;
  e->rights = rights;
  e->reserved = 0;
  CopyText(e->userName, sizeof e->userName, user);
  explicit_bzero(e->password, sizeof e->password);
  CopyText(e->password, sizeof e->password, password);
  CopyText(e->homeDirectory, sizeof e->homeDirectory, home ? home : "");
  InetSetLastError(0);
  return 1;
}

int32_t FtpServerDeleteUser(uint64_t server, const char* user) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  std::lock_guard lk(Lib().lock());
  FtpUserEntry* e = FindUserLocked(*r, user);
  if (!e) return Fail(server, cvErrorInvalidUserName, 0);
  if (e->flags & kFtpUserDeleted) return 0;
  e->flags |= kFtpUserDeleted;
  explicit_bzero(e->password, sizeof e->password);
  return 1;
}

const FtpUserEntry* FtpServerFindUser(uint64_t server, const char* user) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return nullptr;
  std::lock_guard lk(Lib().lock());
  const FtpUserEntry* e = FindUserLocked(*r, user);
  if (!e) return Fail(server, cvErrorInvalidUserName, static_cast<const FtpUserEntry*>(nullptr));
  return (e->flags & kFtpUserDeleted) ? nullptr : e;
}

int32_t FtpServerFreeUsers(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  std::lock_guard lk(Lib().lock());
  for (FtpUserEntry& e : r->users) explicit_bzero(e.password, sizeof e.password);
  r->users.clear();
  return 1;
}

int32_t FtpSessionLogonUser(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  if (s.loggedIn.load()) return Fail(server, cvErrorAlreadyAuthenticated, 0);
  const std::string user = GetText(s, s.userName);
  std::string password = GetText(s, s.password);
  // The entry is copied under the lock: AddUser may overwrite it meanwhile.
  FtpUserEntry entry;
  bool found = false, deleted = false;
  {
    std::lock_guard lk(Lib().lock());
    if (const FtpUserEntry* e = FindUserLocked(*c.server, user.c_str())) {
      deleted = (e->flags & kFtpUserDeleted) != 0;
      found = !deleted;
      if (found) entry = *e;
    }
  }
  int32_t result = 0;
  if (found) {
    if (SameSecret(entry.password, password.c_str()))
      result = Authenticate(c, entry.rights, entry.homeDirectory[0] ? entry.homeDirectory : nullptr);
    else
      Fail(server, cvErrorInvalidPassword);
  } else if (c.server->options.load() & ftpServerLocalUser) {
    // The machine's administrator and guest accounts never log in here (nor does any
    // account with the superuser's uid: LocalLogon refuses those).
    if (!IEquals(user.c_str(), "Administrator") && !IEquals(user.c_str(), "Guest") &&
        LocalLogon(user.c_str(), password.c_str()))
      result = Authenticate(c, ftpAccessDefault, nullptr);
  } else if (!deleted) {
    Fail(server, cvErrorInvalidUserName);
  }
  explicit_bzero(entry.password, sizeof entry.password);
  explicit_bzero(password.data(), password.size());
  return result;
}

int32_t FtpSessionGetAuthenticateInfo(uint64_t server, uint32_t clientId, FtpAuthenticateInfo* info) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!info || info->size != sizeof(FtpAuthenticateInfo)) return Fail(server, cvErrorInvalidParameter, 0);
  FtpServerSession& s = *c.session;
  info->reserved = 0;
  std::string host = GetText(s, s.hostName);
  if (host.empty()) {
    std::lock_guard lk(c.server->textLock);
    host = c.server->hostName;
  }
  CopyText(info->hostName, sizeof info->hostName, host.c_str());
  {
    std::lock_guard lk(s.textLock);
    CopyText(info->userName, sizeof info->userName, s.userName);
    CopyText(info->password, sizeof info->password, s.password);
  }
  if (!info->userName[0]) return Fail(server, cvErrorClientNotIdentified, 0);
  return 1;
}
