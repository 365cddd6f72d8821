// Handlers of the login, session and information commands.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/handlers.h"
#include "ftpsrv/local_fs.h"
#include "platform/base/tick.h"
#include "platform/version.h"
#include "sockets/server/server_pauses.h"

namespace cvftpsrv {

namespace {

bool Secure(const Client& c) { return (c.server->options.load() & ftpServerSecure) != 0; }

bool AllDigits(const char* t) {
  if (!*t) return false;
  for (; *t; ++t)
    if (!std::isdigit(static_cast<unsigned char>(*t))) return false;
  return true;
}

void LeaveLoggedIn(const Client& c) {
  FtpServerSession& s = *c.session;
  if (s.loggedIn.exchange(0)) {
    c.server->loggedIn.fetch_sub(1);
    if (s.guest.load()) c.server->loggedInGuests.fetch_sub(1);
  }
}

}  // namespace

void ReplyIdle(const Client& c, uint32_t tokens, uint32_t valueIndex) {
  FtpServerSession& s = *c.session;
  if (s.tokenCount < tokens) {
    ReplyF(c, 200, "IDLE time limit is %d seconds; maximum is %d", int(s.idleLimit.load()), 7200);
    return;
  }
  if (s.tokenCount > tokens + 1 || !AllDigits(Token(s, valueIndex))) {
    Reply(c, 501);
    return;
  }
  const unsigned long long v = std::strtoull(Token(s, valueIndex), nullptr, 10);
  s.idleLimit.store(uint32_t(std::clamp<unsigned long long>(v, 60, 7200)));
  ReplyF(c, 200, "IDLE time set to %d seconds", int(s.idleLimit.load()));
}

void CmdUser(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (s.tokenCount != 2) return void(Reply(c, 501));
  if (s.loggedIn.load()) return void(Reply(c, 503, "User already authenticated"));
  const uint32_t state = s.state.load();
  if (state != kFtpStateIdle && state != kFtpStateUser) return void(Reply(c, 503));
  SetText(s, s.userName, Token(s, 1));
  s.guest.store(0);
  s.state.store(kFtpStateUser);
  if ((c.server->options.load() & ftpServerAnonymous) && (IEquals(Token(s, 1), "anonymous") || IEquals(Token(s, 1), "ftp"))) {
    s.guest.store(1);
    Reply(c, 331, "Anonymous login okay, provide your email address as your password");
  } else {
    ReplyF(c, 331, "Password required for %s", GetText(s, s.userName).c_str());
  }
}

void CmdPass(const Client& c, uint32_t) {
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  if (s.loggedIn.load()) return void(Reply(c, 503, "User already authenticated"));
  if (s.state.load() != kFtpStateUser) return void(Reply(c, 503));
  s.state.store(kFtpStatePassword);
  SetText(s, s.password, Token(s, 1));
  if (r.callback && !Notify(c, ftpEventAuthenticate)) return;
  if (!s.loggedIn.load()) {
    const uint32_t saved = InetGetLastError();
    if (s.guest.load()) {
      if (r.options.load() & ftpServerAnonymous) Authenticate(c, ftpAccessDefault, nullptr);
    } else {
      FtpSessionLogonUser(r.serverHandle.load(), s.clientId);
    }
    InetSetLastError(saved);
  }
  {
    // The password served the logon; it is not kept longer.
    std::lock_guard lk(s.textLock);
    explicit_bzero(s.password, sizeof s.password);
  }
  s.state.store(kFtpStateIdle);
  if (s.loggedIn.load() && s.guest.load()) {
    const uint32_t limit = r.maxGuests.load();
    if (limit != 0 && r.loggedInGuests.load() <= limit) {
      Reply(c, 230, "Guest login allowed, access restrictions apply");
      s.pendingEvent.store(ftpEventLogin);
      s.pendingError.store(0);
    } else {
      Reply(c, 421, "Maximum number of anonymous connections exceeded");
      InetDisconnect(s.controlSocket);
    }
    return;
  }
  if (s.loggedIn.load()) {
    ReplyF(c, 230, "User %s logged in", GetText(s, s.userName).c_str());
    s.pendingEvent.store(ftpEventLogin);
    s.pendingError.store(0);
    return;
  }
  cvsock::ServerPause(3000);
  s.guest.store(0);
  SetText(s, s.userName, "");
  if (++s.loginFailures > r.authFail) {
    Reply(c, 421, "Maximum login attempts exceeded");
    InetDisconnect(s.controlSocket);
  } else {
    Reply(c, 430);
  }
}

void CmdRein(const Client& c, uint32_t) {
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  if ((r.options.load() & ftpServerExplicitSSL) && (s.security.load() & kFtpProtectControl))
    SecEndSession(s.controlSocket, 1);
  LeaveLoggedIn(c);
  ResetSession(r, s);
  if (r.callback && !Notify(c, ftpEventLogout)) return;
  Reply(c, 220, "Service ready for new user");
}

void CmdQuit(const Client& c, uint32_t) {
  if (c.server->callback && !Notify(c, ftpEventLogout)) return;
  Reply(c, 221);
  InetDisconnect(c.session->controlSocket);
}

void CmdHost(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  std::string name = Token(s, 1);
  if (name.size() > 255) name.resize(255);
  for (char& ch : name) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  bool valid = name.size() >= 3 && name[0] != '-' && name[0] != '.';
  for (char ch : name)
    if (!(std::isdigit(static_cast<unsigned char>(ch)) || (ch >= 'a' && ch <= 'z') || ch == '-' || ch == '.'))
      valid = false;
  if (!valid) return void(Reply(c, 504, "Invalid host name"));
  if (s.loggedIn.load()) return void(Reply(c, 503, "User already authenticated"));
  SetText(s, s.hostName, name.c_str());
  ReplyF(c, 220, "Host is %s", name.c_str());
}

namespace {

// The tokens after the verb joined while the text stays under 62 characters.
std::string JoinShort(const FtpServerSession& s) {
  std::string out;
  for (uint32_t i = 1; i < s.tokenCount; ++i) {
    std::string next = out.empty() ? std::string(Token(s, i)) : out + " " + Token(s, i);
    if (next.size() >= 62) break;
    out = next;
  }
  return out;
}

}  // namespace

void CmdClnt(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (GetText(s, s.clientName).empty()) SetText(s, s.clientName, JoinShort(s).c_str());
  Reply(c, 200);
}

void CmdCsid(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (GetText(s, s.clientName).empty() && s.tokenCount > 1) {
    const std::string text = JoinShort(s);
    std::string name, version;
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t end = text.find(';', pos);
      if (end == std::string::npos) end = text.size();
      std::string item = text.substr(pos, end - pos);
      item.erase(0, item.find_first_not_of(' ') == std::string::npos ? item.size() : item.find_first_not_of(' '));
      const size_t eq = item.find('=');
      if (eq != std::string::npos) {
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (IEquals(key.c_str(), "Name")) name = value.substr(0, 63);
        else if (IEquals(key.c_str(), "Version")) version = value.substr(0, 31);
      }
      pos = end + 1;
    }
    if (!name.empty()) {
      if (!version.empty() && name.size() + 1 + version.size() < 64) name += " " + version;
      SetText(s, s.clientName, name.c_str());
    }
  }
  plat::OsVersion v;
  plat::GetOsVersion(&v);
  ReplyF(c, 200, "Name=%s; OS=%s; OSVer=%d.%d; CaseSensitive=0; DirSep=/;", c.server->identity, "Windows-NT",
         int(v.major), int(v.minor));
}

