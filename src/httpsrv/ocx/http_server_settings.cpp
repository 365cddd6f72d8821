// The settings of CHttpServer: values kept in the control and handed to the next Start;
// most of them cannot change while a server runs.
#include <algorithm>
#include <cctype>

#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "httpsrv/ocx/http_server.h"
#include "ocx/server_settings.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"

namespace httpsrvctl {

using ocx::CanonicalUuid;
using ocx::Clamp;

#define CV_SETTING_STRING(Name, field) CV_SERVER_SETTING_STRING(CHttpServer, Name, field)
#define CV_SETTING_CLAMPED(Name, field, lo, hi) CV_SERVER_SETTING_CLAMPED(CHttpServer, Name, field, lo, hi)
#define CV_SETTING_OPTION(Name, bit) CV_SERVER_SETTING_OPTION(CHttpServer, Name, bit)

CV_SETTING_CLAMPED(ExecTime, execTime, 1, 30)
CV_SETTING_CLAMPED(IdleTime, idleTime, 10, 300)
CV_SETTING_STRING(CertificateName, certificateName)
CV_SETTING_STRING(CertificatePassword, certificatePassword)
CV_SETTING_STRING(CertificateStore, certificateStore)
CV_SETTING_STRING(CertificateUser, certificateUser)
CV_SETTING_STRING(Identity, identity)
CV_SETTING_OPTION(HiddenFiles, httpServerHiddenFiles)
CV_SETTING_OPTION(LocalUser, httpServerLocalUser)
CV_SETTING_OPTION(LockFiles, httpServerLockFiles)
CV_SETTING_OPTION(MultiUser, httpServerMultiUser)
CV_SETTING_OPTION(NoIndex, httpServerNoIndex)
CV_SETTING_OPTION(ReadOnly, httpServerReadOnly)
CV_SETTING_OPTION(Restricted, httpServerRestricted)

HRESULT CHttpServer::get_Directory(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    char root[260] = {};
    if (HttpServerGetDirectory(server_.load(), root) < 0) return PropertyFailure();
    s_.directory = Widen(root);
  }
  return OutText(s_.directory, value);
}

HRESULT CHttpServer::put_Directory(BSTR value) {
  CV_OCX_ENTRY;
  if (Running()) return Raise(cvErrorServerActive, true, false);
  s_.directory = InText(value);
  return S_OK;
}

HRESULT CHttpServer::get_ExternalAddress(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (HRESULT hr = Init(); FAILED(hr)) return hr;
  SockAddress address{};
  char text[64] = {};
  if (InetGetExternalAddress(2, &address) != 0 || InetFormatAddress(&address, text) <= 0) text[0] = '\0';
  return OutUtf8(text, value);
}

// The running server's log settings into the properties.
static void ReadLogSettings(uint64_t server, HttpServerSettings& s, bool withFile) {
  int32_t format = 0, level = 0;
  char name[260] = {};
  if (HttpServerGetLogSettings(server, &format, &level, withFile ? name : nullptr, sizeof name)) {
    s.logFormat = format & 0xFFFF;
    s.logLevel = level;
    if (withFile) s.logFile = Widen(name);
  }
}

HRESULT CHttpServer::ApplyLogSettings(int32_t previousFormat, int32_t previousLevel) {
  if (!Running()) return S_OK;
  const std::string file = ocx::Utf16ToUtf8(s_.logFile);
  if (HttpServerSetLogSettings(server_.load(), s_.logFormat, s_.logLevel, file.c_str())) return S_OK;
  s_.logFormat = previousFormat;
  s_.logLevel = previousLevel;
  return PropertyFailure();
}

HRESULT CHttpServer::get_LogFile(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    int32_t format = 0, level = 0;
    char name[260] = {};
    if (!HttpServerGetLogSettings(server_.load(), &format, &level, name, sizeof name)) return PropertyFailure();
    s_.logFile = Widen(name);
  }
  return OutText(s_.logFile, value);
}

HRESULT CHttpServer::put_LogFile(BSTR value) {
  CV_OCX_ENTRY;
  const std::u16string previous = s_.logFile;
  const int32_t format = s_.logFormat, level = s_.logLevel;
  s_.logFile = InText(value);
  if (!Running()) return S_OK;
  if (s_.logFile.empty()) s_.logFormat = s_.logLevel = 0;
  const HRESULT hr = ApplyLogSettings(format, level);
  if (FAILED(hr)) s_.logFile = previous;
  return hr;
}

HRESULT CHttpServer::get_LogFormat(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (Running()) ReadLogSettings(server_.load(), s_, false);
  return OutLong(s_.logFormat, value);
}

HRESULT CHttpServer::put_LogFormat(int32_t value) {
  CV_OCX_ENTRY;
  const int32_t format = s_.logFormat, level = s_.logLevel;
  switch (value) {
    case 0:
      s_.logFormat = s_.logLevel = 0;
      break;
    case 1:
    case 2:
    case 3:
      s_.logFormat = value;
      if (s_.logLevel == 0) s_.logLevel = value == 3 ? 5 : 1;
      break;
    default:
      return ocx::kCtlErrorInvalidPropertyValue;
  }
  return ApplyLogSettings(format, level);
}

