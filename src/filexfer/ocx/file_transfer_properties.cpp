// The property accessors of CFileTransfer that need no open session: stored values, their
// range rules, and the values a control without a connection reports.
#include <cstdio>
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/errors/error_texts.h"
#include "core/trace/trace.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/property_helpers.h"
#include "ftp/ftp_bits.h"
#include "ocx/variant_args.h"

namespace filexfer {
namespace {

constexpr uint32_t kProtocolTls12 = 16;

// Decimal digits at the start of text, like the C library's number reading without a sign.
uint32_t LeadingNumber(std::u16string_view text) {
  uint32_t n = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') break;
    n = n * 10 + uint32_t(c - u'0');
    if (n > 0xFFFFFFFu) break;
  }
  return n;
}

}  // namespace

#define CV_STRING_PROPERTY(Name, field)                                          \
  HRESULT CFileTransfer::get_##Name(BSTR* value) {                               \
    CV_RUN_MODE_ONLY;                                                            \
    return Out(s_.field, value);                                                 \
  }                                                                              \
  HRESULT CFileTransfer::put_##Name(BSTR value) {                                \
    CV_OCX_ENTRY;                                                                \
    In(s_.field, value);                                                         \
    return S_OK;                                                                 \
  }

#define CV_BOOL_PROPERTY(Name, field)                                            \
  HRESULT CFileTransfer::get_##Name(VARIANT_BOOL* value) {                       \
    CV_RUN_MODE_ONLY;                                                            \
    return OutBool(s_.field, value);                                             \
  }                                                                              \
  HRESULT CFileTransfer::put_##Name(VARIANT_BOOL value) {                        \
    CV_OCX_ENTRY;                                                                \
    s_.field = value != VARIANT_FALSE;                                           \
    return S_OK;                                                                 \
  }

#define CV_LONG_PROPERTY(Name, field)                                            \
  HRESULT CFileTransfer::get_##Name(int32_t* value) {                            \
    CV_RUN_MODE_ONLY;                                                            \
    return Out(int32_t(s_.field), value);                                        \
  }                                                                              \
  HRESULT CFileTransfer::put_##Name(int32_t value) {                             \
    CV_OCX_ENTRY;                                                                \
    s_.field = value;                                                            \
    return S_OK;                                                                 \
  }


HRESULT CFileTransfer::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CFileTransfer::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

CV_STRING_PROPERTY(Account, account)
CV_BOOL_PROPERTY(AppendFile, appendFile)
CV_STRING_PROPERTY(CertificateName, certificateName)
CV_STRING_PROPERTY(CertificatePassword, certificatePassword)
CV_STRING_PROPERTY(CertificateStore, certificateStore)
CV_STRING_PROPERTY(CertificateUser, certificateUser)
CV_BOOL_PROPERTY(KeepAlive, keepAlive)
CV_BOOL_PROPERTY(Localize, localize)
CV_STRING_PROPERTY(Password, password)
CV_STRING_PROPERTY(PrivateKey, privateKey)
CV_STRING_PROPERTY(ProxyPassword, proxyPassword)
CV_STRING_PROPERTY(ProxyServer, proxyServer)
CV_STRING_PROPERTY(ProxyUser, proxyUser)
CV_STRING_PROPERTY(Resource, resource)
CV_STRING_PROPERTY(ServerName, serverName)
CV_LONG_PROPERTY(Timeout, timeout)
CV_STRING_PROPERTY(UserName, userName)


HRESULT CFileTransfer::get_Compression(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.compression, value);
}

HRESULT CFileTransfer::get_FileType(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.fileType, value);
}

HRESULT CFileTransfer::get_IsConnected(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(Open(), value);
}

HRESULT CFileTransfer::get_IsInitialized(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(IsInitialized(), value);
}

HRESULT CFileTransfer::get_LastError(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(LastErrorCode() & 0xFFFFu), value);
}

HRESULT CFileTransfer::put_LastError(int32_t value) {
  CV_OCX_ENTRY;
  uint32_t code = value >= 1 && value <= 65535 ? kCvErrorBase | uint32_t(value) : uint32_t(value);
  SetLastErrorCode(code);
  if (s_.serverType != kServerHttp) kFtpLibrary.setLastError(code);
  if (s_.serverType != kServerFtp) kHttpLibrary.setLastError(code);
  return S_OK;
}

HRESULT CFileTransfer::get_LastErrorString(BSTR* value) {
  CV_RUN_MODE_ONLY;
  const uint32_t code = LastErrorCode();
  std::string text;
  if (const char* t = cvcore::ErrorTextFor(code)) text.assign(t, strnlen(t, 511));
  while (!text.empty() && std::strchr("\r\n \t", text.back())) text.pop_back();
  if (text.empty()) {
    char undefined[64];
    std::snprintf(undefined, sizeof undefined, "Undefined control error (0x%08X)", code);
    text = undefined;
  }
  if (!value) return E_POINTER;
  *value = ocx::Utf8ToUtf16(text.c_str());
  return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT CFileTransfer::get_Options(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(s_.options), value);
}

HRESULT CFileTransfer::put_Options(int32_t value) {
  CV_OCX_ENTRY;
  uint32_t options = uint32_t(value);
  if (options & (cvftp::kOptTlsExplicit | cvftp::kOptSftp)) options |= cvftp::kOptTls;
  s_.options = options;
  if (options & cvftp::kOptTls) put_Secure(VARIANT_TRUE);  // nothing here clears Secure
  return S_OK;
}

HRESULT CFileTransfer::get_Passive(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.passive, value);
}

