// The virtual file system of a client: login with its rights and directories, the
// resolution of a command's path argument inside the client's virtual root, and the
// path conversions and client accessors the control offers.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/local_fs.h"

namespace cvftpsrv {

namespace {

bool IsSep(char ch) { return ch == '/' || ch == '\\'; }

uint32_t DeriveLoginRights(const FtpServerRecord& r, uint32_t rights) {
  const uint32_t options = r.options.load();
  if (rights == ftpAccessDefault) {
    rights = (options & ftpServerRestricted) ? kFtpAccessRestrictedSet : kFtpAccessBeforeLogin;
    if (options & ftpServerReadOnly) rights &= ~kFtpReadOnlyRemoved;
  } else if (rights == ftpAccessRestricted) {
    rights = kFtpAccessRestrictedSet;
  } else if (rights == ftpAccessAnonymous) {
    rights = kFtpAccessAnonymousSet;
  }
  return rights;
}

std::string FullPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return CombinePath(nullptr, path.c_str());
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) return std::string();
  return CombinePath(cwd, path.c_str());
}

}  // namespace

std::string Below(const std::string& root, const std::string& path) {
  if (root == "/" || root.empty()) return path == "/" ? std::string() : path;
  return path.size() > root.size() ? path.substr(root.size()) : std::string();
}

std::string VirtualRoot(const FtpServerRecord& r, const FtpServerSession& s) {
  if (s.access.load() & ftpAccessRestricted) return GetText(s, s.homeDirectory);
  return r.rootDirectory;
}

std::string VirtualOf(const FtpServerRecord& r, const FtpServerSession& s, const std::string& local) {
  const std::string full = FullPath(local);
  const std::string root = VirtualRoot(r, s);
  if (full.empty() || root.empty() || ComparePaths(root, full) < 0) return std::string();
  std::string rest = Below(root, full);
  for (char& ch : rest)
    if (ch == '\\') ch = '/';
  return rest.empty() ? "/" : rest;
}

int32_t Authenticate(const Client& c, uint32_t rights, const char* homeArg) {
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  const uint64_t h = r.serverHandle.load();
  if (s.loggedIn.load()) return Fail(h, cvErrorAlreadyAuthenticated, 0);
  rights = DeriveLoginRights(r, rights);
  if (rights & ftpAccessAnonymous) s.guest.store(1);
  std::string home;
  const bool hasArg = homeArg && *homeArg;
  if (s.guest.load()) {
    home = hasArg ? CombinePath(r.publicDirectory, homeArg) : std::string(r.publicDirectory);
    rights |= ftpAccessRestricted | ftpAccessAnonymous;
  } else if (!hasArg) {
    home = (r.options.load() & ftpServerMultiUser) ? CombinePath(r.usersDirectory, GetText(s, s.userName).c_str())
                                                   : std::string(r.rootDirectory);
  } else {
    home = CombinePath(r.rootDirectory, homeArg);
  }
  if (home.empty()) return Fail(h, cvErrorInvalidFileName, 0);
  if (!CreateDirectoryPath(h, home)) return 0;
  {
    std::lock_guard lk(s.textLock);
    CopyText(s.homeDirectory, sizeof s.homeDirectory, home.c_str());
    CopyText(s.currentDirectory, sizeof s.currentDirectory, home.c_str());
  }
  s.access.store(rights);
  s.loggedIn.store(1);
  r.loggedIn.fetch_add(1);
  if (s.guest.load()) r.loggedInGuests.fetch_add(1);
  InetSetLastError(0);
  return 1;
}

std::string ResolveArgument(const Client& c) { return ResolveArgumentFrom(c, 0); }