HRESULT CHttpServer::get_LogLevel(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (Running()) ReadLogSettings(server_.load(), s_, false);
  return OutLong(s_.logLevel, value);
}

HRESULT CHttpServer::put_LogLevel(int32_t value) {
  CV_OCX_ENTRY;
  const int32_t format = s_.logFormat, level = s_.logLevel;
  s_.logLevel = Clamp(value, 0, 10);
  if (s_.logLevel == 0)
    s_.logFormat = 0;
  else if (s_.logFormat == 0)
    s_.logFormat = 3;
  return ApplyLogSettings(format, level);
}

HRESULT CHttpServer::get_MaxClients(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.maxClients, value);
}

HRESULT CHttpServer::put_MaxClients(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0) return ocx::kCtlErrorInvalidPropertyValue;
  if (Running() && !HttpServerThrottle(server_.load(), value, -1, -1)) return PropertyFailure();
  s_.maxClients = value;
  return S_OK;
}

HRESULT CHttpServer::get_Options(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(int32_t(s_.options), value);
}

HRESULT CHttpServer::put_Options(int32_t value) {
  CV_REFUSED_WHILE_RUNNING;
  s_.options = uint32_t(value);
  return S_OK;
}

HRESULT CHttpServer::get_Priority(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    const int32_t priority = HttpServerGetPriority(server_.load());
    if (priority < 0) return PropertyFailure();
    s_.priority = priority;
  }
  return OutLong(s_.priority, value);
}

HRESULT CHttpServer::put_Priority(int32_t value) {
  CV_OCX_ENTRY;
  // Negative values are refused too: no priority below the lowest exists.
  if (value < 0 || value > 4) return ocx::kCtlErrorInvalidPropertyValue;
  if (Running() && !HttpServerSetPriority(server_.load(), uint32_t(value))) return PropertyFailure();
  s_.priority = value;
  return S_OK;
}

HRESULT CHttpServer::get_Secure(VARIANT_BOOL* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutBool((s_.options & httpServerSecure) != 0, value);
}

HRESULT CHttpServer::put_Secure(VARIANT_BOOL value) {
  CV_REFUSED_WHILE_RUNNING;
  const bool secure = value != VARIANT_FALSE;
  s_.options = secure ? (s_.options | httpServerSecure) : (s_.options & ~httpServerSecure);
  if (secure && s_.serverPort == 80) s_.serverPort = 443;
  if (!secure && s_.serverPort == 443) s_.serverPort = 80;
  return S_OK;
}

HRESULT CHttpServer::get_ServerAddress(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutText(s_.serverAddress, value);
}

HRESULT CHttpServer::put_ServerAddress(BSTR value) {
  CV_OCX_ENTRY;
  return Names::PutServerAddress(*this, value);
}

HRESULT CHttpServer::get_ServerName(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return Names::GetServerName(*this, value);
}

HRESULT CHttpServer::put_ServerName(BSTR value) {
  CV_REFUSED_WHILE_RUNNING;
  s_.serverName = InText(value);
  return S_OK;
}

HRESULT CHttpServer::get_ServerPort(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.serverPort, value);
}

HRESULT CHttpServer::put_ServerPort(int32_t value) {
  CV_OCX_ENTRY;
  // Negative ports are refused like those above the range.
  if (value < 0 || value > 65535) return ocx::kCtlErrorInvalidPropertyValue;
  s_.serverPort = value;
  return S_OK;
}

HRESULT CHttpServer::get_ServerUuid(BSTR* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    char text[40] = {};
    if (!HttpServerGetUuid(server_.load(), text)) return PropertyFailure();
    s_.serverUuid = Widen(text);
  }
  return OutText(s_.serverUuid, value);
}

HRESULT CHttpServer::put_ServerUuid(BSTR value) {
  CV_REFUSED_WHILE_RUNNING;
  const std::string uuid = CanonicalUuid(ocx::Utf16ToUtf8(InText(value)));
  if (uuid.empty()) return ocx::kCtlErrorInvalidPropertyValue;
  s_.serverUuid = Widen(uuid.c_str());
  return S_OK;
}

HRESULT CHttpServer::get_StackSize(int32_t* value) {
  CV_HTTPSRV_RUN_MODE_ONLY;
  return OutLong(s_.stackSize, value);
}

HRESULT CHttpServer::put_StackSize(int32_t value) {
  CV_OCX_ENTRY;
  value = value == 0 ? 524288 : Clamp(value, 262144, 8388608);
  if (Running() && !HttpServerSetStackSize(server_.load(), uint32_t(value))) return PropertyFailure();
  s_.stackSize = value;
  return S_OK;
}

}  // namespace httpsrvctl
