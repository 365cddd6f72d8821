// SITE and its sub-commands.
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/handlers.h"
#include "ftpsrv/local_fs.h"

namespace cvftpsrv {

namespace {

bool UnixMode(const Client& c) { return (c.server->options.load() & ftpServerUnixMode) != 0; }

bool Offered(const Client& c, const FtpSiteCommandEntry& row) {
  if (row.flags & kCmdDisabled) return false;
  if ((row.flags & kSiteWindowsMode) && UnixMode(c)) return false;
  if ((row.flags & kSiteUnixMode) && !UnixMode(c)) return false;
  return row.handler != nullptr;
}

bool SiteAllowed(const Client& c, uint32_t right, const char* name) {
  if (c.session->access.load() & right) return true;
  ReplyF(c, 502, "SITE %s command not allowed", name);
  return false;
}

std::string SitePath(const Client& c) {
  std::string path = ResolveArgument(c);
  if (path.empty()) Reply(c, 553);
  return path;
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
  return ::chmod(path.c_str(), mode) == 0;
}

}  // namespace

void CmdSite(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 2) return void(Reply(c, 500, "SITE requires parameters"));
  const std::string name = Upper(std::string(Token(s, 1)).substr(0, 31));
  for (const FtpSiteCommandEntry& row : c.server->tables.site) {
    if (!row.name) break;
    if (name == row.name && Offered(c, row)) return row.handler(c, row.flags);
  }
  ReplyF(c, 500, "SITE %s not understood", name.c_str());
}

void SiteAttrib(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessModify, "ATTRIB")) return;
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 4) return void(Reply(c, 501));
  const std::string text = Upper(std::string(Token(s, 2)).substr(0, 15));
  const std::string path = SitePath(c);
  if (path.empty() || SiteNotRegular(c, path)) return;
  uint32_t attributes = 0;
  GetAttributes(path, &attributes);
  bool add = true;
  for (char ch : text) {
    switch (ch) {
      case '+':
      case ';': add = true; break;
      case '-': add = false; break;
      case 'A':
      case 'H':
      case 'S':
      case 'R': {
        const uint32_t bit = ch == 'A' ? ftpAttributeArchive : ch == 'H' ? ftpAttributeHidden
                             : ch == 'S' ? ftpAttributeSystem : ftpAttributeReadOnly;
        attributes = add ? (attributes | bit) : (attributes & ~bit);
        break;
      }
      case 'N':
        if (add) attributes = ftpAttributeNormal;
        break;
      default: return void(Reply(c, 501));
    }
  }
  // Only the read-only attribute has a place in this file system; the others are accepted.
  if (!SetReadOnly(path, (attributes & ftpAttributeReadOnly) != 0)) return void(Reply(c, 550, "Access denied"));
  Reply(c, 250, "SITE ATTRIB command successful");
}

void SiteChgrp(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessModify, "CHGRP")) return;
  if (c.session->tokenCount < 4) return void(Reply(c, 501));
  const std::string path = SitePath(c);
  if (path.empty()) return;
  uint32_t attributes = 0;
  if (!GetAttributes(path, &attributes)) return void(Reply(c, 550, "No such file or directory"));
  if (IsDeviceAttr(attributes)) return void(Reply(c, 550, "Not a regular file or directory"));
  Reply(c, 250, "SITE CHGRP command successful");
}

void SiteChmod(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessModify, "CHMOD")) return;
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 4) return void(Reply(c, 501));
  const std::string mode = Token(s, 2);
  if (mode.size() < 3 || mode.size() > 4 || mode.find_first_not_of("01234567") != std::string::npos)
    return void(Reply(c, 501));
  const std::string path = SitePath(c);
  if (path.empty()) return;
  uint32_t attributes = 0;
  if (!GetAttributes(path, &attributes)) return void(Reply(c, 550, "No such file or directory"));
  if (IsDeviceAttr(attributes)) return void(Reply(c, 550, "Not a regular file or directory"));
  if (IsDirectoryAttr(attributes)) return void(Reply(c, 250, "SITE CHMOD command successful"));
  const unsigned long bits = std::strtoul(mode.c_str(), nullptr, 8);
  if (!SetReadOnly(path, !(bits & 0200))) return void(Reply(c, 550, "Access denied"));
  Reply(c, 250, "SITE CHMOD command successful");
}

void SiteDirstyle(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (s.listStyle != ftpListMsdos) {
    s.listStyle = ftpListMsdos;
    Reply(c, 200, "MSDOS-like directory output is on");
  } else {
    s.listStyle = ftpListUnix;
    Reply(c, 200, "MSDOS-like directory output is off");
  }
}

