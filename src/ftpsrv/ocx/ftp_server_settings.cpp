// The settings of CFtpServer: values kept in the control and handed to the next Start;
// most of them cannot change while a server runs.
#include <algorithm>
#include <cctype>

#include "core/errors/error_codes.h"
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/server_settings.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"

namespace ftpsrvctl {

using ocx::CanonicalUuid;
using ocx::Clamp;

#define CV_SETTING_STRING(Name, field) CV_SERVER_SETTING_STRING(CFtpServer, Name, field)
#define CV_SETTING_CLAMPED(Name, field, lo, hi) CV_SERVER_SETTING_CLAMPED(CFtpServer, Name, field, lo, hi)
#define CV_SETTING_OPTION(Name, bit) CV_SERVER_SETTING_OPTION(CFtpServer, Name, bit)

void CFtpServer::ReadOptions() {
  uint32_t options = 0;
  if (Running() && FtpServerGetOptions(server_.load(), &options)) s_.options = options;
}

CV_SETTING_CLAMPED(AuthFail, authFail, 1, 10)
CV_SETTING_CLAMPED(AuthTime, authTime, 20, 300)
CV_SETTING_CLAMPED(ExecTime, execTime, 1, 30)
CV_SETTING_CLAMPED(IdleTime, idleTime, 60, 7200)
CV_SETTING_STRING(CertificateName, certificateName)
CV_SETTING_STRING(CertificatePassword, certificatePassword)
CV_SETTING_STRING(CertificateStore, certificateStore)
CV_SETTING_STRING(CertificateUser, certificateUser)
CV_SETTING_STRING(Identity, identity)
CV_SETTING_OPTION(HiddenFiles, ftpServerHiddenFiles)
CV_SETTING_OPTION(LocalTime, ftpServerLocalTime)
CV_SETTING_OPTION(LocalUser, ftpServerLocalUser)
CV_SETTING_OPTION(LockFiles, ftpServerLockFiles)
CV_SETTING_OPTION(MultiUser, ftpServerMultiUser)
CV_SETTING_OPTION(ReadOnly, ftpServerReadOnly)
CV_SETTING_OPTION(Restricted, ftpServerRestricted)
CV_SETTING_OPTION(UnixMode, ftpServerUnixMode)

HRESULT CFtpServer::get_Directory(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    char root[kFtpPathSize] = {};
    if (!FtpServerGetDirectory(server_.load(), root)) return PropertyFailure();
    s_.directory = Widen(root);
  }
  return OutText(s_.directory, value);
}

HRESULT CFtpServer::put_Directory(BSTR value) {
  CV_OCX_ENTRY;
  if (Running()) return Raise(cvErrorServerActive, true, false);
  s_.directory = InText(value);
  return S_OK;
}

HRESULT CFtpServer::get_ExternalAddress(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  if (HRESULT hr = Init(); FAILED(hr)) return hr;
  if (s_.externalAddress.empty()) {
    SockAddress address{};
    char text[64] = {};
    if (InetGetExternalAddress(2, &address) == 0 && InetFormatAddress(&address, text) > 0) s_.externalAddress = Widen(text);
  }
  return OutText(s_.externalAddress, value);
}

HRESULT CFtpServer::put_ExternalAddress(BSTR value) {
  CV_OCX_ENTRY;
  if (HRESULT hr = Init(); FAILED(hr)) return hr;
  const std::u16string text = InText(value);
  const std::string utf8 = ocx::Utf16ToUtf8(text);
  SockAddress address{};
  if (InetParseAddress(utf8.c_str(), 0, &address) <= 0) return Raise(InetGetLastError(), true, false);
  if (Running() && !FtpServerSetExternalAddress(server_.load(), utf8.c_str())) return PropertyFailure();
  s_.externalAddress = text;
  return S_OK;
}

HRESULT CFtpServer::get_MaxClients(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.maxClients, value);
}

HRESULT CFtpServer::put_MaxClients(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0) return ocx::kCtlErrorInvalidPropertyValue;
  if (Running()) {
    if (!FtpServerThrottle(server_.load(), uint32_t(value), kFtpNoChange, kFtpNoChange, kFtpNoChange))
      return PropertyFailure();
    ReadOptions();
  }
  s_.maxClients = value;
  return S_OK;
}

HRESULT CFtpServer::get_MaxGuests(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.maxGuests, value);
}

HRESULT CFtpServer::put_MaxGuests(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0) return ocx::kCtlErrorInvalidPropertyValue;
  if (Running()) {
    if (!FtpServerThrottle(server_.load(), kFtpNoChange, kFtpNoChange, uint32_t(value), kFtpNoChange))
      return PropertyFailure();
    ReadOptions();
  }
  s_.maxGuests = value;
  return S_OK;
}

