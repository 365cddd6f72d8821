// Handlers of the data-connection and transfer commands.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/handlers.h"
#include "ftpsrv/local_fs.h"

namespace cvftpsrv {

namespace {

uint64_t Handle(const Client& c) { return c.server->serverHandle.load(); }
bool ListensOnIpv6(const Client& c) { return c.server->listenFamily == 23; }

void ClearDataAddress(FtpServerSession& s) {
  s.dataHost[0] = '\0';
  s.dataPort = 0;
  s.ipv6Data = 0;
}

// PORT and EPRT may only name the client's own address: anything else would let the
// server connect to third parties on the client's behalf.
bool ClientsOwnAddress(const FtpServerSession& s, const char* text, uint32_t family) {
  SockAddress a{};
  if (InetParseAddress(text, family, &a) <= 0) return false;
  return a.family == s.clientAddress.family &&
         std::memcmp(a.address, s.clientAddress.address, a.family == 2 ? 4 : 16) == 0;
}

void OpenPassive(const Client& c, bool extended) {
  FtpServerSession& s = *c.session;
  s.state.store(kFtpStatePassive);
  SockAddress address{};
  uint32_t port = 0;
  if (!FtpSessionOpenDataConnection(Handle(c), s.clientId, &address, &port)) {
    s.state.store(kFtpStateIdle);
    Reply(c, 425, "Unable to build data connection");
    return;
  }
  if (extended) {
    ReplyF(c, 229, "Entering extended passive mode (|||%d|)", int(port));
    return;
  }
  char text[64] = {};
  InetFormatAddress(&address, text);
  for (char* p = text; *p; ++p)
    if (*p == '.') *p = ',';
  ReplyF(c, 227, "Entering passive mode (%s,%d,%d)", text, int(port >> 8), int(port & 0xFF));
}

bool AllDigits(const char* t) {
  if (!*t) return false;
  for (; *t; ++t)
    if (!std::isdigit(static_cast<unsigned char>(*t))) return false;
  return true;
}

}  // namespace

void CmdPasv(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (ListensOnIpv6(c)) return void(Reply(c, 502, "PASV not supported for IPv6, use EPSV instead"));
  CloseData(s);
  ClearDataAddress(s);
  OpenPassive(c, false);
}

void CmdEpsv(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  CloseData(s);
  const uint32_t serverFamily = c.server->listenFamily;
  uint32_t family = serverFamily;
  if (s.tokenCount > 2) return void(Reply(c, 501));
  if (s.tokenCount == 2) {
    const char* arg = Token(s, 1);
    if (IEquals(arg, "ALL")) return void(Reply(c, 200));
    family = std::strcmp(arg, "1") == 0 ? 2 : std::strcmp(arg, "2") == 0 ? 23 : 0;
  }
  if (family != serverFamily)
    return void(ReplyF(c, 522, "Network protocol not supported, use (%s)", serverFamily == 23 ? "2" : "1"));
  ClearDataAddress(s);
  s.ipv6Data = family == 23 ? 1 : 0;
  OpenPassive(c, true);
}

void CmdPort(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (ListensOnIpv6(c)) return void(Reply(c, 502, "PORT not supported for IPv6, use EPRT instead"));
  ClearDataAddress(s);
  s.state.store(kFtpStateIdle);
  uint32_t v[6] = {};
  size_t field = 0;
  for (const char* p = Token(s, 1); *p; ++p) {
    if (*p == ',') {
      if (++field >= 6) return void(Reply(c, 501));
    } else if (std::isdigit(static_cast<unsigned char>(*p))) {
      v[field] = v[field] * 10 + uint32_t(*p - '0');
      if (v[field] > 255) return void(Reply(c, 501));
    } else {
      return void(Reply(c, 501));
    }
  }
  const uint32_t port = v[4] * 256 + v[5];
  if (port < 1025 || port > 65535) return void(ReplyF(c, 502, "Invalid port number %d", int(port)));
  char host[64];
  std::snprintf(host, sizeof host, "%u.%u.%u.%u", v[0], v[1], v[2], v[3]);
  if (!ClientsOwnAddress(s, host, 2)) return void(ReplyF(c, 504, "%s to a third-party address refused", "PORT"));
  CopyText(s.dataHost, sizeof s.dataHost, host);
  s.dataPort = port;
  s.state.store(kFtpStateActive);
  Reply(c, 200);
}

void CmdEprt(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  ClearDataAddress(s);
  s.state.store(kFtpStateIdle);
  std::string arg = Upper(std::string(Token(s, 1)).substr(0, 127));
  if (arg.empty()) return void(Reply(c, 501));
  const char d = arg[0];
  if (d < 33 || d > 126 || d == '.' || d == ':' || std::isdigit(static_cast<unsigned char>(d)) || (d >= 'A' && d <= 'F'))
    return void(Reply(c, 501));
  const size_t p1 = arg.find(d, 1);
  const size_t p2 = p1 == std::string::npos ? p1 : arg.find(d, p1 + 1);
  const size_t p3 = p2 == std::string::npos ? p2 : arg.find(d, p2 + 1);
  if (p3 == std::string::npos) return void(Reply(c, 501));
  const std::string protocol = arg.substr(1, p1 - 1), address = arg.substr(p1 + 1, p2 - p1 - 1),
                    portText = arg.substr(p2 + 1, p3 - p2 - 1);
  if (!AllDigits(portText.c_str()) || portText.size() > 6) return void(ReplyF(c, 502, "Invalid port number %d", 0));
  const uint32_t port = uint32_t(std::strtoul(portText.c_str(), nullptr, 10));
  if (port < 1025 || port > 65535) return void(ReplyF(c, 502, "Invalid port number %d", int(port)));
  const uint32_t family = protocol == "1" ? 2 : protocol == "2" ? 23 : 0;
  const uint32_t serverFamily = c.server->listenFamily;
  if (family != serverFamily) {
    const char* use = serverFamily == 2 ? "1" : serverFamily == 23 ? "2" : "1,2";
    return void(ReplyF(c, 522, "Network protocol not supported, use (%s)", use));
  }
  SockAddress parsed{};
  if (InetParseAddress(address.c_str(), family, &parsed) <= 0) return void(Reply(c, 501));
  char numeric[64] = {};
  InetFormatAddress(&parsed, numeric);
  if (!ClientsOwnAddress(s, numeric, family)) return void(ReplyF(c, 504, "%s to a third-party address refused", "EPRT"));
  CopyText(s.dataHost, sizeof s.dataHost, numeric);
  s.dataPort = port;
  s.state.store(kFtpStateActive);
  Reply(c, 200);
}

void CmdPbsz(const Client& c, uint32_t) {
  if (c.server->options.load() & ftpServerSecure) Reply(c, 200);
  else Reply(c, 503, "Encryption not enabled");
}

void CmdProt(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (!(c.server->options.load() & ftpServerSecure)) return void(Reply(c, 502, "Encryption not enabled"));
  if (s.tokenCount != 2) return void(Reply(c, 504, "Unknown protection level"));
  switch (std::toupper(static_cast<unsigned char>(Token(s, 1)[0]))) {
    case 'C':
      s.security.fetch_and(~kFtpProtectData);
      Reply(c, 200);
      break;
    case 'P':
      s.security.fetch_or(kFtpProtectData);
      Reply(c, 200);
      break;
    case 'E':
    case 'S': Reply(c, 536, "Protection level not supported"); break;
    default: Reply(c, 504, "Unknown protection level");
  }
}

void CmdType(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 2 || s.tokenCount > 3) return void(Reply(c, 501));
  std::string joined = Token(s, 1);
  if (s.tokenCount == 3) joined += Token(s, 2);
  joined = Upper(joined);
  if (joined.size() >= (s.tokenCount == 3 ? 30u : 31u)) return void(Reply(c, 500, "File type not recognized"));
  static const struct {
    const char* name;
    uint32_t type;
  } kTypes[] = {{"A", 1}, {"AC", 1}, {"AN", 1}, {"AT", 1}, {"I", 3}, {"IC", 3}, {"IN", 3}, {"IT", 3}, {"L8", 3}};
  for (const auto& t : kTypes)
    if (joined == t.name) {
      s.transferType = t.type;
      return void(ReplyF(c, 200, "Type set to %s", joined.c_str()));
    }
  Reply(c, 500, "File type not recognized");
}

