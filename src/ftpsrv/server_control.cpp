// Server-level operations after the start: stop, restart, throttle, disconnecting every
// client, and the server accessors.
#include <algorithm>
#include <cstring>
#include <vector>

#include "ftpsrv/ftpsrv_internal.h"
#include "platform/base/tick.h"

using namespace cvftpsrv;

namespace {

// Takes the record away from the engine server and the registry.
void Detach(FtpServerRecord& r, uint64_t server) {
  ServerSetContext(SOCKET(server), 0);
  Lib().Unregister(r.registryKey);
}

}  // namespace

int32_t FtpServerDisconnectAll(uint64_t server) { return Lib().DisconnectAll(server); }

int32_t cvftpsrv::EndAllClients(uint64_t server) {
  const int32_t count = FtpServerListClientIds(server, nullptr, 0);
  std::vector<uint32_t> ids(size_t(std::max(count, 0)) + 16);
  const int32_t n = count > 0 ? FtpServerListClientIds(server, ids.data(), uint32_t(ids.size())) : 0;
  for (int32_t i = 0; i < n; ++i) {
    if (SessionPtr s = Lib().FindSession(server, ids[size_t(i)])) {
      s->ending.store(1);
      CancelData(*s);
    }
  }
  return FtpServerDisconnectAll(server);
}

int32_t FtpServerStop(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  // The clients end before the lock is taken: they log their last command under it, and
  // the owner still hears of each leaving.
  r->accepting.store(0);
  EndAllClients(server);
  {
    std::lock_guard lk(Lib().lock());
    CloseLog(*r);
    FreePrograms(*r);
    r->users.clear();
    Detach(*r, server);
  }
  // The engine joins client threads that may wait for the library lock: stop it outside.
  const int32_t stopped = ServerStop(SOCKET(server));
  if (stopped) Lib().runningServers.fetch_sub(1);
  return stopped;
}

uint64_t FtpServerRestart(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return uint64_t(INVALID_SOCKET);
  r->accepting.store(0);
  EndAllClients(server);
  {
    std::lock_guard lk(Lib().lock());
    ServerSetContext(SOCKET(server), 0);
    CloseLog(*r);
  }
  const SOCKET h = ServerRestart(SOCKET(server));
  std::lock_guard lk(Lib().lock());
  if (h == INVALID_SOCKET) {
    // Without a listener the record serves nothing: it leaves the registry.
    const uint32_t err = InetGetLastError();
    Lib().Unregister(r->registryKey);
    Lib().runningServers.fetch_sub(1);
    InetSetLastError(err);
    return uint64_t(INVALID_SOCKET);
  }
  r->serverHandle.store(uint64_t(h));
  r->accepting.store(1);
  r->useCount.store(0);
  r->loggedIn.store(0);
  r->loggedInGuests.store(0);
  r->startTime.store(Now());
  ServerSetContext(h, r->registryKey);
  return uint64_t(h);
}

int32_t FtpServerThrottle(uint64_t server, uint32_t maxClients, uint32_t maxPerAddress, uint32_t maxGuests,
                          uint32_t acceptDelay) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (maxClients != kFtpNoChange) r->maxClients.store(maxClients);
  if (maxPerAddress != kFtpNoChange) r->maxPerAddress.store(maxPerAddress);
  if (maxGuests != kFtpNoChange) {
    r->maxGuests.store(maxGuests);
    if (maxGuests > 0) r->options.fetch_or(ftpServerAnonymous);
    else r->options.fetch_and(~ftpServerAnonymous);
  }
  if (acceptDelay != kFtpNoChange && !ServerThrottle(SOCKET(server), acceptDelay)) {
    Lib().SetLastError(*r, InetGetLastError());
    return 0;
  }
  return 1;
}

uint32_t FtpServerGetThreadId(uint64_t server) {
  return Lib().FindServer(server) ? ServerGetThreadId(SOCKET(server)) : 0;
}

int32_t FtpServerGetAddress(uint64_t server, uint32_t clientId, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter, 0);
  SockAddress a{};
  bool found = false;
  if (clientId != 0 && !(r->options.load() & ftpServerExternal)) {
    if (SessionPtr s = Lib().SessionOfClient(ServerFindClientById(SOCKET(server), clientId)))
      found = InetGetLocalAddress(s->controlSocket, 0, &a) > 0;
  }
  if (!found) {
    std::lock_guard lk(r->textLock);
    a = r->serverAddress;
  }
  char text[128] = {};
  if (InetFormatAddress(&a, text) <= 0 && !text[0]) return 0;
  const size_t n = std::strlen(text);
  if (n > 65) return Fail(server, cvErrorBufferTooSmall, 0);
  CopyText(buffer, 64, text);
  InetSetLastError(0);
  return int32_t(std::strlen(buffer));
}

