// Start, stop and steering of the server, and the properties that report its state.
#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/server_lifecycle_members.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"
#include "sockets/server/server.h"

namespace httpsrvctl {

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
