// Start, stop and steering of the server, and the properties that report its state.
#include "core/errors/error_codes.h"
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/server_lifecycle_members.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"

namespace ftpsrvctl {

void FtpServerLibrary::Configure(const FtpServerSettings& s, FtpServerConfig& config) {
  config.maxGuests = uint32_t(s.maxGuests);
  config.minPassivePort = uint32_t(s.minPort);
  config.maxPassivePort = uint32_t(s.maxPort);
  config.authFail = uint32_t(s.authFail);
  config.authTime = uint32_t(s.authTime);
  config.tempDirectory = nullptr;
}

void CFtpServer::OnServerStarted(uint64_t server, uint32_t options) {
  if (!s_.externalAddress.empty()) FtpServerSetExternalAddress(server, ocx::Utf16ToUtf8(s_.externalAddress).c_str());
  s_.options = options;
  ReadOptions();
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
