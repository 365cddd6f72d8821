// The engine's callback for every FTP server: admits or refuses connections, keeps the
// session, greets, reads command lines, watches the login and idle limits, and reports
// each step to the owner.
#include <cstdio>
#include <cstring>
#include <new>

#include "ftpsrv/ftpsrv_internal.h"
#include "platform/base/thread.h"
#include "platform/base/tick.h"

namespace cvftpsrv {

void ResetSession(const FtpServerRecord& r, FtpServerSession& s) {
  const uint32_t options = r.options.load();
  {
    std::lock_guard lk(s.textLock);
    s.userName[0] = s.password[0] = '\0';
    s.homeDirectory[0] = s.currentDirectory[0] = s.renameSource[0] = s.resolvedPath[0] = '\0';
  }
  s.abortFlag.store(0);
  s.guest.store(0);
  s.loggedIn.store(0);
  s.utf8 = 0;
  s.listStyle = (options & ftpServerUnixMode) ? ftpListUnix : ftpListMsdos;
  s.transferType = 3;
  s.transferMode = 0;
  s.language = 1033;
  s.state.store(kFtpStateIdle);
  s.access.store((options & ftpServerRestricted) ? kFtpAccessRestrictedSet : kFtpAccessBeforeLogin);
  s.security.store((options & ftpServerImplicitSSL) ? (kFtpProtectControl | kFtpProtectData) : 0);
  s.loginFailures = s.failureCount = s.commandCount = 0;
  s.lastPassivePort = 0;
  s.bytesTransferred.store(0);
  s.restartOffset = 0;
  s.connectTime.store(Now());
  s.lastActivity.store(Now());
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

namespace {

void RefuseDirectly(SOCKET client, const char* text) {
  char line[128];
  std::snprintf(line, sizeof line, "%d %s", 421, text);
  InetWriteLine(client, line, nullptr);
  InetDisconnect(client);
}

void OnConnect(SOCKET client, uint32_t error) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  RecordPtr r = Lib().Peek(server);
  if (!r) return;
  const uint32_t options = r->options.load();
  if (options & ftpServerImplicitSSL) {
    if (SecStartSession(client, kSecRoleServer, r->credentials) != 0) {
      const uint32_t err = InetGetLastError();
      if (r->callback) r->callback(server, 0, uint16_t(ftpEventConnect), uint16_t(err & 0xFFFF), r->context);
      InetDisconnect(client);
      return;
    }
  }
  if (!r->accepting.load()) return RefuseDirectly(client, "Service unavailable, please try again later");
  const uint32_t clientId = ServerGetClientId(client);
  if (clientId == 0) return;
  SockAddress peer{};
  uint32_t peerPort = 0;
  InetGetPeerAddress(client, &peer, &peerPort);
  if (error != 0) {
    if (r->callback) r->callback(server, clientId, uint16_t(ftpEventConnect), uint16_t(error & 0xFFFF), r->context);
    return;
  }
  const uint32_t maxClients = r->maxClients.load(), maxPerAddress = r->maxPerAddress.load();
  if (maxClients > 0 && uint32_t(ServerGetClientCount(SOCKET(server))) > maxClients)
    return RefuseDirectly(client, "Maximum number of connections exceeded");
  if (maxPerAddress > 0 && uint32_t(ServerCountClientsFrom(SOCKET(server), &peer)) > maxPerAddress)
    return RefuseDirectly(client, "Maximum number of concurrent connections exceeded");

  // ABOR comes with urgent data: kept in the stream, it cannot cut into the next command.
  InetSetOption(client, kInetOptionInline);

  auto s = std::make_shared<FtpServerSession>();
  s->serverHandle = server;
  s->controlSocket = client;
  s->clientId = clientId;
  s->threadId = plat::GetCurrentThreadId();
  s->clientAddress = peer;
  s->clientPort = peerPort;
  InetFormatAddress(&peer, s->clientAddressText);
  {
    std::lock_guard lk(r->textLock);
    CopyText(s->hostName, sizeof s->hostName, r->hostName);
  }
  s->loginLimit.store(r->authTime);
  s->idleLimit.store(r->idleTime);
  ResetSession(*r, *s);
  s->registryKey = Lib().RegisterSession(s);
  ServerSetClientContext(client, s->registryKey);

  Client c{r, s};
  if (!Notify(c, ftpEventConnect)) return;
  if (!s->replySent.load()) {
    char address[64] = {};
    FtpServerGetAddress(server, clientId, address);
    std::string host, identity = r->identity;
    {
      std::lock_guard lk(r->textLock);
      host = r->hostName;
    }
    ReplyF(c, 220, "%s %s [%s]", host.c_str(), identity.c_str(), address);
  }
}

// A command event for a line that could not be read: there is no current command then, so
// the owner cannot take the previous one for it (and answer it a second time).
void ReportUnreadLine(const Client& c, uint32_t error) {
  FtpServerSession& s = *c.session;
  {
    std::lock_guard lk(s.textLock);
    s.tokenCount = 0;
    s.commandTokens[0] = '\0';
  }
  Notify(c, ftpEventCommand, error);
}

// Clients send Telnet commands on the control connection (interrupt and synch before ABOR,
// option answers): they are no part of the command. UTF-8 never holds the byte 0xFF, so
// it always starts one.
void StripTelnetCommands(char* line) {
  char* out = line;
  for (const char* p = line; *p; ++p) {
    if (static_cast<unsigned char>(*p) != kTelnetIac) {
      *out++ = *p;
      continue;
    }
    if (!p[1]) break;
    if (static_cast<unsigned char>(p[1]) >= kTelnetWill && p[2]) ++p;  // the option byte
    ++p;
  }
  *out = '\0';
}

// Urgent data belongs to the Telnet synch (the IAC before its data mark, or the mark
// itself) and to clients that send a whole ABOR line urgent (then the urgent byte is the
// line end, not in the line). Any other urgent byte means nothing to FTP: kept, it would
// join the next command.
void DropBareUrgentByte(char* line, uint32_t& size, uint32_t urgent) {
  if (urgent >= size) return;
  const unsigned char ch = static_cast<unsigned char>(line[urgent]);
  if (ch == kTelnetIac || (urgent > 0 && static_cast<unsigned char>(line[urgent - 1]) == kTelnetIac)) return;
  std::memmove(line + urgent, line + urgent + 1, size - urgent);  // the terminator too
  --size;
}

void OnRead(SOCKET client, uint32_t error) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  Client c{Lib().Peek(server), Lib().SessionOfClient(client)};
  if (!c) return;
  FtpServerSession& s = *c.session;
  if (error != 0) {
    ReportUnreadLine(c, error);
    return;
  }
  if (!s.loggedIn.load() && Now() - s.connectTime.load() >= int64_t(s.loginLimit.load())) {
    InetDiscardInput(client);
    s.replySent.store(0);
    ReplyF(c, 421, "Login timeout (%d seconds), closing control connection", int(s.loginLimit.load()));
    InetDisconnect(client);
    return;
  }
  char line[1024];
  uint32_t size = sizeof line;
  uint32_t urgent = kInetNoUrgent;
  if (!InetReadLineMarked(client, line, &size, &urgent)) {
    ReportUnreadLine(c, InetGetLastError());
    return;
  }
  if (size >= 1023) {
    InetDiscardInput(client);
    InetWriteLine(client, "501 Command line too long", nullptr);
    return;
  }
  DropBareUrgentByte(line, size, urgent);
  StripTelnetCommands(line);
  const uint32_t start = plat::GetTickCount();
  FtpExecuteCommand(server, s.clientId, line);
  const uint32_t end = plat::GetTickCount();
  FtpSessionLogCommand(server, s.clientId);
  if (Lib().Peek(server) != c.server || Lib().SessionOfClient(client) != c.session) return;
  s.commandDuration.store(end - start);
  if (c.server->callback && s.tokenCount > 0) {
    if (!Notify(c, ftpEventResult)) return;
  }
  if (const uint32_t pending = s.pendingEvent.load()) {
    if (!Notify(c, pending, s.pendingError.load())) return;
    s.pendingEvent.store(0);
    s.pendingError.store(0);
  }
}

void OnDisconnect(SOCKET client) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  RecordPtr r = Lib().Peek(server);
  SessionPtr s = Lib().SessionOfClient(client);
  // A stopping server tells its clients why the connection goes, before the owner hears
  // that it went.
  if (s && s->ending.load()) {
    char line[128];
    std::snprintf(line, sizeof line, "%d %s", 421, DefaultReplyText(421));
    InetWriteLine(client, line, nullptr);
  }
  if (r && s && r->callback) Notify(Client{r, s}, ftpEventDisconnect);
  ServerSetClientContext(client, 0);
  if (!s) return;
  Lib().UnregisterSession(s->registryKey);
  if (s->loggedIn.exchange(0) && r) {
    r->loggedIn.fetch_sub(1);
    if (s->guest.load()) r->loggedInGuests.fetch_sub(1);
  }
  CloseData(*s);
  std::lock_guard lk(s->textLock);
  s->programOutput.clear();
  s->hasProgramOutput = false;
}

