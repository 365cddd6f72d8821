// Starting a server: the configuration with its defaults and limits, the directories,
// the log file name, TLS credentials, the engine server and the announced address.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/local_fs.h"
#include "sockets/server/server_ids.h"

namespace cvftpsrv {

namespace {

constexpr const char* kProduct = "Corvanetics";

}  // namespace

// Environment references ($NAME, ${NAME}, %NAME%) replaced by their values; false when
// the result does not fit a path.
bool ExpandEnvironment(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size();) {
    std::string name;
    size_t next = i;
    if (in[i] == '%') {
      const size_t end = in.find('%', i + 1);
      if (end != std::string::npos && end > i + 1) {
        name = in.substr(i + 1, end - i - 1);
        next = end + 1;
      }
    } else if (in[i] == '$' && i + 1 < in.size() && in[i + 1] == '{') {
      const size_t end = in.find('}', i + 2);
      if (end != std::string::npos) {
        name = in.substr(i + 2, end - i - 2);
        next = end + 1;
      }
    } else if (in[i] == '$') {
      size_t end = i + 1;
      while (end < in.size() && (std::isalnum(static_cast<unsigned char>(in[end])) || in[end] == '_')) ++end;
      if (end > i + 1) {
        name = in.substr(i + 1, end - i - 1);
        next = end;
      }
    }
    if (!name.empty()) {
      const char* v = std::getenv(name.c_str());
      if (v) {
        out += v;
        i = next;
        continue;
      }
    }
    out += in[i++];
  }
  return out.size() < kFtpPathSize;
}