void CmdMode(const Client& c, uint32_t) {
  const std::string m = Upper(std::string(Token(*c.session, 1)).substr(0, 15));
  if (m == "S") {
    c.session->transferMode = 0;
    Reply(c, 200, "Transfer mode set to STREAM");
  } else if (m == "B" || m == "C") {
    ReplyF(c, 504, "MODE %s unsupported transfer mode", m.c_str());
  } else {
    ReplyF(c, 501, "MODE %s unrecognized transfer mode", m.c_str());
  }
}

void CmdStru(const Client& c, uint32_t) {
  const std::string m = Upper(Token(*c.session, 1));
  if (m == "F") Reply(c, 200, "Structure type set to FILE");
  else if (m == "P" || m == "R") ReplyF(c, 504, "STRU %s unsupported structure type", m.c_str());
  else ReplyF(c, 501, "STRU %s unrecognized structure type", m.c_str());
}

void CmdRest(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  const char* arg = Token(s, 1);
  if (!AllDigits(arg) || std::strlen(arg) > 19) return void(Reply(c, 501));
  s.restartOffset = std::strtoull(arg, nullptr, 10);
  ReplyF(c, 350, "Restarting at %llu", static_cast<unsigned long long>(s.restartOffset));
}

void CmdPret(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (s.tokenCount < 2) return void(Reply(c, 503));
  const std::string verb = Upper(std::string(Token(s, 1)).substr(0, 31));
  const FtpCommandEntry* row = FindCommand(c.server->tables, verb.c_str());
  if (!row) return void(ReplyF(c, 503, "%s command not recognized", verb.c_str()));
  if (row->flags & kCmdTransfers) ReplyF(c, 202, "Command not required for %s", verb.c_str());
  else ReplyF(c, 503, "%s command not supported", verb.c_str());
}

