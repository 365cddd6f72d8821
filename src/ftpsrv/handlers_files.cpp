// Handlers of the commands on single files and directories.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/handlers.h"
#include "ftpsrv/local_fs.h"

namespace cvftpsrv {

namespace {

uint64_t Handle(const Client& c) { return c.server->serverHandle.load(); }

bool Allowed(const Client& c, uint32_t right) {
  if (c.session->access.load() & right) return true;
  ReplyF(c, 502, "%s command not allowed", Token(*c.session, 0));
  return false;
}

// True (after the reply) when the path is missing or not a regular file.
bool NotRegular(const Client& c, const std::string& path, const char* missing) {
  uint32_t attributes = 0;
  if (!GetAttributes(path, &attributes)) {
    Reply(c, 550, missing);
    return true;
  }
  if (IsDirectoryAttr(attributes) || IsDeviceAttr(attributes)) {
    Reply(c, 550, "Not a regular file");
    return true;
  }
  return false;
}

bool ValidTimeText(const char* t) {
  const size_t n = std::strlen(t);
  if (n < 14) return false;
  for (size_t i = 0; i < n; ++i)
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
  return true;
}

}  // namespace

// A directory that must not be removed: the current directory or one of its ancestors,
// the home, the server root, the users or the public directory.
bool ProtectedDirectory(const Client& c, const std::string& path) {
  const FtpServerRecord& r = *c.server;
  const FtpServerSession& s = *c.session;
  if (ComparePaths(path, GetText(s, s.currentDirectory)) >= 0) return true;
  for (const std::string& p : {GetText(s, s.homeDirectory), std::string(r.rootDirectory),
                               std::string(r.usersDirectory), std::string(r.publicDirectory)})
    if (CombinePath(nullptr, p.c_str()) == CombinePath(nullptr, path.c_str())) return true;
  return false;
}

void CmdCwd(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessChdir)) return;
  FtpServerSession& s = *c.session;
  const std::string path = ResolveArgument(c);
  uint32_t attributes = 0;
  const bool hiddenOk = (c.server->options.load() & ftpServerHiddenFiles) || path == VirtualRoot(*c.server, s);
  if (path.empty() || !GetAttributes(path, &attributes) || !IsDirectoryAttr(attributes) ||
      (!hiddenOk && (attributes & (ftpAttributeHidden | ftpAttributeSystem))))
    return void(Reply(c, 550));
  SetText(s, s.currentDirectory, path.c_str());
  Reply(c, 250);
}

void CmdCdup(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessChdir)) return;
  FtpServerSession& s = *c.session;
  const std::string root = VirtualRoot(*c.server, s);
  std::string current = GetText(s, s.currentDirectory);
  if (current != root) {
    const size_t slash = current.find_last_of('/');
    current = (slash == std::string::npos || slash == 0) ? root : current.substr(0, slash);
    if (ComparePaths(root, current) < 0) current = root;
    SetText(s, s.currentDirectory, current.c_str());
  }
  Reply(c, 250);
}

void CmdPwd(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  const std::string root = VirtualRoot(*c.server, s);
  std::string rest = root.empty() ? std::string() : Below(root, GetText(s, s.currentDirectory));
  if (rest.empty()) rest = "/";
  ReplyF(c, 257, "\"%s\" is the current directory", QuotedName(rest).c_str());
}

void CmdMkd(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessMkdir)) return;
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  if (GetAttributes(path, nullptr)) return void(Reply(c, 550, "File or directory exists"));
  if (::mkdir(path.c_str(), 0777) != 0) return void(Reply(c, 550, "Access denied"));
  ReplyF(c, 257, "\"%s\" created", QuotedName(VirtualOf(*c.server, *c.session, path)).c_str());
}

void CmdRmd(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessRmdir)) return;
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  if (!GetAttributes(path, nullptr)) return void(Reply(c, 550, "No such file or directory"));
  if (ProtectedDirectory(c, path)) return void(Reply(c, 550, "Access denied"));
  const bool all = std::strcmp(Token(*c.session, 0), "RMDA") == 0;
  const bool ok = all ? RemoveTree(path) : ::rmdir(path.c_str()) == 0;
  Reply(c, ok ? 250 : 550, ok ? "Directory removed" : "Access denied");
}

