#pragma once
// CFtpServer: the FtpServer control. It keeps the settings of a server, starts and steers
// one server of the FTP server library, and turns the library's events (reported on the
// engine's threads) into events fired on the host's thread.
#include <atomic>
#include <initializer_list>
#include <string>

#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server_events.h"
#include "ftpsrv/ocx/ftp_server_iface.h"
#include "ocx/server_control.h"

namespace ftpsrvctl {

extern const ocx::ControlDescriptor kFtpServerDescriptor;
// The type library FtpServerCtl.
const plat::com::TypeLibDesc& FtpServerTypeLibrary();

using namespace ocx::server_names;

// Everything Reset restores beside the settings every server control has.
struct FtpServerSettings : ocx::ServerSettings<300, 21> {
  int32_t authFail = 3;
  int32_t authTime = 60;
  std::u16string externalAddress;
  int32_t maxGuests = 0;
  int32_t maxPort = 65535;
  int32_t minPort = 32768;
};

// An optional text argument, or def when missing, in UTF-8.
HRESULT OptionalUtf8(const VARIANT& arg, const std::u16string& def, std::string* out);

// The FTP server library as the shared server control members call it.
struct FtpServerLibrary {
  CV_SERVER_LIBRARY(FtpServer, ftpsrvctl)
  static constexpr uint32_t kOptionSecure = ftpServerSecure;
  static uint32_t FailureCode(uint64_t server, bool) { return FtpServerGetLastError(server); }
  static void Configure(const FtpServerSettings& s, FtpServerConfig& config);
  // An external address set in the control replaces the library's own lookup.
  static uint32_t StartOptions(const FtpServerSettings& s, uint32_t options) {
    return s.externalAddress.empty() ? options : options & ~ftpServerExternal;
  }
};

// Same types as the interface slots, so each declaration overrides its slot.
#define CV_FTPSERVER_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CFtpServer final : public ocx::ServerControl<IFtpServer, FtpServerSettings, FtpServerLibrary> {
 public:
  explicit CFtpServer(IUnknown* outer);

  IFTPSERVER_MEMBERS(CV_FTPSERVER_DECLARE)

 private:
  void DispatchLibraryEvent(uint32_t clientId, uint16_t event) override;
  void OnServerStarted(uint64_t server, uint32_t options) override;
  void ReadOptions();
  HRESULT ApplyLogSettings(const std::u16string& file, bool withFile);
  HRESULT ApplyOrRestore(int32_t format, int32_t level);
};

}  // namespace ftpsrvctl

// Every read accessor but the stock Enabled answers this in design mode.
#define CV_FTPSRV_RUN_MODE_ONLY CV_SERVER_RUN_MODE_ONLY