void CmdLang(const Client& c, uint32_t) {
  struct Language {
    const char* name;
    uint32_t locale;
  };
  static const Language kLanguages[] = {{"EN-US", 1033}, {"EN", 1033}};
  FtpServerSession& s = *c.session;
  if (s.tokenCount == 1) {
    s.language = 1033;
  } else if (s.tokenCount > 2) {
    return void(Reply(c, 501));
  } else {
    std::string token = Upper(std::string(Token(s, 1)).substr(0, 31));
    if (size_t u = token.find('_'); u != std::string::npos) token[u] = '-';
    auto find = [&](const std::string& name) -> const Language* {
      for (const Language& l : kLanguages)
        if (name == l.name) return &l;
      return nullptr;
    };
    const Language* found = find(token);
    if (!found) {
      const size_t dash = token.find('-');
      if (dash != std::string::npos) found = find(token.substr(0, dash));
      if (!found) return void(ReplyF(c, 504, "Language %s is not supported", token.c_str()));
    }
    s.language = found->locale;
  }
  for (const Language& l : kLanguages)
    if (l.locale == s.language) return void(ReplyF(c, 200, "Using language %s", l.name));
  ReplyF(c, 200, "Using unknown locale %04X", s.language);
}

void CmdIdle(const Client& c, uint32_t) {
  if (!(c.session->access.load() & ftpAccessIdle)) return void(ReplyF(c, 502, "%s command not allowed", "IDLE"));
  ReplyIdle(c, 2, 1);
}

