#pragma once
// CHttpServer: the HttpServer control. It keeps the settings of a server, starts and steers
// one server of the HTTP server library, acts on the current request from inside events,
// and turns the library's events (reported on the engine's threads) into events fired on
// the host's thread.
#include <atomic>
#include <initializer_list>
#include <string>

#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server_events.h"
#include "httpsrv/ocx/http_server_iface.h"
#include "ocx/server_control.h"

namespace httpsrvctl {

extern const ocx::ControlDescriptor kHttpServerDescriptor;
// The type library HttpServerCtl.
const plat::com::TypeLibDesc& HttpServerTypeLibrary();

using namespace ocx::server_names;

using HttpServerSettings = ocx::ServerSettings<60, 80>;

// An optional text argument, or def when missing, in UTF-8.
HRESULT OptionalUtf8(const VARIANT& arg, const std::u16string& def, std::string* out);

// The HTTP server library as the shared server control members call it.
struct HttpServerLibrary {
  CV_SERVER_LIBRARY(HttpServer, httpsrvctl)
  static constexpr uint32_t kOptionSecure = httpServerSecure;
  // Without a server every operation fails for that reason, whatever handle the library saw.
  static uint32_t FailureCode(uint64_t server, bool running) {
    return running ? HttpServerGetLastError(server) : uint32_t(cvErrorServerInactive);
  }
  static void Configure(const HttpServerSettings&, HttpServerConfig&) {}
  static uint32_t StartOptions(const HttpServerSettings&, uint32_t options) { return options; }
  // A request's download, upload or execute event follows its result event: both reach
  // the host in one trip, so a request waits for the host's thread twice, not three times.
  static uint32_t FollowingEvent(uint64_t server, uint32_t clientId, uint16_t event, uint16_t error) {
    uint32_t following = 0, followingError = 0;
    if (event != httpEventResult || error != 0 || !HttpSessionTakeEvent(server, clientId, &following, &followingError))
      return 0;
    return (following & 0xFFFFu) | ((followingError & 0xFFFFu) << 16);
  }
};

// Same types as the interface slots, so each declaration overrides its slot.
#define CV_HTTPSERVER_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CHttpServer final : public ocx::ServerControl<IHttpServer, HttpServerSettings, HttpServerLibrary> {
 public:
  explicit CHttpServer(IUnknown* outer);

  IHTTPSERVER_MEMBERS(CV_HTTPSERVER_DECLARE)

 private:
  void DispatchLibraryEvent(uint32_t clientId, uint16_t event) override;
  // A failed query whose Result says so: the error is recorded, no OnError.
  void RecordFailure();
  // The library's answer of a method with an Error argument.
  HRESULT Outcome(int32_t ok, VARIANT* error) { return ok ? S_OK : MethodFailure(error); }
  uint64_t Server() const { return server_.load(); }
  // Sends the log settings to a running server; on failure the previous format and level return.
  HRESULT ApplyLogSettings(int32_t previousFormat, int32_t previousLevel);
  // SetHeader and SetVariable: a name and a value for the client's request; Result says whether it took.
  using NamedValueSetter = int32_t (*)(uint64_t, uint32_t, const char*, const char*);
  HRESULT SetNamedValue(NamedValueSetter set, VARIANT client, VARIANT name, VARIANT value, VARIANT* result);
};

// An optional out argument that takes a boolean, in the type the caller passed.
void SetBoolArgument(VARIANT* arg, bool value);
HRESULT OptionalInt(const VARIANT& arg, int32_t def, int32_t* out);
// A required argument: E_INVALIDARG when it is missing.
HRESULT RequiredUInt(const VARIANT& arg, uint32_t* out);
HRESULT RequiredUtf8(const VARIANT& arg, std::string* out);

}  // namespace httpsrvctl

// Every read accessor but the stock Enabled answers this in design mode.
#define CV_HTTPSRV_RUN_MODE_ONLY CV_SERVER_RUN_MODE_ONLY
