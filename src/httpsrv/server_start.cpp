// Starting, stopping and restarting a server: the configuration with its defaults and
// limits, the directories, the log file name, credentials and the engine server.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "core/trace/trace.h"
#include "httpsrv/httpsrv_internal.h"
#include "platform/base/tick.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "sockets/server/server_ids.h"

namespace cvhttpsrv {
namespace {

constexpr uint64_t kFailed = uint64_t(INVALID_SOCKET);

// A configured directory expanded, made absolute, normalised and created; "" with the
// error set.
std::string PrepareDirectory(const std::string& configured) {
  const std::string expanded = ExpandPath(configured);
  const std::string path = expanded.empty() ? std::string() : Canonical(expanded);
  if (path.empty()) return Fail(kFailed, cvErrorDirectoryNotFound, std::string());
  if (!HttpCreateDirectoryPath(path.c_str())) return std::string();
  return path;
}

void FillDefaults(HttpServerRecord& r) {
  r.maxClients = 100;
  r.maxPerAddress = 8;
  r.maxRequests = 5;
  r.maxRequestSize = 0x400000;
  r.cacheLifetime = 7200;
  r.idleTime = 60;
  r.execTime = 5;
}

}  // namespace
}  // namespace cvhttpsrv

using namespace cvhttpsrv;