HRESULT CFileTransfer::get_ProtocolVersion(BSTR* value) {
  CV_RUN_MODE_ONLY;
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u", s_.protocolVersion >> 16, s_.protocolVersion & 0xFFFFu);
  if (!value) return E_POINTER;
  *value = ocx::Utf8ToUtf16(text);
  return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT CFileTransfer::put_ProtocolVersion(BSTR value) {
  CV_OCX_ENTRY;
  std::u16string_view text = value ? std::u16string_view(value, SysStringLen(value)) : std::u16string_view();
  size_t dot = text.find(u'.');
  uint32_t major = LeadingNumber(text.substr(0, dot)) & 0xFFFFu;
  uint32_t minor = dot == std::u16string_view::npos ? 0 : LeadingNumber(text.substr(dot + 1)) & 0xFFFFu;
  if (major == 0) minor = 9;  // 0, 0.5 and an empty text all mean 0.9
  s_.protocolVersion = major << 16 | minor;
  return S_OK;
}

HRESULT CFileTransfer::get_ProxyPort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.proxyPort, value);
}

HRESULT CFileTransfer::put_ProxyPort(int32_t value) {
  CV_OCX_ENTRY;
  if (value == 0) {
    s_.proxyPort = 0;
    s_.proxyType = 0;
    return S_OK;
  }
  if (value < 1 || value > 65535) return RaiseError(cvErrorInvalidServicePort, true, false);
  s_.proxyPort = value;
  return S_OK;
}

HRESULT CFileTransfer::get_ProxyType(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.proxyType, value);
}

HRESULT CFileTransfer::put_ProxyType(int32_t value) {
  CV_OCX_ENTRY;
  if (Open() && value != s_.proxyType) return RaiseError(cvErrorAlreadyConnected, true, false);
  if (s_.serverType == kServerFtp && !((value >= 0 && value <= 4) || value == 255))
    return ocx::kCtlErrorInvalidPropertyValue;
  if (s_.serverType == kServerHttp && (value < 0 || value > 3)) return ocx::kCtlErrorInvalidPropertyValue;
  s_.proxyType = value;
  return S_OK;
}

HRESULT CFileTransfer::get_Secure(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.secure, value);
}

HRESULT CFileTransfer::put_Secure(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.secure = value != VARIANT_FALSE;
  if (!s_.secure)
    s_.secureProtocol = 0;
  else if (s_.secureProtocol == 0)
    s_.secureProtocol = kProtocolTls12;
  return S_OK;
}

HRESULT CFileTransfer::get_SecureProtocol(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (Open()) return Out(int32_t(s_.security.protocol), value);
  return Out(int32_t(s_.secure ? s_.secureProtocol : 0), value);
}

HRESULT CFileTransfer::put_SecureProtocol(int32_t value) {
  CV_OCX_ENTRY;
  if (Open()) return RaiseError(cvErrorAlreadyConnected, true, false);
  s_.secureProtocol = uint32_t(value);
  s_.secure = value != 0;
  return S_OK;
}

HRESULT CFileTransfer::get_ServerPort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.serverPort, value);
}

HRESULT CFileTransfer::put_ServerPort(int32_t value) {
  CV_OCX_ENTRY;
  s_.serverPort = value;
  if (s_.serverType == kServerUndefined) {
    if (value == 21 || value == 990) s_.serverType = kServerFtp;
    if (value == 80 || value == 443) s_.serverType = kServerHttp;
  }
  return S_OK;
}

HRESULT CFileTransfer::get_ServerType(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.serverType, value);
}

HRESULT CFileTransfer::put_ServerType(int32_t value) {
  CV_OCX_ENTRY;
  if (value < kServerUndefined || value > kServerHttp) return ocx::kCtlErrorInvalidPropertyValue;
  if (Open() && value != s_.serverType) return RaiseError(cvErrorAlreadyConnected, true, false);
  s_.serverType = value;
  return S_OK;
}

HRESULT CFileTransfer::get_TaskCount(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(tasks_.Count(), value);
}

HRESULT CFileTransfer::get_TaskId(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(tasks_.LastId()), value);
}

HRESULT CFileTransfer::get_TaskList(int32_t index, int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (index < 0 || index >= tasks_.Count()) return ocx::kCtlErrorInvalidPropertyIndex;
  return Out(int32_t(tasks_.At(index)), value);
}

HRESULT CFileTransfer::get_ThrowError(VARIANT_BOOL* value) {
  CV_OCX_ENTRY;  // readable in design mode too
  return OutBool(s_.throwError, value);
}

HRESULT CFileTransfer::put_ThrowError(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.throwError = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT CFileTransfer::get_Trace(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.trace, value);
}

HRESULT CFileTransfer::put_Trace(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.trace = value != VARIANT_FALSE;
  if (IsInitialized()) {
    if (s_.trace)
      StartTrace();
    else
      TraceDisable();
  }
  return S_OK;
}

HRESULT CFileTransfer::get_TraceFile(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.traceFile, value);
}

HRESULT CFileTransfer::put_TraceFile(BSTR value) {
  CV_OCX_ENTRY;
  In(s_.traceFile, value);
  if (IsInitialized() && s_.trace) {
    TraceDisable();
    StartTrace();
  }
  return S_OK;
}

HRESULT CFileTransfer::get_TraceFlags(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.traceFlags, value);
}

HRESULT CFileTransfer::put_TraceFlags(int32_t value) {
  CV_OCX_ENTRY;
  s_.traceFlags = value;
  if (IsInitialized() && s_.trace) {
    TraceDisable();
    StartTrace();
  }
  return S_OK;
}

HRESULT CFileTransfer::get_Version(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (s_.version.empty()) {
    s_.version = ocx::VersionText(Descriptor());
  }
  return Out(s_.version, value);
}

}  // namespace filexfer