HRESULT CFtpServer::get_MaxPort(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.maxPort, value);
}

HRESULT CFtpServer::put_MaxPort(int32_t value) {
  CV_REFUSED_WHILE_RUNNING;
  if (value == 0) value = 65535;
  if (value < 0 || value > 65535 || value <= s_.minPort) return ocx::kCtlErrorInvalidPropertyValue;
  s_.maxPort = value;
  return S_OK;
}

HRESULT CFtpServer::get_MinPort(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.minPort, value);
}

HRESULT CFtpServer::put_MinPort(int32_t value) {
  CV_REFUSED_WHILE_RUNNING;
  if (value == 0) value = 32768;
  if (value < 0 || value > 65535 || value >= s_.maxPort) return ocx::kCtlErrorInvalidPropertyValue;
  s_.minPort = value;
  return S_OK;
}

HRESULT CFtpServer::get_Options(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(int32_t(s_.options), value);
}

HRESULT CFtpServer::put_Options(int32_t value) {
  CV_REFUSED_WHILE_RUNNING;
  s_.options = uint32_t(value);
  return S_OK;
}

HRESULT CFtpServer::get_Priority(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    const int32_t priority = FtpServerGetPriority(server_.load());
    if (priority < 0) return PropertyFailure();
    s_.priority = priority;
  }
  return OutLong(s_.priority, value);
}

HRESULT CFtpServer::put_Priority(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 4) return ocx::kCtlErrorInvalidPropertyValue;
  if (Running() && !FtpServerSetPriority(server_.load(), uint32_t(value))) return PropertyFailure();
  s_.priority = value;
  return S_OK;
}

HRESULT CFtpServer::get_Secure(VARIANT_BOOL* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutBool((s_.options & ftpServerSecure) != 0, value);
}

HRESULT CFtpServer::put_Secure(VARIANT_BOOL value) {
  CV_REFUSED_WHILE_RUNNING;
  s_.options &= ~(ftpServerSecure | ftpServerImplicitSSL | ftpServerExplicitSSL);
  if (value != VARIANT_FALSE)
    s_.options |= ftpServerSecure | (s_.serverPort == 990 ? ftpServerImplicitSSL : ftpServerExplicitSSL);
  else if (s_.serverPort == 990)
    s_.serverPort = 21;
  return S_OK;
}

HRESULT CFtpServer::get_ServerAddress(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutText(s_.serverAddress, value);
}

HRESULT CFtpServer::put_ServerAddress(BSTR value) {
  CV_OCX_ENTRY;
  return Names::PutServerAddress(*this, value);
}

HRESULT CFtpServer::get_ServerName(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return Names::GetServerName(*this, value);
}

HRESULT CFtpServer::put_ServerName(BSTR value) {
  CV_REFUSED_WHILE_RUNNING;
  s_.serverName = InText(value);
  return S_OK;
}

HRESULT CFtpServer::get_ServerPort(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.serverPort, value);
}

HRESULT CFtpServer::put_ServerPort(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 65535) return ocx::kCtlErrorInvalidPropertyValue;
  s_.serverPort = value == 0 ? 21 : value;
  if (s_.options & ftpServerSecure) {
    s_.options &= ~(ftpServerImplicitSSL | ftpServerExplicitSSL);
    s_.options |= s_.serverPort == 990 ? ftpServerImplicitSSL : ftpServerExplicitSSL;
  }
  return S_OK;
}

HRESULT CFtpServer::get_ServerUuid(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    char text[40] = {};
    if (!FtpServerGetUuid(server_.load(), text)) return PropertyFailure();
    for (char* p = text; *p; ++p) *p = char(std::toupper(static_cast<unsigned char>(*p)));
    s_.serverUuid = Widen(text);
  }
  return OutText(s_.serverUuid, value);
}

HRESULT CFtpServer::put_ServerUuid(BSTR value) {
  CV_REFUSED_WHILE_RUNNING;
  const std::string uuid = CanonicalUuid(ocx::Utf16ToUtf8(InText(value)));
  if (uuid.empty()) return ocx::kCtlErrorInvalidPropertyValue;
  s_.serverUuid = Widen(uuid.c_str());
  return S_OK;
}

HRESULT CFtpServer::get_StackSize(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.stackSize, value);
}

HRESULT CFtpServer::put_StackSize(int32_t value) {
  CV_OCX_ENTRY;
  value = value == 0 ? 524288 : Clamp(value, 262144, 8388608);
  if (Running() && !FtpServerSetStackSize(server_.load(), uint32_t(value))) return PropertyFailure();
  s_.stackSize = value;
  return S_OK;
}

}  // namespace ftpsrvctl