void CmdFeat(const Client& c, uint32_t) {
  const bool secure = Secure(c), loggedIn = c.session->loggedIn.load() != 0;
  std::string text = "Features supported:\r\n";
  for (const FtpFeatureEntry& f : c.server->tables.features) {
    if (!f.name) break;
    if (!(f.flags & kFeatListed) || (f.flags & kFeatNever)) continue;
    if ((f.flags & kFeatTls) && !secure) continue;
    if (!(f.flags & kFeatBeforeLogin) && !loggedIn) continue;
    text += f.name;
    if (f.parameters) text += std::string(" ") + f.parameters;
    text += "\r\n";
    if (text.size() > 960) break;
  }
  text += "End";
  Reply(c, 211, text.c_str());
}

void CmdHelp(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 2) {
    const bool secure = Secure(c), loggedIn = s.loggedIn.load() != 0;
    std::string text = "The following commands are available:\r\n";
    int onLine = 0;
    for (const FtpCommandEntry& row : c.server->tables.commands) {
      if (!row.name) break;
      if (!row.handler || (row.flags & (kCmdAlias | kCmdHidden | kCmdDisabled))) continue;
      if ((row.flags & kCmdTls) && !secure) continue;
      if (!loggedIn && !(row.flags & kCmdBeforeLogin)) continue;
      std::string name = row.name;
      if (++onLine == 10) {
        text += name + "\r\n";
        onLine = 0;
      } else {
        name.resize(std::max<size_t>(name.size(), 6), ' ');
        text += name;
      }
      if (text.size() > 960) break;
    }
    if (onLine != 0) text += "\r\n";
    text += "End";
    Reply(c, 214, text.c_str());
    return;
  }
  if (IEquals(Token(s, 1), "SITE")) {
    {
      std::lock_guard lk(s.textLock);
      std::strcpy(s.commandTokens, "SITE");
      std::strcpy(s.commandTokens + 5, "HELP");
      s.tokenStart[0] = 0;
      s.tokenStart[1] = 5;
      s.tokenCount = 2;
    }
    SiteHelp(c, 0);
    return;
  }
  const std::string name = Upper(Token(s, 1));
  const FtpCommandEntry* row = FindCommand(c.server->tables, name.c_str());
  if (!row) return void(ReplyF(c, 502, "%s command unknown", name.c_str()));
  if (!row->handler) return void(ReplyF(c, 214, "%s is not implemented", row->name));
  ReplyF(c, 214, "Syntax: %s", row->syntax ? row->syntax : row->name);
}

void CmdOpts(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  const std::string name = Upper(std::string(Token(s, 1)).substr(0, 31));
  std::string value = JoinTokens(s, 2);
  if (value.size() > 1021) value.resize(1021);
  if (const FtpFeatureEntry* f = FindFeature(c.server->tables, name.c_str()); f && !(f->flags & kFeatListed))
    return void(ReplyF(c, 500, "OPTS %s not enabled", name.c_str()));
  if (name == "MLST") {
    const bool unix = (c.server->options.load() & ftpServerUnixMode) != 0;
    ReplyF(c, 200, "MLST %s%s", "type;size;perm;modify;", unix ? "UNIX.mode;UNIX.owner;UNIX.group;" : "Win32.ea;");
  } else if (name == "UTF8" && IEquals(value.c_str(), "ON")) {
    s.utf8 = 1;
    Reply(c, 200, "UTF-8 enabled");
  } else if (name == "UTF8" && IEquals(value.c_str(), "OFF")) {
    s.utf8 = 0;
    Reply(c, 200, "UTF-8 disabled");
  } else {
    ReplyF(c, 501, "OPTS %s not understood", name.c_str());
  }
}