void CmdDele(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessDelete)) return;
  const std::string path = ResolveArgument(c);
  if (path.empty() || !GetAttributes(path, nullptr)) return void(Reply(c, 550, "No such file or directory"));
  uint32_t attributes = 0;
  GetAttributes(path, &attributes);
  // The server may run with rights that ignore the owner-write bit: a read-only file is
  // refused here.
  const bool ok = !IsDirectoryAttr(attributes) && !(attributes & ftpAttributeReadOnly) && ::unlink(path.c_str()) == 0;
  Reply(c, ok ? 250 : 550, ok ? "File deleted" : "Access denied");
}

void CmdRnfr(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessRename)) return;
  FtpServerSession& s = *c.session;
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  if (s.state.load() != kFtpStateIdle) {
    if (s.state.load() == kFtpStateRename) s.state.store(kFtpStateIdle);
    return void(Reply(c, 503));
  }
  uint32_t attributes = 0;
  if (!GetAttributes(path, &attributes)) return void(Reply(c, 550, "No such file or directory"));
  if (IsDeviceAttr(attributes)) return void(Reply(c, 550, "Not a regular file or directory"));
  if ((attributes & ftpAttributeReadOnly) && !IsDirectoryAttr(attributes)) return void(Reply(c, 550, "Access denied"));
  SetText(s, s.renameSource, path.c_str());
  s.state.store(kFtpStateRename);
  Reply(c, 350, "File or directory exists, ready for new name");
}

void CmdRnto(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessRename)) return;
  FtpServerSession& s = *c.session;
  if (s.state.load() != kFtpStateRename) return void(Reply(c, 503));
  s.state.store(kFtpStateIdle);
  const std::string source = GetText(s, s.renameSource);
  const std::string target = ResolveArgument(c);
  if (target.empty()) return void(Reply(c, 553));
  uint32_t sourceAttr = 0, targetAttr = 0;
  GetAttributes(source, &sourceAttr);
  if (GetAttributes(target, &targetAttr)) {
    if (IsDeviceAttr(targetAttr)) return void(Reply(c, 550, "Not a file or directory"));
    if (IsDirectoryAttr(sourceAttr) && !IsDirectoryAttr(targetAttr)) return void(Reply(c, 550, "Not a directory"));
    // A directory is never moved over an existing one.
    if (IsDirectoryAttr(sourceAttr) && IsDirectoryAttr(targetAttr)) return void(Reply(c, 550, "Access denied"));
    if (!IsDirectoryAttr(sourceAttr) && IsDirectoryAttr(targetAttr)) return void(Reply(c, 550, "Access denied"));
  }
  const bool ok = ::rename(source.c_str(), target.c_str()) == 0;
  Reply(c, ok ? 250 : 550, ok ? "Rename successful" : "Access denied");
}

void CmdSize(const Client& c, uint32_t) {
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  if (NotRegular(c, path, "No such file or directory")) return;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return void(Reply(c, 550, "Access denied"));
  ReplyF(c, 213, "%llu", static_cast<unsigned long long>(st.st_size));
}

void CmdMdtm(const Client& c, uint32_t) {
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  if (NotRegular(c, path, "File not found")) return;
  char when[64];
  if (!FtpServerGetFileTime(Handle(c), path.c_str(), when)) return void(Reply(c, 550, "Access denied"));
  Reply(c, 213, when);
}

void CmdMfmt(const Client& c, uint32_t) {
  if (!Allowed(c, ftpAccessModify)) return;
  const std::string when = std::string(Token(*c.session, 1)).substr(0, 63);
  if (!ValidTimeText(when.c_str())) return void(ReplyF(c, 501, "Bad modification time %s", when.c_str()));
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  if (NotRegular(c, path, "File not found")) return;
  if (!FtpServerSetFileTime(Handle(c), path.c_str(), when.c_str())) return void(Reply(c, 550, "Access denied"));
  ReplyF(c, 213, "Modify=%s; %s", when.c_str(), VirtualOf(*c.server, *c.session, path).c_str());
}

void CmdHash(const Client& c, uint32_t) {
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  if (NotRegular(c, path, "File not found")) return;
  char value[128];
  const uint32_t method = std::strcmp(Token(*c.session, 0), "XCRC") == 0 ? 1 : 2;
  if (!FtpServerHashFile(Handle(c), path.c_str(), method, value)) return void(Reply(c, 550, "Access denied"));
  Reply(c, 250, value);
}

// SITE sub-commands that work on files share these checks.
bool SiteNotRegular(const Client& c, const std::string& path) { return NotRegular(c, path, "File not found"); }
bool SiteValidTime(const char* t) { return ValidTimeText(t); }

}  // namespace cvftpsrv
