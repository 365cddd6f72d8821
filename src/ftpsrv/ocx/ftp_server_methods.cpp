// Start, stop and steering of the server, and the properties that report its state.
#include "core/errors/error_codes.h"
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/server_lifecycle_members.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"

namespace ftpsrvctl {

namespace {

struct LifecycleLibrary {
  static constexpr uint64_t kNoServer = ftpsrvctl::kNoServer;
  static constexpr DISPID kEventOnStop = ftpsrvctl::kEventOnStop;
  static bool Stop(uint64_t server) { return FtpServerStop(server) != 0; }
  static uint64_t Restart(uint64_t server) { return FtpServerRestart(server); }
  static bool Suspend(uint64_t server) { return FtpServerSuspend(server) != 0; }
  static bool Resume(uint64_t server) { return FtpServerResume(server) != 0; }
  static uint32_t GetLastError(uint64_t server) { return FtpServerGetLastError(server); }
  static void StopTrace() { FtpServerStopTrace(); }
  static bool IsListening(uint64_t server) { return FtpServerIsListening(server) != 0; }
  static uint32_t ThreadId(uint64_t server) { return FtpServerGetThreadId(server); }
};
using Lifecycle = ocx::ServerLifecycleMembers<CFtpServer, LifecycleLibrary>;

// Nulls for empty texts: the library then takes its defaults.
const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

HRESULT CFtpServer::Start(VARIANT address, VARIANT port, VARIANT directory, VARIANT maxClients, VARIANT idleTime,
                          VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  if (!IsInitialized()) Init();  // a failure shows as the start's failure
  notify_.window = Window();
  std::string addressText, directoryText;
  uint32_t portValue = 0, clients = 0, idle = 0, optionWord = 0;
  if (HRESULT hr = OptionalUtf8(address, s_.serverAddress, &addressText); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(port, uint32_t(s_.serverPort), &portValue); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUtf8(directory, s_.directory, &directoryText); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(maxClients, uint32_t(s_.maxClients), &clients); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(idleTime, uint32_t(s_.idleTime), &idle); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(options, s_.options, &optionWord); FAILED(hr)) return hr;
  SetLongArgument(error, 0);

  if (s_.serverName.empty()) {
    char name[256] = {};
    if (InetGetFullHostName(name, sizeof name) > 0) s_.serverName = Widen(name);
  }
  const std::string identity = ocx::Utf16ToUtf8(s_.identity), uuid = ocx::Utf16ToUtf8(s_.serverUuid),
                    host = ocx::Utf16ToUtf8(s_.serverName), logFile = ocx::Utf16ToUtf8(s_.logFile);
  FtpServerConfig config{};
  config.size = sizeof config;
  config.maxClients = clients;
  config.maxClientsPerAddress = 4;
  config.maxGuests = uint32_t(s_.maxGuests);
  config.logFormat = uint32_t(s_.logFormat);
  config.logLevel = uint32_t(s_.logLevel);
  config.minPassivePort = uint32_t(s_.minPort);
  config.maxPassivePort = uint32_t(s_.maxPort);
  config.authFail = uint32_t(s_.authFail);
  config.authTime = uint32_t(s_.authTime);
  config.idleTime = idle;
  config.execTime = uint32_t(s_.execTime);
  config.identity = OrNull(identity);
  config.serverUuid = OrNull(uuid);
  config.hostName = OrNull(host);
  config.rootDirectory = OrNull(directoryText);
  config.tempDirectory = nullptr;
  config.logFile = OrNull(logFile);
  if (!s_.externalAddress.empty()) optionWord &= ~ftpServerExternal;

  if (Running()) {
    const HRESULT hr = StopServer(error, true);
    if (Running()) return hr;
  }

  SecCredentials* credentials = nullptr;
  if (optionWord & ftpServerSecure) {
    if (s_.certificateName.empty() && !s_.serverName.empty()) s_.certificateName = s_.serverName;
    const std::string user = ocx::Utf16ToUtf8(s_.certificateUser), password = ocx::Utf16ToUtf8(s_.certificatePassword),
                      store = ocx::Utf16ToUtf8(s_.certificateStore), name = ocx::Utf16ToUtf8(s_.certificateName);
    if (!FtpServerBuildCredentials(OrNull(user), OrNull(password), OrNull(store), OrNull(name), &credentials))
      credentials = nullptr;
  }
  const uint64_t handle = FtpServerStart(OrNull(addressText), portValue, optionWord, &config,
                                         &CFtpServer::LibraryEventCallback,
                                         reinterpret_cast<uint64_t>(&notify_), credentials);
  if (credentials) FtpServerFreeCredentials(&credentials);
  if (handle == kNoServer) return MethodFailure(error, FtpServerGetLastError(kNoServer));

  server_ = handle;
  if (!s_.externalAddress.empty())
    FtpServerSetExternalAddress(handle, ocx::Utf16ToUtf8(s_.externalAddress).c_str());
  FtpServerSetPriority(handle, uint32_t(s_.priority));
  FtpServerSetStackSize(handle, uint32_t(s_.stackSize));
  s_.serverAddress = Widen(addressText.c_str());
  s_.serverPort = int32_t(portValue);
  s_.directory = Widen(directoryText.c_str());
  s_.maxClients = int32_t(clients);
  s_.idleTime = int32_t(idle);
  s_.options = optionWord;
  ReadOptions();
  Fire(kEventOnStart, {});
  return S_OK;
}

CV_SERVER_LIFECYCLE_ENTRIES(CFtpServer, Lifecycle)

HRESULT CFtpServer::Throttle(VARIANT maxClients, VARIANT maxPerAddress, VARIANT maxGuests, VARIANT rate,
                             VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t clients = 0, perAddress = 0, guests = 0, delay = 0;
  if (HRESULT hr = OptionalUInt(maxClients, kFtpNoChange, &clients); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(maxPerAddress, kFtpNoChange, &perAddress); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(maxGuests, kFtpNoChange, &guests); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(rate, kFtpNoChange, &delay); FAILED(hr)) return hr;
  SetLongArgument(error, 0);
  if (!FtpServerThrottle(server_.load(), clients, perAddress, guests, delay)) return MethodFailure(error);
  if (clients != kFtpNoChange) s_.maxClients = int32_t(clients);
  if (guests != kFtpNoChange) s_.maxGuests = int32_t(guests);
  ReadOptions();
  return S_OK;
}

}  // namespace ftpsrvctl