int32_t FtpServerSetExternalAddress(uint64_t server, const char* address) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!address || !*address) return Fail(server, cvErrorInvalidHostAddress, 0);
  SockAddress a{};
  if (InetResolveAddress(address, 0, &a) < 0) return Fail(server, InetGetLastError(), 0);
  if (InetIsAnyAddress(&a)) {
    SockAddress local{};
    if (InetGetLocalAddress(INVALID_SOCKET, a.family, &local) > 0) a = local;
  }
  std::lock_guard lk(r->textLock);
  if (a.family != r->serverAddress.family) return Fail(server, cvErrorProtocolAddress, 0);
  r->serverAddress = a;
  r->options.fetch_or(ftpServerExternal);
  InetSetLastError(0);
  return 1;
}

int32_t FtpServerGetHostName(uint64_t server, uint32_t clientId, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter, 0);
  std::string name;
  if (clientId != 0) {
    if (SessionPtr s = Lib().SessionOfClient(ServerFindClientById(SOCKET(server), clientId)))
      name = GetText(*s, s->hostName);
  }
  if (name.empty()) {
    std::lock_guard lk(r->textLock);
    name = r->hostName;
  }
  CopyText(buffer, 256, name.c_str());
  InetSetLastError(0);
  return int32_t(std::strlen(buffer));
}

int32_t FtpServerSetHostName(uint64_t server, uint32_t clientId, const char* name) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  char normal[256] = {};
  if (!name || !SockNormalizeHostName(name, normal) || !normal[0]) return Fail(server, cvErrorInvalidHostName, 0);
  if (clientId != 0) {
    SessionPtr s = Lib().FindSession(server, clientId);
    if (!s) return 0;
    SetText(*s, s->hostName, normal);
  } else {
    std::lock_guard lk(r->textLock);
    CopyText(r->hostName, sizeof r->hostName, normal);
  }
  InetSetLastError(0);
  return 1;
}

namespace {

int32_t CopyOut(uint64_t server, const char* text, char* buffer, size_t size) {
  if (!buffer) return Fail(server, cvErrorInvalidParameter, 0);
  if (std::strlen(text) >= size) return Fail(server, cvErrorBufferTooSmall, 0);
  CopyText(buffer, size, text);
  return int32_t(std::strlen(buffer));
}

}  // namespace

int32_t FtpServerGetDirectory(uint64_t server, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  return r ? CopyOut(server, r->rootDirectory, buffer, kFtpPathSize) : 0;
}

int32_t FtpServerGetUuid(uint64_t server, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  return r ? CopyOut(server, r->uuidText, buffer, 40) : 0;
}

int32_t FtpServerGetOptions(uint64_t server, uint32_t* options) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!options) return Fail(server, cvErrorInvalidParameter, 0);
  *options = r->options.load();
  return 1;
}

int32_t FtpServerGetPriority(uint64_t server) {
  return Lib().FindServer(server) ? ServerGetPriority(SOCKET(server)) : -1;
}

int32_t FtpServerSetPriority(uint64_t server, uint32_t priority) {
  return Lib().FindServer(server) ? ServerSetPriority(SOCKET(server), priority) : -1;
}

// ---- session accessors ----

int32_t FtpSessionSetEvent(uint64_t server, uint32_t clientId, uint32_t event) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  s->pendingEvent.store(event);
  s->pendingError.store(0);
  return 1;
}

uint32_t FtpSessionGetThreadId(uint64_t server, uint32_t clientId) {
  SessionPtr s = Lib().FindSession(server, clientId);
  return s ? s->threadId : 0;
}

int32_t FtpSessionGetAddress(uint64_t server, uint32_t clientId, char* buffer) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  return CopyOut(server, s->clientAddressText, buffer, 64);
}

int32_t FtpSessionGetPort(uint64_t server, uint32_t clientId, uint32_t* port) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  if (!port) return Fail(server, cvErrorInvalidParameter, 0);
  SockAddress a{};
  if (InetGetPeerAddress(s->controlSocket, &a, port) < 0) return Fail(server, InetGetLastError(), 0);
  return 1;
}

int32_t FtpSessionGetCommandLine(uint64_t server, uint32_t clientId, char* buffer, int32_t size) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  if (size < 0) return Fail(server, cvErrorInvalidParameter, 0);
  std::string line;
  {
    std::lock_guard lk(s->textLock);
    line = CommandLine(*s);
  }
  if (buffer) {
    if (uint32_t(size) <= line.size()) return Fail(server, cvErrorBufferTooSmall, 0);
    std::memcpy(buffer, line.c_str(), line.size() + 1);
  }
  InetSetLastError(0);
  return int32_t(line.size());
}

int32_t FtpSessionGetCommand(uint64_t server, uint32_t clientId, char* buffer) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  std::string verb;
  {
    std::lock_guard lk(s->textLock);
    verb = Token(*s, 0);
  }
  if (verb.size() >= 32) return Fail(server, cvErrorBufferTooSmall, 0);
  if (buffer) CopyText(buffer, 32, verb.c_str());
  InetSetLastError(0);
  return int32_t(verb.size());
}