std::string ResolveArgumentFrom(const Client& c, uint32_t first) {
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  const uint64_t h = r.serverHandle.load();
  if (!s.loggedIn.load()) return Fail(h, cvErrorAuthenticationRequired), std::string();
  const FtpCommandEntry* row = FindCommand(r.tables, Token(s, 0));
  if (!row || !(row->flags & (kCmdFile | kCmdPath))) return Fail(h, cvErrorInvalidCommand), std::string();
  if (s.tokenCount <= 1 || (first != 0 && first >= s.tokenCount)) {
    if (!(row->flags & kCmdOptionalPath)) return Fail(h, cvErrorInvalidCommand), std::string();
    std::lock_guard lk(s.textLock);
    if (!s.resolvedPath[0]) CopyText(s.resolvedPath, sizeof s.resolvedPath, s.currentDirectory);
  }
  {
    std::lock_guard lk(s.textLock);
    if (s.resolvedPath[0]) return s.resolvedPath;
  }
  uint32_t start = row->parameters;
  if (row->flags & kCmdSite) {
    const FtpSiteCommandEntry* site = FindSite(r.tables, Token(s, 1));
    start = 1 + (site ? site->parameters : 0);
  }
  start = std::max<uint32_t>(first != 0 ? first : start, 1);
  if (start >= s.tokenCount) return Fail(h, cvErrorInvalidCommandParameter), std::string();
  std::string text = RawArgument(s, start);
  if (text.empty()) return Fail(h, cvErrorInvalidCommandParameter), std::string();
  if (text.find(':') != std::string::npos) return Fail(h, cvErrorInvalidFileName), std::string();
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
  if (text.size() >= 4 && IsSep(text[0]) && IsSep(text[1])) return Fail(h, cvErrorInvalidFileName), std::string();

  const std::string root = VirtualRoot(r, s);
  const std::string home = GetText(s, s.homeDirectory);
  const std::string current = GetText(s, s.currentDirectory);
  const bool restricted = (s.access.load() & ftpAccessRestricted) != 0;
  if (!text.empty() && text[0] == '~') {
    if (text.size() == 1) {
      text = "/";
      if (!restricted && home.size() > root.size()) text = Below(root, home);
    } else if (IsSep(text[1])) {
      std::string rest = "/" + text.substr(2);
      if (!restricted && home.size() >= root.size()) rest = Below(root, home) + rest;
      text = rest;
    } else {
      return Fail(h, cvErrorInvalidFileName), std::string();
    }
  }
  std::string result;
  if (!text.empty() && IsSep(text[0])) {
    result = CombineExact(root.c_str(), text.c_str());
  } else {
    if (current != root) {
      if (current.size() < root.size()) return Fail(h, cvErrorInvalidFileName), std::string();
      text = Below(root, current) + "/" + text;
    }
    result = CombineExact(root.c_str(), text.c_str());
    if (!result.empty() && ComparePaths(root, result) < 0) result = root;
  }
  if (result.empty()) return Fail(h, cvErrorInvalidFileName), std::string();
  // The text stays below the root; a symbolic link inside it must not lead out of it.
  if (!InsideRoot(root, result)) return Fail(h, cvErrorInvalidFileName), std::string();
  if (result.size() >= kFtpPathSize) return Fail(h, cvErrorBufferTooSmall), std::string();
  SetText(s, s.resolvedPath, result.c_str());
  return result;
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

int32_t FtpSessionAuthenticate(uint64_t server, uint32_t clientId, uint32_t rights, const char* home) {
  Client c = FindClient(server, clientId);
  return c ? Authenticate(c, rights, home) : 0;
}

int32_t FtpSessionResolvePath(uint64_t server, uint32_t clientId, char* out) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!c.session->loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  if (!out) return Fail(server, cvErrorInvalidParameter, 0);
  out[0] = '\0';
  const std::string path = ResolveArgument(c);
  if (path.empty()) return 0;
  CopyText(out, kFtpPathSize, path.c_str());
  return int32_t(path.size());
}

int32_t FtpSessionSetLocalPath(uint64_t server, uint32_t clientId, const char* path) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  const FtpCommandEntry* row = FindCommand(c.server->tables, Token(s, 0));
  if (!row || !(row->flags & (kCmdFile | kCmdPath)) || (s.tokenCount <= 1 && !(row->flags & kCmdOptionalPath)))
    return Fail(server, cvErrorInvalidCommand, 0);
  while (path && *path == ' ') ++path;
  if (!path || !*path) {
    SetText(s, s.resolvedPath, "");
    return 1;
  }
  std::string full;
  const size_t n = std::strlen(path);
  if ((n >= 3 && path[1] == ':') || IsSep(path[0])) full = FullPath(CombinePath(nullptr, path));
  else full = CombinePath(GetText(s, s.currentDirectory).c_str(), path);
  if (full.empty()) return Fail(server, cvErrorInvalidFileName, 0);
  SetText(s, s.resolvedPath, full.c_str());
  return 1;
}