void OnTimeout(SOCKET client) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  Client c{Lib().Peek(server), Lib().SessionOfClient(client)};
  if (!c) return;
  FtpServerSession& s = *c.session;
  if (s.dataSocket.load() != INVALID_SOCKET && s.state.load() != kFtpStateIdle) return;
  if (s.loggedIn.load()) {
    if (Now() - s.lastActivity.load() < int64_t(s.idleLimit.load())) return;
    if (!Notify(c, ftpEventTimeout)) return;
    if (Now() - s.lastActivity.load() < int64_t(s.idleLimit.load())) return;
    s.replySent.store(0);
    ReplyF(c, 421, "Idle timeout (%d seconds), closing control connection", int(s.idleLimit.load()));
  } else {
    if (Now() - s.connectTime.load() <= int64_t(s.loginLimit.load())) return;
    s.replySent.store(0);
    ReplyF(c, 421, "Login timeout (%d seconds), closing control connection", int(s.loginLimit.load()));
  }
  InetDisconnect(client);
}

}  // namespace

void FtpSessionEvent(uint64_t clientSocket, uint32_t event, uint32_t error, uint64_t) {
  const SOCKET client = SOCKET(clientSocket);
  try {
    switch (event) {
      case kServerEventConnect:
        OnConnect(client, error);
        break;
      case kServerEventRead:
        OnRead(client, error);
        break;
      case kServerEventDisconnect:
        OnDisconnect(client);
        break;
      case kServerEventTimeout:
        OnTimeout(client);
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    // Memory ran out in the middle of a command: the session cannot say what it did, so
    // the client is let go (its disconnect event cleans up as for any other).
    if (event != kServerEventDisconnect) InetDisconnect(client);
  }
}