uint64_t HttpServerStart(const char* address, uint32_t port, uint32_t options, const HttpServerConfig* config,
                         HttpServerEventCallback callback, uint64_t context, SecCredentials* credentials) {
  if (!HttpServerIsInitialized()) return kFailed;
  if (port == 0) port = (options & httpServerSecure) ? 443 : 80;
  auto r = std::make_shared<HttpServerRecord>();
  r->port = port;
  r->options = options;
  r->clientAccess = (options & httpServerRestricted) ? 0x100001 : 15;
  r->pathAccess = (options & httpServerRestricted) ? 1 : 9;
  r->startTime = Now();

  std::string rootConfig, tempConfig, logConfig;
  bool deleteLog = false;
  if (config) {
    if (config->size != sizeof(HttpServerConfig)) return Fail(kFailed, cvErrorInvalidConfiguration, kFailed);
    r->maxClients = config->maxClients;
    r->maxPerAddress = config->maxClientsPerAddress;
    r->maxRequests = config->maxRequests;
    r->maxRequestSize = config->maxRequestSize;
    r->logFormat = config->logFormat & 0xFFFF;
    r->logLevel = config->logLevel;
    r->cacheLifetime = config->cacheLifetime;
    r->idleTime = config->idleTime;
    r->execTime = config->execTime;
    if (config->identity) r->identity = std::string(config->identity).substr(0, 63);
    if (config->hostName && *config->hostName) {
      char normal[256] = {};
      if (std::strlen(config->hostName) < 256 && SockNormalizeHostName(config->hostName, normal))
        r->hostName = normal;
    }
    if (config->serverUuid) r->uuidText = std::string(config->serverUuid).substr(0, 39);
    if (config->rootDirectory) rootConfig = config->rootDirectory;
    if (config->tempDirectory) tempConfig = config->tempDirectory;
    if (config->logFile) logConfig = config->logFile;
    deleteLog = (config->logFormat & httpLogDelete) != 0;
  } else {
    FillDefaults(*r);
  }
  if (r->logFormat == 0) r->logLevel = 0;
  else if (r->logFormat <= 2 && r->logLevel == 0) r->logLevel = 1;
  else if (r->logFormat == 3 && r->logLevel == 0) r->logLevel = 5;
  else if (r->logFormat > 3) r->logFormat = r->logLevel = 0;
  r->logLevel = std::min<uint32_t>(r->logLevel, 10);
  if (r->identity.empty()) r->identity = "Corvanetics/9.5";

  uint8_t uuid[16];
  if (!r->uuidText.empty()) {
    if (!cvsock::ParseUuid(r->uuidText, uuid)) return Fail(kFailed, cvErrorInvalidConfiguration, kFailed);
  } else if (!cvsock::NewUuid(uuid)) {
    return Fail(kFailed, cvErrorInternalFailure, kFailed);
  }
  r->uuidText = cvsock::FormatUuid(uuid);

  if (r->hostName.empty()) {
    char full[256] = {};
    const uint32_t saved = InetGetLastError();
    r->hostName = InetGetFullHostName(full, sizeof full) > 0 && full[0] ? full : "localhost";
    InetSetLastError(saved);
  }

  if (tempConfig.empty()) {
    r->temp = cvsock::SystemTemp();
    if (r->temp.empty() || r->temp.size() >= 230) return Fail(kFailed, cvErrorDirectoryNotFound, kFailed);
  } else if ((r->temp = PrepareDirectory(tempConfig)).empty()) {
    return kFailed;
  }
  if (rootConfig.empty()) {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd) || std::strlen(cwd) >= kPathSize)
      return Fail(kFailed, cvErrorDirectoryNotFound, kFailed);
    r->root = cwd;
  } else if ((r->root = PrepareDirectory(rootConfig)).empty()) {
    return kFailed;
  }
  if (IEquals(r->root, r->temp)) return Fail(kFailed, cvErrorDirectoryExists, kFailed);

  if (r->logFormat != 0) {
    std::string name;
    if (!logConfig.empty()) {
      name = Canonical(ExpandPath(logConfig));
      if (name.empty()) return Fail(kFailed, cvErrorDirectoryNotFound, kFailed);
    } else {
      const std::string dir = cvsock::SystemTemp() + "/" + r->identity;
      const uint32_t saved = InetGetLastError();
      HttpCreateDirectoryPath(dir.c_str());
      InetSetLastError(saved);
      char date[32];
      const time_t start = time_t(r->startTime);
      struct tm t {};
      ::gmtime_r(&start, &t);
      std::strftime(date, sizeof date, "/%Y%m%d.log", &t);
      name = dir + date;
      if (name.size() >= 259) name.clear();
    }
    r->logFileName = name;
  }
  if (r->logFileName.empty()) r->logFormat = r->logLevel = 0;
  if (r->logFormat != 0 && deleteLog) ::unlink(r->logFileName.c_str());

  if (r->maxClients == 0) r->maxClients = 100;
  if (r->maxPerAddress == 0) r->maxPerAddress = 8;
  r->maxRequestSize = r->maxRequestSize == 0 ? 0x400000 : std::clamp<uint32_t>(r->maxRequestSize, 102400, 0x6400000);
  r->maxRequests = r->maxRequests == 0 ? 5 : std::min<uint32_t>(r->maxRequests, 100);
  if (r->cacheLifetime != 0) r->cacheLifetime = std::clamp<uint32_t>(r->cacheLifetime, 60, 86400);
  r->idleTime = std::clamp<uint32_t>(r->idleTime == 0 ? 60 : r->idleTime, 10, 300);
  r->execTime = std::min<uint32_t>(r->execTime == 0 ? 5 : r->execTime, 30);
  r->callback = callback;
  r->context = context;

  if (options & httpServerSecure) {
    SecCredentials* built = nullptr;
    if (credentials) {
      if (!SecCheckCertificate(credentials->certStore, credentials->certPassword, credentials->certName) ||
          !(built = SecCopyCredentials(credentials)))
        return Fail(kFailed, cvErrorSecurityCredentials, kFailed);
    } else if (SecBuildCredentials(16, 0, nullptr, nullptr, nullptr, r->hostName.c_str(), &built) != 1 || !built) {
      return Fail(kFailed, cvErrorSecurityCredentials, kFailed);
    }
    r->credentials = built;
  }

  const SOCKET handle = ServerCreate(address, port, HttpSessionEvent, 10);
  if (handle == INVALID_SOCKET) {
    const uint32_t error = InetGetLastError();
    if (r->credentials) SecFreeCredentials(&r->credentials);
    return Fail(kFailed, error ? error : cvErrorInternalFailure, kFailed);
  }
  r->serverHandle = uint64_t(handle);
  if (!(options & httpServerExternal)) {
    InetGetLocalAddress(handle, 0, &r->address);
  } else if (!InetGetExternalAddress(r->address.family ? r->address.family : 2, &r->address)) {
    const uint32_t error = InetGetLastError();
    ServerStop(handle);
    if (r->credentials) SecFreeCredentials(&r->credentials);
    return Fail(kFailed, error, kFailed);
  }
  CopyMethods(*r);
  r->registryKey = Lib().Register(r);
  ServerSetContext(handle, r->registryKey);
  r->accepting = 1;
  Lib().runningServers.fetch_add(1);
  HttpServerAddHost(uint64_t(handle), r->hostName.c_str(), port, r->root.c_str());
  if (options & httpServerReadOnly)
    for (const char* m : {"COPY", "DELETE", "LOCK", "MKCOL", "MOVE", "PROPPATCH", "PUT", "UNLOCK"})
      HttpServerDisableMethod(uint64_t(handle), m);
  InetSetLastError(0);
  return uint64_t(handle);
}