void CmdSyst(const Client& c, uint32_t) {
  Reply(c, 215, (c.server->options.load() & ftpServerUnixMode) ? "UNIX Type: L8" : "Windows_NT");
}

// The entries STAT and MLST show: the path itself or a pattern's matches, without hidden
// ones unless the server shows them.
bool StatEntries(const Client& c, const std::string& path, std::vector<FtpFindEntry>& out) {
  std::vector<FtpFindEntry> found;
  if (!FindEntries(path, found, SIZE_MAX, false)) return false;
  // The client's root itself is "/" to the client, whatever its local name.
  const bool root = CombinePath(nullptr, path.c_str()) == CombinePath(nullptr, VirtualRoot(*c.server, *c.session).c_str());
  if (root && found.size() == 1) std::strcpy(found[0].name, "/");
  const std::string directory = EntriesDirectory(path);
  for (const FtpFindEntry& e : found)
    if ((root && found.size() == 1) || ListedEntry(c, directory, e, true)) out.push_back(e);
  return !out.empty();
}

void CmdStat(const Client& c, uint32_t) {
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 2) {
    std::string host = GetText(s, s.hostName);
    if (host.empty()) {
      std::lock_guard lk(r.textLock);
      host = r.hostName;
    }
    char address[64] = {};
    FtpServerGetAddress(r.serverHandle.load(), s.clientId, address);
    ReplyF(c, 211,
           "System status %s\r\nConnected to %s (%s)\r\nLogged in as %s\r\nTYPE: %s, STRUcture: %s, MODE: %s\r\n%s\r\n"
           "End of status",
           r.identity[0] ? r.identity : "Corvanetics", host.c_str(), address, GetText(s, s.userName).c_str(),
           s.transferType == 1 ? "ASCII" : "BINARY", "File", "Stream", "No data connection");
    return;
  }
  if (!(s.access.load() & ftpAccessList)) return void(ReplyF(c, 502, "%s command not allowed", "STAT"));
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  std::vector<FtpFindEntry> entries;
  if (!StatEntries(c, path, entries)) return void(Reply(c, 450, "No such file or directory"));
  WriteControlLine(c, "211-Status of " + (entries.size() == 1 && std::strcmp(entries[0].name, "/") == 0
                                               ? std::string("/")
                                               : LastComponent(path)));
  const bool local = (r.options.load() & ftpServerLocalTime) != 0;
  for (const FtpFindEntry& e : entries) {
    char line[512];
    FtpFormatListEntry(&e, s.listStyle, local, line);
    WriteControlLine(c, std::string(" ") + line);
  }
  WriteControlLine(c, "211 End of status");
  MarkAnswered(c, 211, std::string(Token(s, 0)) + " command successful");
}

void CmdNoop(const Client& c, uint32_t) { Reply(c, 200); }

void CmdAllo(const Client& c, uint32_t) { Reply(c, 202); }

void CmdAuth(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (s.tokenCount != 2) return void(Reply(c, 501));
  if (!Secure(c)) return void(Reply(c, 502, "Encryption not enabled"));
  if (!IEquals(Token(s, 1), "SSL") && !IEquals(Token(s, 1), "TLS")) return void(Reply(c, 504, "Unknown security mechanism"));
  if (s.security.load() & kFtpProtectControl) return void(Reply(c, 534, "Encryption already enabled"));
  Reply(c, 234, "Encryption enabled");
  s.security.fetch_or(kFtpProtectControl);
  if (SecStartSession(s.controlSocket, kSecRoleServer, c.server->credentials) != 0) {
    s.security.fetch_and(~kFtpProtectControl);
    InetDisconnect(s.controlSocket);
  }
}

void CmdCcc(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (!Secure(c)) return void(Reply(c, 502, "Encryption not enabled"));
  if (!(s.security.load() & kFtpProtectControl)) return void(Reply(c, 533, "Control channel not protected"));
  Reply(c, 200);
  SecEndSession(s.controlSocket, 1);
  s.security.fetch_and(~kFtpProtectControl);
}

}  // namespace cvftpsrv
