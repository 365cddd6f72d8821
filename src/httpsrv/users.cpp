// Users of the virtual hosts and the authentication of a request's Basic credentials.
#include <cstring>

#include "ftpsrv/local_logon.h"
#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {
namespace {

// Constant-time comparison of secrets.
bool SecretEquals(const std::string& a, const std::string& b) {
  unsigned diff = unsigned(a.size() ^ b.size());
  for (size_t i = 0; i < a.size(); ++i) diff |= unsigned(uint8_t(a[i]) ^ uint8_t(i < b.size() ? b[i] : 0));
  return diff == 0;
}

std::string SkipLeadingBlanks(const char* text) {
  while (*text == ' ') ++text;
  return text;
}

}  // namespace

const User* FindUser(HttpServerRecord& r, uint32_t hostId, const std::string& name) {
  for (const User& u : r.users)
    if (u.hostId == hostId && IEquals(u.userName, name)) return (u.flags & kDeleted) ? nullptr : &u;
  return nullptr;
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpServerAddUser(uint64_t server, uint32_t hostId, uint32_t access, const char* userText,
                          const char* passwordText, const char* home) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  VirtualHost* host = HostOf(*r, hostId);
  if (!host) return Fail(server, hostId >= kMaxHosts ? cvErrorInvalidVirtualHost : cvErrorVirtualHostNotFound);
  if (access == httpAccessDefault) access = (r->options.load() & httpServerRestricted) ? 0x100001 : 15;
  const std::string name = SkipLeadingBlanks(userText ? userText : "");
  if (name.size() < 3 || name.size() > 63) return Fail(server, cvErrorInvalidUserName);
  for (char ch : name)
    if (ch < '!' || ch > '}' || std::strchr("<>[]{}\\/|:\"'&@~*?", ch)) return Fail(server, cvErrorInvalidUserName);
  const std::string password = SkipLeadingBlanks(passwordText ? passwordText : "");
  if (password.empty() || password.size() > 63) return Fail(server, cvErrorInvalidPassword);
  for (char ch : password)
    if (ch < '!' || ch > '}') return Fail(server, cvErrorInvalidPassword);
  std::string dir = home && *home ? Canonical(ExpandPath(home)) : host->root;
  if (dir.empty()) return Fail(server, cvErrorDirectoryNotFound);
  if (!HttpServerValidatePath(server, dir.c_str(), 3)) return 0;
  std::lock_guard lk(Lib().lock());
  if (dir.size() >= sizeof(HttpUser::home)) return Fail(server, cvErrorInvalidFileName);
  User* slot = nullptr;
  for (User& u : r->users)
    if (u.hostId == hostId && IEquals(u.userName, name)) slot = &u;
  for (User& u : r->users)
    if (!slot && (u.flags & kDeleted)) slot = &u;
  if (!slot) slot = &r->users.emplace_back();
  slot->flags = 0;
  slot->access = access;
  slot->hostId = hostId;
  std::snprintf(slot->userName, sizeof slot->userName, "%s", name.c_str());
  explicit_bzero(slot->password, sizeof slot->password);
  std::snprintf(slot->password, sizeof slot->password, "%s", password.c_str());
  std::snprintf(slot->home, sizeof slot->home, "%s", dir.c_str());
  InetSetLastError(0);
  return 1;
}

int32_t HttpServerDeleteUser(uint64_t server, uint32_t hostId, const char* name) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  std::lock_guard lk(Lib().lock());
  for (User& u : r->users)
    if (u.hostId == hostId && !(u.flags & kDeleted) && IEquals(u.userName, name ? name : "")) {
      u.flags |= kDeleted;
      return 1;
    }
  return Fail(server, cvErrorInvalidUserName);
}

const HttpUser* HttpServerFindUser(uint64_t server, uint32_t hostId, const char* name) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return nullptr;
  for (const User& u : r->users)
    if (u.hostId == hostId && IEquals(u.userName, name ? name : ""))
      return (u.flags & kDeleted) ? nullptr : static_cast<const HttpUser*>(&u);
  return Fail<const HttpUser*>(server, cvErrorInvalidUserName, nullptr);
}

int32_t HttpServerCheckUser(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (s.authenticated) return Fail(server, cvErrorAlreadyAuthenticated);
  if (const User* u = FindUser(*c.server, s.hostId, s.userName)) {
    if (!SecretEquals(u->password, s.password)) return Fail(server, cvErrorInvalidPassword);
    s.authenticated = true;
    s.credentialsPresent = true;
    s.clientAccess = u->access;
    return 1;
  }
  if (c.server->options.load() & httpServerLocalUser) {
    // The administrator accounts are never reachable from the network.
    for (const char* refused : {"Administrator", "Guest", "root"})
      if (IEquals(s.userName, refused)) return 0;
    if (!cvftpsrv::LocalLogon(s.userName.c_str(), s.password.c_str())) return 0;
    return HttpSessionAuthenticate(server, clientId, httpAccessDefault);
  }
  return Fail(server, cvErrorInvalidUserName);
}

int32_t HttpSessionAuthenticate(uint64_t server, uint32_t clientId, uint32_t access) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (s.authenticated) return Fail(server, cvErrorAlreadyAuthenticated);
  if (access & httpAccessProtected) return Fail(server, cvErrorInvalidParameter);
  const uint32_t options = c.server->options.load();
  if (access == httpAccessDefault)
    access = (options & httpServerRestricted) ? 0x100001 : (options & httpServerReadOnly) ? 13 : 15;
  s.credentialsPresent = true;
  s.authenticated = true;
  s.clientAccess = access;
  return 1;
}

int32_t HttpSessionIsAuthenticated(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  return c && c.session->authenticated ? 1 : 0;
}

int32_t HttpSessionGetCredentials(uint64_t server, uint32_t clientId, HttpCredentials* out) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!out || out->size != sizeof(HttpCredentials)) return Fail(server, cvErrorInvalidParameter);
  HttpSession& s = *c.session;
  if (s.userName.empty()) return Fail(server, cvErrorClientNotIdentified);
  std::memset(reinterpret_cast<char*>(out) + 4, 0, sizeof *out - 4);
  out->present = s.credentialsPresent ? 1 : 0;
  out->port = s.port;
  std::snprintf(out->hostName, sizeof out->hostName, "%s", s.hostName.c_str());
  std::snprintf(out->userName, sizeof out->userName, "%s", s.userName.c_str());
  std::snprintf(out->password, sizeof out->password, "%s", s.password.c_str());
  return 1;
}

int32_t HttpSessionGetAccess(uint64_t server, uint32_t clientId, int32_t* out) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!out) return Fail(server, cvErrorInvalidParameter);
  *out = int32_t(c.session->clientAccess);
  return 1;
}

int32_t HttpSessionSetAccess(uint64_t server, uint32_t clientId, uint32_t access) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (access & httpAccessProtected) return Fail(server, cvErrorInvalidParameter);
  if (access & httpAccessDefault) access = (c.server->options.load() & httpServerRestricted) ? 0x100001 : 15;
  else if (access == httpAccessRestricted) access = 0x100001;
  else if (access & httpAccessRestricted) access &= ~(httpAccessWrite | httpAccessExecute | httpAccessList);
  c.session->clientAccess = access;
  return 1;
}

int32_t HttpSessionGetUser(uint64_t server, uint32_t clientId, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter);
  if (!c.session->authenticated) return Fail(server, cvErrorAuthenticationRequired);
  if (c.session->userName.size() >= 64) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, c.session->userName.c_str(), c.session->userName.size() + 1);
  return int32_t(c.session->userName.size());
}