int32_t HttpServerStop(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  // The clients end before the lock is taken: they log their last request under it.
  r->accepting = 0;
  HttpServerDisconnectAll(server);
  {
    std::lock_guard lk(Lib().lock());
    CloseLog(*r);
    ServerSetContext(SOCKET(server), 0);
    Lib().Unregister(r->registryKey);
  }
  // The engine joins client threads that may wait for the library lock: stop it outside.
  // Hosts, paths, users and registrations go with the record once the last client thread
  // lets go of it, so none of them is freed under a reader.
  const int32_t stopped = ServerStop(SOCKET(server));
  // The engine gives up on a client thread after a while; the server has stopped only
  // when no client thread is inside this library for it any more (they end promptly
  // once the record left the registry). Messages sent to this thread are served
  // meanwhile: a handler may be reporting to it. A stop from inside an event does not
  // wait for its own thread.
  // Nor for a client thread whose event is being sent to this thread: it goes on only once
  // the caller returns.
  const uint32_t own = InsideEventOf(*r) ? 1 : 0;
  auto waitingForCaller = [&] {
    std::lock_guard lk(r->eventThreadsLock);
    uint32_t n = 0;
    for (uint32_t id : r->eventThreads) n += plat::IsThreadSendingToCaller(id) ? 1 : 0;
    return n;
  };
  while (r->activeEvents.load() > own + waitingForCaller()) plat::WaitForEventsOrMessages(nullptr, 0, 10);
  {
    std::lock_guard lk(Lib().lock());
    if (r->credentials) SecFreeCredentials(&r->credentials);
    if (own == 0) r->registrations.clear();
  }
  if (stopped) Lib().runningServers.fetch_sub(1);
  return stopped;
}

uint64_t HttpServerRestart(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return kFailed;
  r->accepting = 0;
  HttpServerDisconnectAll(server);
  {
    std::lock_guard lk(Lib().lock());
    ServerSetContext(SOCKET(server), 0);
    CloseLog(*r);
  }
  const SOCKET handle = ServerRestart(SOCKET(server));
  std::lock_guard lk(Lib().lock());
  if (handle == INVALID_SOCKET) {
    // Without a listener the record serves nothing: it leaves the registry.
    const uint32_t error = InetGetLastError();
    Lib().Unregister(r->registryKey);
    Lib().runningServers.fetch_sub(1);
    return Fail(kFailed, error, kFailed);
  }
  r->serverHandle = uint64_t(handle);
  r->startTime = Now();
  for (auto& h : r->hosts)
    if (h) h->port = r->port;
  ServerSetContext(handle, r->registryKey);
  r->accepting = 1;
  return uint64_t(handle);
}

int32_t HttpServerDisconnectAll(uint64_t server) { return Lib().DisconnectAll(server); }

int32_t HttpServerThrottle(uint64_t server, int32_t maxClients, int32_t maxPerAddress, int32_t acceptDelay) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (maxClients != -1) r->maxClients = uint32_t(maxClients);
  if (maxPerAddress != -1) r->maxPerAddress = uint32_t(maxPerAddress);
  if (acceptDelay != -1 && !ServerThrottle(SOCKET(server), uint32_t(acceptDelay)))
    return Fail(server, InetGetLastError());
  return 1;
}

int32_t HttpServerStartTrace(const char* file, int32_t flags) { return TraceEnable(file, flags | kTraceProcess); }
void HttpServerStopTrace() { TraceDisable(); }