int32_t FtpSessionLocalToVirtual(uint64_t server, uint32_t clientId, const char* local, char* out) {
  if (!local || !*local) return Fail(server, cvErrorInvalidFileName, 0);
  if (!out) return Fail(server, cvErrorBufferTooSmall, 0);
  out[0] = '\0';
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (FullPath(local).empty()) return Fail(server, cvErrorInvalidFileName, 0);
  if (!c.session->loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  const std::string v = VirtualOf(*c.server, *c.session, local);
  if (v.empty()) return Fail(server, cvErrorInvalidFileName, 0);
  if (v.size() >= kFtpPathSize) return Fail(server, cvErrorBufferTooSmall, 0);
  CopyText(out, kFtpPathSize, v.c_str());
  return int32_t(v.size());
}

int32_t FtpSessionVirtualToLocal(uint64_t server, uint32_t clientId, const char* path, char* out) {
  if (!out) return Fail(server, cvErrorInvalidParameter, 0);
  out[0] = '\0';
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  while (path && *path == ' ') ++path;
  if (!path || !*path) return Fail(server, cvErrorInvalidFileName, 0);
  std::string base;
  if (path[0] == '~' && (path[1] == '\0' || IsSep(path[1]))) {
    base = GetText(s, s.homeDirectory);
    ++path;
  } else if (IsSep(path[0])) {
    base = VirtualRoot(*c.server, s);
  } else {
    base = GetText(s, s.currentDirectory);
  }
  const std::string local = CombinePath(base.empty() ? nullptr : base.c_str(), *path ? path : "/");
  if (local.empty()) return Fail(server, cvErrorInvalidFileName, 0);
  if (local.size() >= kFtpPathSize) return Fail(server, cvErrorBufferTooSmall, 0);
  CopyText(out, kFtpPathSize, local.c_str());
  return int32_t(local.size());
}

int32_t FtpSessionIsAuthenticated(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  InetSetLastError(0);
  return c.session->loggedIn.load() ? 1 : 0;
}

int32_t FtpSessionIsAnonymous(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!c.session->loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  return c.session->guest.load() ? 1 : 0;
}

int32_t FtpSessionGetAccess(uint64_t server, uint32_t clientId, uint32_t* rights) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!rights) return Fail(server, cvErrorInvalidParameter, 0);
  *rights = 0;
  if (!c.session->loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  *rights = c.session->access.load();
  return 1;
}

int32_t FtpSessionSetAccess(uint64_t server, uint32_t clientId, uint32_t rights) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  if (!s.loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  if (s.access.load() & ftpAccessRestricted) return Fail(server, cvErrorAccessDenied, 0);
  if (rights != ftpAccessDefault && (rights & (ftpAccessRestricted | ftpAccessAnonymous)))
    return Fail(server, cvErrorInvalidParameter, 0);
  if (rights == ftpAccessDefault)
    rights = (c.server->options.load() & ftpServerReadOnly) ? (kFtpAccessBeforeLogin & ~kFtpReadOnlyRemoved)
                                                            : kFtpAccessBeforeLogin;
  s.access.store(rights);
  return 1;
}

int32_t FtpSessionGetUserName(uint64_t server, uint32_t clientId, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter, 0);
  buffer[0] = '\0';
  if (!c.session->loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  const std::string text = GetText(*c.session, c.session->userName);
  if (text.size() >= 64) return Fail(server, cvErrorBufferTooSmall, 0);
  CopyText(buffer, 64, text.c_str());
  return int32_t(text.size());
}

int32_t FtpSessionGetHomeDirectory(uint64_t server, uint32_t clientId, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter, 0);
  buffer[0] = '\0';
  if (!c.session->loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  const std::string text = GetText(*c.session, c.session->homeDirectory);
  if (text.empty()) return Fail(server, cvErrorDirectoryNotFound, 0);
  CopyText(buffer, kFtpPathSize, text.c_str());
  return int32_t(text.size());
}

int32_t FtpSessionGetCurrentDirectory(uint64_t server, uint32_t clientId, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter, 0);
  buffer[0] = '\0';
  if (!c.session->loggedIn.load()) return Fail(server, cvErrorAuthenticationRequired, 0);
  const std::string text = GetText(*c.session, c.session->currentDirectory);
  if (text.empty()) return Fail(server, cvErrorDirectoryNotFound, 0);
  CopyText(buffer, kFtpPathSize, text.c_str());
  return int32_t(text.size());
}

uint32_t FtpSessionGetResultCode(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  InetSetLastError(0);
  return c.session->replySent.load() ? c.session->lastReplyCode.load() : 0;
}

uint32_t FtpSessionGetIdleTime(uint64_t server, uint32_t clientId, uint32_t* idle) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  if (idle) {
    const bool transferring = s.dataSocket.load() != INVALID_SOCKET && s.state.load() != kFtpStateIdle;
    *idle = transferring ? 0 : uint32_t(std::max<int64_t>(0, Now() - s.lastActivity.load()));
  }
  return s.idleLimit.load();
}

uint32_t FtpSessionSetIdleTimeout(uint64_t server, uint32_t clientId, uint32_t seconds) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  const uint32_t previous = s.idleLimit.load();
  if (seconds == 0xFFFFFFFFu) {
    s.lastActivity.store(Now());
    return previous;
  }
  if (seconds == 0) seconds = c.server->idleTime;
  s.idleLimit.store(std::clamp<uint32_t>(seconds, 60, 7200));
  return previous;
}

int32_t FtpServerSetStackSize(uint64_t server, uint32_t bytes) {
  if (!Lib().FindServer(server)) return 0;
  return ServerSetStackSize(SOCKET(server), bytes);
}
