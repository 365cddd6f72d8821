// Start, stop and steering of the server, and the properties that report its state.
#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/server_lifecycle_members.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"
#include "sockets/server/server.h"

namespace httpsrvctl {

namespace {

struct LifecycleLibrary {
  static constexpr uint64_t kNoServer = httpsrvctl::kNoServer;
  static constexpr DISPID kEventOnStop = httpsrvctl::kEventOnStop;
  static bool Stop(uint64_t server) { return HttpServerStop(server) != 0; }
  static uint64_t Restart(uint64_t server) { return HttpServerRestart(server); }
  static bool Suspend(uint64_t server) { return HttpServerSuspend(server) != 0; }
  static bool Resume(uint64_t server) { return HttpServerResume(server) != 0; }
  static uint32_t GetLastError(uint64_t server) { return HttpServerGetLastError(server); }
  static void StopTrace() { HttpServerStopTrace(); }
  static bool IsListening(uint64_t server) { return HttpServerIsListening(server) != 0; }
  static uint32_t ThreadId(uint64_t server) { return HttpServerGetThreadId(server); }
};
using Lifecycle = ocx::ServerLifecycleMembers<CHttpServer, LifecycleLibrary>;

// Nulls for empty texts: the library then takes its defaults.
const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

HRESULT CHttpServer::Start(VARIANT address, VARIANT port, VARIANT directory, VARIANT maxClients, VARIANT idleTime,
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
  HttpServerConfig config{};
  config.size = sizeof config;
  config.maxClients = clients;
  config.maxClientsPerAddress = 4;
  config.logFormat = uint32_t(s_.logFormat);
  config.logLevel = uint32_t(s_.logLevel);
  config.idleTime = idle;
  config.execTime = uint32_t(s_.execTime);
  config.identity = OrNull(identity);
  config.serverUuid = OrNull(uuid);
  config.hostName = OrNull(host);
  config.rootDirectory = OrNull(directoryText);
  config.logFile = OrNull(logFile);

  if (Running()) {
    const HRESULT hr = StopServer(error, true);
    if (Running()) return hr;
  }

  SecCredentials* credentials = nullptr;
  if (optionWord & httpServerSecure) {
    if (s_.certificateName.empty()) s_.certificateName = s_.serverName;
    const std::string user = ocx::Utf16ToUtf8(s_.certificateUser), password = ocx::Utf16ToUtf8(s_.certificatePassword),
                      store = ocx::Utf16ToUtf8(s_.certificateStore), name = ocx::Utf16ToUtf8(s_.certificateName);
    if (!HttpServerBuildCredentials(OrNull(user), OrNull(password), OrNull(store), OrNull(name), &credentials))
      credentials = nullptr;
  }
  const uint64_t handle = HttpServerStart(OrNull(addressText), portValue, optionWord, &config,
                                          &CHttpServer::LibraryEventCallback,
                                          reinterpret_cast<uint64_t>(&notify_), credentials);
  if (credentials) HttpServerFreeCredentials(&credentials);
  if (handle == kNoServer) return MethodFailure(error, HttpServerGetLastError(kNoServer));

  server_ = handle;
  HttpServerSetPriority(handle, uint32_t(s_.priority));
  HttpServerSetStackSize(handle, uint32_t(s_.stackSize));
  s_.serverAddress = Widen(addressText.c_str());
  s_.serverPort = int32_t(portValue);
  s_.directory = Widen(directoryText.c_str());
  s_.maxClients = int32_t(clients);
  s_.idleTime = int32_t(idle);
  Fire(kEventOnStart, {});
  return S_OK;
}

CV_SERVER_LIFECYCLE_ENTRIES(CHttpServer, Lifecycle)

HRESULT CHttpServer::Throttle(VARIANT maxClients, VARIANT maxPerAddress, VARIANT rate, VARIANT* error) {
  CV_OCX_ENTRY;
  int32_t clients = 0, perAddress = 0, delay = 0;
  if (HRESULT hr = OptionalInt(maxClients, -1, &clients); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(maxPerAddress, -1, &perAddress); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(rate, -1, &delay); FAILED(hr)) return hr;
  SetLongArgument(error, 0);
  if (!HttpServerThrottle(server_.load(), clients, perAddress, delay)) return MethodFailure(error);
  if (clients != -1) s_.maxClients = clients;
  return S_OK;
}

HRESULT CHttpServer::get_ClientCount(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  const int32_t n = Running() ? HttpServerGetClientIds(server_.load(), nullptr, 0) : 0;
  return OutLong(n > 0 ? n : 0, value);
}

}  // namespace httpsrvctl
