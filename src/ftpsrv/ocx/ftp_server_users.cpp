// Users, programs and the log of a running server.
#include <algorithm>

#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/variant_args.h"

namespace ftpsrvctl {
namespace {

// A required text argument in UTF-8.
HRESULT RequiredUtf8(const VARIANT& arg, std::string* out) {
  if (ocx::IsMissingArgument(arg)) return E_INVALIDARG;
  return OptionalUtf8(arg, u"", out);
}

}  // namespace

HRESULT CFtpServer::AddUser(VARIANT userName, VARIANT password, VARIANT accessFlags, VARIANT directory,
                            VARIANT* error) {
  CV_OCX_ENTRY;
  std::string user, secret, home;
  uint32_t rights = 0;
  if (HRESULT hr = RequiredUtf8(userName, &user); FAILED(hr)) return hr;
  if (HRESULT hr = RequiredUtf8(password, &secret); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUInt(accessFlags, ftpAccessDefault, &rights); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUtf8(directory, u"", &home); FAILED(hr)) return hr;
  SetLongArgument(error, 0);
  const int32_t added = FtpServerAddUser(server_.load(), rights, user.c_str(), secret.c_str(), home.c_str());
  explicit_bzero(secret.data(), secret.size());
  return added ? S_OK : MethodFailure(error);
}

HRESULT CFtpServer::DeleteUser(VARIANT userName, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string user;
  if (HRESULT hr = RequiredUtf8(userName, &user); FAILED(hr)) return hr;
  SetLongArgument(error, 0);
  return FtpServerDeleteUser(server_.load(), user.c_str()) ? S_OK : MethodFailure(error);
}

HRESULT CFtpServer::RegisterProgram(VARIANT commandName, VARIANT programFile, VARIANT parameters, VARIANT directory,
                                    VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name, program, params, folder;
  if (HRESULT hr = RequiredUtf8(commandName, &name); FAILED(hr)) return hr;
  if (HRESULT hr = RequiredUtf8(programFile, &program); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUtf8(parameters, u"", &params); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalUtf8(directory, u"", &folder); FAILED(hr)) return hr;
  SetLongArgument(error, 0);
  return FtpServerRegisterProgram(server_.load(), name.c_str(), program.c_str(), params.c_str(), folder.c_str())
             ? S_OK
             : MethodFailure(error);
}

HRESULT CFtpServer::ApplyLogSettings(const std::u16string& file, bool withFile) {
  if (!Running()) return S_OK;
  const std::string utf8 = ocx::Utf16ToUtf8(file);
  if (!FtpServerSetLogSettings(server_.load(), uint32_t(s_.logFormat), uint32_t(s_.logLevel),
                               withFile ? utf8.c_str() : nullptr))
    return PropertyFailure();
  return S_OK;
}

HRESULT CFtpServer::get_LogFile(BSTR* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    char file[kFtpPathSize] = {};
    if (!FtpServerGetLogSettings(server_.load(), nullptr, nullptr, file, sizeof file)) return PropertyFailure();
    s_.logFile = Widen(file);
  }
  return OutText(s_.logFile, value);
}

HRESULT CFtpServer::put_LogFile(BSTR value) {
  CV_OCX_ENTRY;
  const std::u16string file = InText(value);
  if (Running()) {
    const FtpServerSettings kept = s_;
    if (file.empty()) s_.logFormat = s_.logLevel = 0;
    if (HRESULT hr = ApplyLogSettings(file, true); FAILED(hr)) {
      s_ = kept;
      return hr;
    }
  }
  s_.logFile = file;
  return S_OK;
}

HRESULT CFtpServer::get_LogFormat(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    uint32_t format = 0;
    if (!FtpServerGetLogSettings(server_.load(), &format, nullptr, nullptr, 0)) return PropertyFailure();
    s_.logFormat = int32_t(format & 0xFFFFu);
  }
  return OutLong(s_.logFormat, value);
}

// A running server that refuses the new log settings keeps them unchanged here too.
HRESULT CFtpServer::ApplyOrRestore(int32_t format, int32_t level) {
  const HRESULT hr = ApplyLogSettings(u"", false);
  if (FAILED(hr)) {
    s_.logFormat = format;
    s_.logLevel = level;
  }
  return hr;
}

HRESULT CFtpServer::put_LogFormat(int32_t value) {
  CV_OCX_ENTRY;
  const int32_t format = s_.logFormat, level = s_.logLevel;
  switch (value) {
    case int32_t(ftpLogNone):
      s_.logLevel = 0;
      break;
    case int32_t(ftpLogCommon):
      if (s_.logLevel == 0) s_.logLevel = 1;
      break;
    case int32_t(ftpLogExtended):
      if (s_.logLevel == 0) s_.logLevel = 5;
      break;
    default:
      return ocx::kCtlErrorInvalidPropertyValue;
  }
  s_.logFormat = value;
  return ApplyOrRestore(format, level);
}

HRESULT CFtpServer::get_LogLevel(int32_t* value) {
  CV_FTPSRV_RUN_MODE_ONLY;
  if (Running()) {
    uint32_t level = 0;
    if (!FtpServerGetLogSettings(server_.load(), nullptr, &level, nullptr, 0)) return PropertyFailure();
    s_.logLevel = int32_t(level);
  }
  return OutLong(s_.logLevel, value);
}

HRESULT CFtpServer::put_LogLevel(int32_t value) {
  CV_OCX_ENTRY;
  const int32_t format = s_.logFormat, level = s_.logLevel;
  s_.logLevel = std::clamp(value, 0, 10);
  if (s_.logLevel == 0)
    s_.logFormat = 0;
  else if (s_.logFormat == 0)
    s_.logFormat = int32_t(ftpLogExtended);
  return ApplyOrRestore(format, level);
}

}  // namespace ftpsrvctl