void CmdAbor(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  const uint32_t state = s.state.load();
  if (s.dataSocket.load() != INVALID_SOCKET &&
      (state == kFtpStateListing || state == kFtpStateReceiving || state == kFtpStateSending)) {
    s.abortFlag.store(1);
    return;
  }
  s.state.store(kFtpStateIdle);
  CloseData(s);
  Reply(c, 226, "Abort successful");
}

namespace {

// The transfer of a command whose file is open: 150, the data, the closed data connection,
// then 226 with the pending event, 426 when the client aborted, else 425.
void RunTransfer(const Client& c, uint32_t direction, const std::string& path, int fd, const char* shown,
                 uint32_t event) {
  FtpServerSession& s = *c.session;
  ReplyF(c, 150, "Opening data connection for %s", shown);
  const int32_t ok = TransferOpened(c, direction, path, fd);
  const uint32_t err = InetGetLastError();
  const bool aborted = s.abortFlag.load() != 0 || s.ending.load() != 0;
  CloseData(s);
  if (ok) {
    Reply(c, 226, "Transfer complete");
    s.pendingEvent.store(event);
    s.pendingError.store(0);
  } else {
    Reply(c, aborted ? 426 : 425);
    Fail(Handle(c), err);
  }
}

// The reply for a file that could not be opened for a transfer.
void RefuseOpen(const Client& c) {
  Reply(c, 550, InetGetLastError() == cvErrorFileNotFound ? "No such file or directory" : "Access denied");
}

}  // namespace

void CmdRetr(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (!(s.access.load() & ftpAccessRead)) return void(ReplyF(c, 502, "%s command not allowed", Token(s, 0)));
  const std::string path = ResolveArgument(c);
  if (path.empty()) return void(Reply(c, 553));
  uint32_t attributes = 0;
  if (!GetAttributes(path, &attributes)) return void(Reply(c, 550, "No such file or directory"));
  if (IsDirectoryAttr(attributes) || IsDeviceAttr(attributes)) return void(Reply(c, 550, "Access denied"));
  const int fd = OpenForTransfer(c, path, kFtpDirectionSend, false);
  if (fd < 0) return RefuseOpen(c);
  if (!OpenActiveIfNeeded(c)) {
    ::close(fd);
    return void(Reply(c, 425, "Unable to build data connection"));
  }
  RunTransfer(c, kFtpDirectionSend, path, fd, Token(s, 1), ftpEventDownload);
}

void CmdStore(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  const std::string verb = Token(s, 0);
  // STOR and STOU create or replace: they need the write right, whatever else is granted.
  const uint32_t needed = verb == "APPE" ? ftpAccessAppend : ftpAccessWrite;
  if (!(s.access.load() & needed)) return void(ReplyF(c, 502, "%s command not allowed", verb.c_str()));
  const bool unique = verb == "STOU";
  std::string path;
  int fd = -1;
  // STOU takes a name nobody has and creates it exclusively: a name another client takes
  // between the choice and the creation is chosen again.
  for (int attempt = 0; attempt < (unique ? 16 : 1); ++attempt) {
    if (unique) {
      char name[kFtpPathSize];
      if (!FtpServerMakeUniqueName(Handle(c), GetText(s, s.currentDirectory).c_str(), name))
        return void(Reply(c, 550, "Unable to create unique filename"));
      SetCommand(s, "STOU", LastComponent(name));
    }
    path = ResolveArgument(c);
    if (path.empty()) return void(Reply(c, 553));
    fd = OpenForTransfer(c, path, verb == "APPE" ? kFtpDirectionAppend : kFtpDirectionStore, unique);
    if (fd >= 0 || InetGetLastError() != cvErrorFileExists) break;
  }
  if (fd < 0) {
    if (InetGetLastError() == cvErrorInvalidFileType) return void(Reply(c, 550, "Access denied"));
    return RefuseOpen(c);
  }
  if (!OpenActiveIfNeeded(c)) {
    ::close(fd);
    return void(Reply(c, 425, "Unable to build data connection"));
  }
  RunTransfer(c, verb == "APPE" ? kFtpDirectionAppend : kFtpDirectionStore, path, fd, Token(s, 1), ftpEventUpload);
}

}  // namespace cvftpsrv