void SiteExec(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessExecute, "EXEC")) return;
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 3) return void(Reply(c, 501, "No program to execute"));
  const std::string name = Upper(std::string(Token(s, 2)).substr(0, 31));
  std::vector<std::string> args;
  // Quotes group words into one argument for the client; the program gets the argument
  // without the pair around it.
  for (uint32_t i = 3; i < s.tokenCount; ++i) {
    std::string a = Token(s, i);
    if (a.size() >= 2 && (a.front() == '"' || a.front() == '\'') && a.back() == a.front()) a = a.substr(1, a.size() - 2);
    args.push_back(a);
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  const uint64_t h = c.server->serverHandle.load();
  if (!FtpSessionExecuteProgram(h, s.clientId, name.c_str(), uint32_t(argv.size()), argv.data()))
    return void(ReplyF(c, 504, "Could not execute %s", name.c_str()));
  uint32_t exitCode = 0;
  FtpSessionGetExitCode(h, s.clientId, &exitCode);
  const int32_t length = FtpSessionGetProgramOutput(h, s.clientId, nullptr, 0);
  char text[96];
  std::snprintf(text, sizeof text, "Program %s exited with code %u", name.c_str(), exitCode);
  if (length > 0) {
    std::vector<char> output(size_t(length) + 1);
    if (FtpSessionGetProgramOutput(h, s.clientId, output.data(), uint32_t(output.size())) != length)
      return void(Reply(c, 500, "Could not allocate virtual memory"));
    WriteControlLine(c, "200-Start of output from " + name + ":");
    std::string block;
    const std::string all(output.data(), size_t(length));
    size_t pos = 0;
    while (pos < all.size()) {
      size_t lf = all.find('\n', pos);
      const bool last = lf == std::string::npos;
      std::string line = all.substr(pos, (last ? all.size() : lf) - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!last || !line.empty()) block += " " + line + "\r\n";
      pos = last ? all.size() : lf + 1;
    }
    for (size_t done = 0; done < block.size();) {
      const int32_t n = InetWrite(s.controlSocket, block.data() + done, int32_t(block.size() - done));
      if (n <= 0) break;
      done += size_t(n);
    }
    WriteControlLine(c, std::string("200 ") + text);
    MarkAnswered(c, 200, text);
  } else {
    Reply(c, 200, text);
  }
  s.pendingEvent.store(ftpEventExecute);
  s.pendingError.store(0);
}

void SiteHelp(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  const bool secure = (c.server->options.load() & ftpServerSecure) != 0;
  if (s.tokenCount < 3) {
    std::string text = "The following SITE commands are available:\r\n";
    for (const FtpSiteCommandEntry& row : c.server->tables.site) {
      if (!row.name) break;
      if (!Offered(c, row) || (row.flags & kCmdHidden) || ((row.flags & kCmdTls) && !secure)) continue;
      text += std::string(row.name) + "\r\n";
      if (text.size() > 960) break;
    }
    text += "End";
    return void(Reply(c, 214, text.c_str()));
  }
  const std::string name = Upper(Token(s, 2));
  const FtpSiteCommandEntry* row = FindSite(c.server->tables, name.c_str());
  if (!row) return void(ReplyF(c, 502, "SITE %s command unknown", name.c_str()));
  if (!row->handler) return void(ReplyF(c, 214, "%s is not implemented", row->name));
  ReplyF(c, 214, "Syntax: SITE %s", row->syntax ? row->syntax : row->name);
}

void SiteIdle(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessIdle, "IDLE")) return;
  ReplyIdle(c, 3, 2);
}

void SiteMkdir(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessMkdir, "MKDIR")) return;
  if (c.session->tokenCount < 3) return void(Reply(c, 501));
  const std::string path = SitePath(c);
  if (path.empty()) return;
  if (GetAttributes(path, nullptr)) return void(Reply(c, 550, "File or directory exists"));
  if (!CreateDirectoryPath(c.server->serverHandle.load(), path)) return void(Reply(c, 550, "Access denied"));
  ReplyF(c, 257, "\"%s\" created", QuotedName(VirtualOf(*c.server, *c.session, path)).c_str());
}

void SiteRmdir(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessRmdir, "RMDIR")) return;
  if (c.session->tokenCount < 3) return void(Reply(c, 501));
  const std::string path = SitePath(c);
  if (path.empty()) return;
  if (!GetAttributes(path, nullptr)) return void(Reply(c, 550, "No such file or directory"));
  if (ProtectedDirectory(c, path)) return void(Reply(c, 550, "Access denied"));
  if (!RemoveTree(path)) return void(Reply(c, 550, "Access denied"));
  Reply(c, 250, "Directory removed");
}

void SiteUtime(const Client& c, uint32_t) {
  if (!SiteAllowed(c, ftpAccessModify, "UTIME")) return;
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 4) return void(Reply(c, 501));
  const std::string when = std::string(Token(s, 2)).substr(0, 63);
  if (!SiteValidTime(when.c_str())) return void(ReplyF(c, 501, "Bad modification time %s", when.c_str()));
  const std::string path = SitePath(c);
  if (path.empty() || SiteNotRegular(c, path)) return;
  if (!FtpServerSetFileTime(c.server->serverHandle.load(), path.c_str(), when.c_str()))
    return void(Reply(c, 550, "Access denied"));
  Reply(c, 250, "SITE UTIME command successful");
}

}  // namespace cvftpsrv