// A configured directory: expanded, made absolute, normalised and created. "" with the
// error set on failure.
std::string PrepareDirectory(uint64_t handle, const char* configured) {
  std::string expanded;
  if (!ExpandEnvironment(configured, expanded)) return Fail(handle, cvErrorDirectoryNotFound), std::string();
  if (expanded.empty() || expanded[0] != '/') {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return Fail(handle, cvErrorDirectoryNotFound), std::string();
    expanded = std::string(cwd) + "/" + expanded;
  }
  const std::string path = CombinePath(nullptr, expanded.c_str());
  if (path.empty()) return Fail(handle, cvErrorDirectoryNotFound), std::string();
  if (!FtpServerCreateDirectory(handle, path.c_str())) return std::string();
  return path;
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

uint64_t FtpServerStart(const char* address, uint32_t port, uint32_t options, const FtpServerConfig* config,
                        FtpServerEventCallback callback, uint64_t context, SecCredentials* credentials) {
  constexpr uint64_t kFailed = uint64_t(INVALID_SOCKET);
  if (!FtpServerIsInitialized()) return kFailed;
  if (port == 0) port = (options & ftpServerImplicitSSL) ? 990 : 21;
  auto r = std::make_shared<FtpServerRecord>();
  r->port = port;
  ::tzset();
  r->timeZoneBias = int32_t(::timezone);
  r->startTime.store(Now());

  std::string rootConfig, tempConfig, logConfig;
  bool deleteLog = false;
  if (config) {
    if (config->size != sizeof(FtpServerConfig)) return Fail(kFailed, cvErrorInvalidConfiguration, kFailed);
    r->maxClients.store(config->maxClients ? config->maxClients : 100);
    r->maxPerAddress.store(config->maxClientsPerAddress ? config->maxClientsPerAddress : 4);
    r->maxGuests.store(config->maxGuests);
    r->logFormat = config->logFormat & 0xFFFF;
    r->logLevel = config->logLevel;
    r->minPassivePort = config->minPassivePort;
    r->maxPassivePort = config->maxPassivePort;
    r->authFail = config->authFail;
    r->authTime = config->authTime;
    r->idleTime = config->idleTime;
    r->execTime = config->execTime;
    CopyText(r->identity, sizeof r->identity, config->identity);
    if (config->hostName && *config->hostName) {
      char normal[256];
      if (SockNormalizeHostName(config->hostName, normal)) CopyText(r->hostName, sizeof r->hostName, normal);
    }
    CopyText(r->uuidText, sizeof r->uuidText, config->serverUuid);
    if (config->rootDirectory) rootConfig = config->rootDirectory;
    if (config->tempDirectory) tempConfig = config->tempDirectory;
    if (config->logFile) logConfig = config->logFile;
    deleteLog = (config->logFormat & ftpLogDelete) != 0;
  } else {
    r->minPassivePort = 32768;
    r->maxPassivePort = 65535;
  }
  if (r->maxGuests.load() > 0) options |= ftpServerAnonymous;
  if (r->logFormat == 0) r->logLevel = 0;
  else if (r->logFormat == 1 && r->logLevel == 0) r->logLevel = 1;
  else if (r->logFormat == 2 && r->logLevel == 0) r->logLevel = 5;
  else if (r->logFormat > 2) r->logFormat = r->logLevel = 0;
  r->logLevel = std::min<uint32_t>(r->logLevel, 10);
  if (!r->identity[0]) std::snprintf(r->identity, sizeof r->identity, "%s %d.%d", kProduct, 9, 5);

  if (r->uuidText[0]) {
    if (!cvsock::ParseUuid(r->uuidText, r->uuid)) return Fail(kFailed, cvErrorInvalidConfiguration, kFailed);
  } else {
    cvsock::NewUuid(r->uuid);  // the C library's bytes will do when the system has none
  }
  CopyText(r->uuidText, sizeof r->uuidText, cvsock::FormatUuid(r->uuid).c_str());

  if (!r->hostName[0]) {
    char full[256] = {};
    const uint32_t saved = InetGetLastError();
    if (InetGetFullHostName(full, sizeof full) > 0 && full[0]) CopyText(r->hostName, sizeof r->hostName, full);
    else CopyText(r->hostName, sizeof r->hostName, "localhost");
    InetSetLastError(saved);
  }

  std::string temp, root;
  if (tempConfig.empty()) {
    temp = cvsock::SystemTemp();
  } else if ((temp = PrepareDirectory(kFailed, tempConfig.c_str())).empty()) {
    return kFailed;
  }
  if (rootConfig.empty()) {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd) || std::strlen(cwd) >= kFtpPathSize)
      return Fail(kFailed, cvErrorDirectoryNotFound, kFailed);
    root = cwd;
  } else if ((root = PrepareDirectory(kFailed, rootConfig.c_str())).empty()) {
    return kFailed;
  }
  if (IEquals(root.c_str(), temp.c_str())) return Fail(kFailed, cvErrorDirectoryExists, kFailed);
  CopyText(r->rootDirectory, sizeof r->rootDirectory, root.c_str());
  CopyText(r->tempDirectory, sizeof r->tempDirectory, temp.c_str());
  if (options & ftpServerMultiUser) {
    const std::string pub = CombinePath(root.c_str(), "Public"), users = CombinePath(root.c_str(), "Users");
    CopyText(r->publicDirectory, sizeof r->publicDirectory, pub.c_str());
    CopyText(r->usersDirectory, sizeof r->usersDirectory, users.c_str());
    ::mkdir(pub.c_str(), 0777);
    ::mkdir(users.c_str(), 0777);
  } else {
    CopyText(r->publicDirectory, sizeof r->publicDirectory, root.c_str());
    CopyText(r->usersDirectory, sizeof r->usersDirectory, root.c_str());
  }

  if (r->logFormat != 0) {
    std::string name;
    if (!logConfig.empty()) {
      std::string expanded;
      if (!ExpandEnvironment(logConfig, expanded)) return Fail(kFailed, cvErrorDirectoryNotFound, kFailed);
      if (expanded[0] != '/') {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd)) return Fail(kFailed, cvErrorDirectoryNotFound, kFailed);
        expanded = std::string(cwd) + "/" + expanded;
      }
      name = CombinePath(nullptr, expanded.c_str());
      if (name.empty()) return Fail(kFailed, cvErrorDirectoryNotFound, kFailed);
    } else {
      const std::string dir = (options & ftpServerMultiUser) ? CombinePath(root.c_str(), "Logs")
                                                             : CombinePath(cvsock::SystemTemp().c_str(), r->identity);
      if (!dir.empty()) {
        const uint32_t saved = InetGetLastError();
        FtpServerCreateDirectory(kFailed, dir.c_str());
        InetSetLastError(saved);
        char date[32];
        const time_t start = time_t(r->startTime.load());
        struct tm t {};
        ::localtime_r(&start, &t);
        std::strftime(date, sizeof date, "/%Y%m%d.log", &t);
        name = dir + date;
      }
      if (name.size() >= kFtpPathSize - 1) name.clear();
    }
    CopyText(r->logFileName, sizeof r->logFileName, name.c_str());
  }
  if (!r->logFileName[0]) r->logFormat = r->logLevel = 0;
  if (r->logFormat != 0 && deleteLog) ::unlink(r->logFileName);

  if (r->minPassivePort == 0) r->minPassivePort = 32768;
  if (r->maxPassivePort == 0) r->maxPassivePort = 65535;
  r->minPassivePort = std::clamp<uint32_t>(r->minPassivePort, 10000, 65535);
  r->maxPassivePort = std::clamp<uint32_t>(r->maxPassivePort, 10000, 65535);
  if (r->minPassivePort >= r->maxPassivePort || r->maxPassivePort - r->minPassivePort < 1000)
    return Fail(kFailed, cvErrorInvalidConfiguration, kFailed);
  r->authFail = r->authFail == 0 ? 3 : std::min<uint32_t>(r->authFail, 10);
  r->authTime = r->authTime == 0 ? 60 : std::clamp<uint32_t>(r->authTime, 20, 300);
  r->idleTime = r->idleTime == 0 ? 900 : std::clamp<uint32_t>(r->idleTime, 60, 7200);
  r->execTime = r->execTime == 0 ? 5 : std::min<uint32_t>(r->execTime, 30);
  r->callback = callback;
  r->context = context;

  if (options & (ftpServerExplicitSSL | ftpServerImplicitSSL)) options |= ftpServerSecure;
  if ((options & ftpServerSecure) && !(options & (ftpServerExplicitSSL | ftpServerImplicitSSL)))
    options |= port == 990 ? ftpServerImplicitSSL : ftpServerExplicitSSL;
  if (options & ftpServerSecure) {
    bool ok;
    if (credentials) {
      ok = SecCheckCertificate(credentials->certStore, credentials->certPassword, credentials->certName) &&
           (r->credentials = SecCopyCredentials(credentials)) != nullptr;
    } else {
      ok = SecBuildCredentials(16, 0, nullptr, nullptr, nullptr, r->hostName, &r->credentials) == 1;
    }
    if (!ok) return Fail(kFailed, cvErrorSecurityCredentials, kFailed);
  }
  r->options.store(options);

  const SOCKET h = ServerCreate(address ? address : "", port, FtpSessionEvent, 20);
  if (h == INVALID_SOCKET) return kFailed;
  r->serverHandle.store(uint64_t(h));
  r->accepting.store(1);
  if (ServerRecord* engine = ServerFindByHandle(h)) {
    r->listenFamily = engine->address.family;
    r->port = engine->port;
    r->serverAddress = engine->address;
  }
  if (options & ftpServerExternal) {
    SockAddress external{};
    if (InetGetExternalAddress(r->listenFamily, &external) < 0) {
      const uint32_t err = InetGetLastError();
      ServerStop(h);  // the listener must not outlive its record
      return Fail(kFailed, err, kFailed);
    }
    r->serverAddress = external;
  } else if (InetIsAnyAddress(&r->serverAddress)) {
    SockAddress local{};
    const uint32_t saved = InetGetLastError();
    if (InetGetLocalAddress(INVALID_SOCKET, r->listenFamily, &local) > 0) r->serverAddress = local;
    InetSetLastError(saved);
  }
  LoadTables(r->tables);
  r->registryKey = Lib().Register(r);
  ServerSetContext(h, r->registryKey);
  Lib().runningServers.fetch_add(1);
  InetSetLastError(0);
  return uint64_t(h);
}
