// The property accessors that reach the open session: values read back from the library
// or applied to it at once, results of the last command, transfer statistics, and the
// security information of the connection.
#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "filexfer/ocx/entry_outputs.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/property_helpers.h"
#include "ftp/ftp.h"
#include "http/http.h"
#include "platform/base/utf.h"

namespace filexfer {
namespace {

constexpr uint32_t kOptionIpv6Only = 0x40000;

// A date of the security record as text; a record without the date gives an empty text.
HRESULT OutDate(const SYSTEMTIME& time, BSTR* out) { return Out(DateText(time), out); }

HRESULT OutUtf8(const char* text, BSTR* out) { return Out(plat::ToUtf16(text ? text : ""), out); }

}  // namespace

HRESULT CFileTransfer::get_CertificateExpires(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return SecurityReadable() ? OutDate(s_.security.validTo, value) : Out(std::u16string(), value);
}

HRESULT CFileTransfer::get_CertificateIssued(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return SecurityReadable() ? OutDate(s_.security.validFrom, value) : Out(std::u16string(), value);
}

HRESULT CFileTransfer::get_CertificateIssuer(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!SecurityReadable()) return Out(std::u16string(), value);
  return OutUtf8(Open() ? s_.security.issuer : s_.keptIssuer.c_str(), value);
}

HRESULT CFileTransfer::get_CertificateSubject(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!SecurityReadable()) return Out(std::u16string(), value);
  return OutUtf8(Open() ? s_.security.subject : s_.keptSubject.c_str(), value);
}

HRESULT CFileTransfer::get_Fingerprint(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return OutUtf8(Open() ? s_.security.hostKeyFingerprint : nullptr, value);
}

#define CV_SECURITY_NUMBER(Name, field)                                   \
  HRESULT CFileTransfer::get_##Name(int32_t* value) {                     \
    CV_RUN_MODE_ONLY;                                                     \
    return Out(SecurityReadable() ? int32_t(s_.security.field) : int32_t(0), value);  \
  }
CV_SECURITY_NUMBER(CertificateStatus, certificateStatus)
CV_SECURITY_NUMBER(CipherStrength, cipherStrength)
CV_SECURITY_NUMBER(HashStrength, hashStrength)
CV_SECURITY_NUMBER(SecureCipher, cipher)
CV_SECURITY_NUMBER(SecureHash, hash)
CV_SECURITY_NUMBER(SecureKeyExchange, keyExchange)
#undef CV_SECURITY_NUMBER

HRESULT CFileTransfer::get_ActivePort(int32_t index, int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (index != 0 && index != 1) return ocx::kCtlErrorInvalidPropertyIndex;
  if (FtpOpen() && FtpGetActivePorts(session_, &s_.activePortLow, &s_.activePortHigh) == -1) return RaiseNow();
  return Out(int32_t(index == 0 ? s_.activePortLow : s_.activePortHigh), value);
}

HRESULT CFileTransfer::put_ActivePort(int32_t index, int32_t value) {
  CV_OCX_ENTRY;
  if (FtpOpen() && FtpGetActivePorts(session_, &s_.activePortLow, &s_.activePortHigh) == -1) return RaiseNow();
  if (index != 0 && index != 1) return ocx::kCtlErrorInvalidPropertyIndex;
  (index == 0 ? s_.activePortLow : s_.activePortHigh) = uint32_t(value);
  if (FtpOpen() && FtpSetActivePorts(session_, s_.activePortLow, s_.activePortHigh) == -1) return RaiseNow();
  return S_OK;
}

HRESULT CFileTransfer::get_ChannelMode(int32_t index, int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (index != 0 && index != 1) return ocx::kCtlErrorInvalidPropertyIndex;
  if (!FtpOpen()) return Out(int32_t(0), value);
  const int32_t mode = FtpGetChannelMode(session_, uint32_t(index));
  return mode == -1 ? RaiseNow() : Out(mode, value);
}

HRESULT CFileTransfer::put_ChannelMode(int32_t index, int32_t value) {
  CV_OCX_ENTRY;
  if (index != 0 && index != 1) return ocx::kCtlErrorInvalidPropertyIndex;
  // Nothing is stored: without a session the mode has nowhere to go.
  if (FtpOpen() && FtpSetChannelMode(session_, uint32_t(index), uint32_t(value)) == -1) return RaiseNow();
  return S_OK;
}

HRESULT CFileTransfer::put_Compression(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.compression = value != VARIANT_FALSE;
  if (Open() && s_.serverType == kServerHttp) HttpSetCompression(session_, s_.compression ? 1 : 0);
  return S_OK;
}

HRESULT CFileTransfer::get_DirectoryFormat(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (Open() && s_.serverType != kServerHttp) s_.directoryFormat = FtpGetDirectoryFormat(session_);
  return Out(s_.directoryFormat, value);
}

HRESULT CFileTransfer::put_DirectoryFormat(int32_t value) {
  CV_OCX_ENTRY;
  if (uint32_t(value) > 6) return ocx::kCtlErrorInvalidPropertyValue;
  s_.directoryFormat = value;
  if (FtpOpen()) FtpSetDirectoryFormat(session_, uint32_t(value));
  return S_OK;
}

HRESULT CFileTransfer::get_Encoding(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (FtpOpen()) {
    const int32_t encoding = FtpGetEncoding(session_);
    if (encoding == -1) return RaiseNow();
    s_.encoding = encoding;
  }
  return Out(s_.encoding, value);
}

HRESULT CFileTransfer::put_Encoding(int32_t value) {
  CV_OCX_ENTRY;
  if (uint32_t(value) > 2) return ocx::kCtlErrorInvalidPropertyValue;
  if (!Open()) {
    s_.encoding = value;
  } else if (s_.serverType == kServerFtp) {
    if (FtpSetEncoding(session_, uint32_t(value)) == -1) return RaiseNow();
    s_.encoding = FtpGetEncoding(session_);
  }
  return S_OK;
}

HRESULT CFileTransfer::get_Features(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (FtpOpen()) {
    const uint32_t features = FtpGetFeatures(session_);
    if (features == 0 && kFtpLibrary.getLastError() != 0) return RaiseNow();
    s_.features = features;
  }
  return Out(int32_t(s_.features), value);
}

HRESULT CFileTransfer::put_Features(int32_t value) {
  CV_OCX_ENTRY;
  if (FtpOpen()) {
    kFtpLibrary.setLastError(0);
    if (FtpSetFeatures(session_, uint32_t(value)) == 0 && kFtpLibrary.getLastError() != 0) return RaiseNow();
    s_.features = FtpGetFeatures(session_);
  } else {
    s_.features = uint32_t(value);
  }
  s_.featuresSet = true;
  return S_OK;
}

HRESULT CFileTransfer::put_FileType(int32_t value) {
  CV_OCX_ENTRY;
  s_.fileType = value;
  if (FtpOpen() && FtpSetFileType(session_, uint32_t(value)) == -1) return RaiseNow();
  return S_OK;
}

HRESULT CFileTransfer::get_IsBlocked(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  bool blocked = false;
  if (Open()) blocked = (s_.serverType == kServerFtp ? FtpIsBlocked(session_) : HttpIsBlocked(session_)) > 0;
  return OutBool(blocked, value);
}

HRESULT CFileTransfer::put_Passive(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.passive = value != VARIANT_FALSE;
  if (FtpOpen() && FtpSetPassiveMode(session_, s_.passive ? 1 : 0) == -1) return RaiseNow();
  return S_OK;
}

HRESULT CFileTransfer::get_Priority(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (Open()) {
    const int32_t p = s_.serverType == kServerFtp ? FtpGetPriority(session_) : HttpGetPriority(session_);
    if (p != -1) s_.priority = p;
  }
  return Out(s_.priority, value);
}

HRESULT CFileTransfer::put_Priority(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 4) value = 2;
  if (Open()) {
    const int32_t r = s_.serverType == kServerFtp ? FtpSetPriority(session_, uint32_t(value))
                                                  : HttpSetPriority(session_, uint32_t(value));
    if (r == -1) return RaiseNow();
  }
  s_.priority = value;
  return S_OK;
}

HRESULT CFileTransfer::get_ResultCode(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!Open()) return Out(int32_t(loginReplyCode_), value);
  return Out(s_.serverType == kServerFtp ? FtpReadReply(session_) : HttpGetResultCode(session_), value);
}

HRESULT CFileTransfer::get_ResultString(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!Open()) return Out(std::u16string(), value);
  char text[2048] = {};
  const int32_t r = s_.serverType == kServerFtp ? FtpGetResultString(session_, text, sizeof text)
                                                : HttpGetResultString(session_, text);
  if (r < 0) return RaiseNow();
  return OutUtf8(text, value);
}

HRESULT CFileTransfer::get_ServerDirectory(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (FtpOpen() && FAILED(RefreshServerDirectory())) return RaiseError(0, s_.throwError, true);
  return Out(s_.serverDirectory, value);
}

HRESULT CFileTransfer::put_ServerDirectory(BSTR value) {
  CV_OCX_ENTRY;
  In(s_.serverDirectory, value);
  if (FtpOpen()) return ChangeServerDirectory(ocx::Utf16ToUtf8(s_.serverDirectory));
  return S_OK;
}

HRESULT CFileTransfer::get_System(BSTR* value) {
  CV_RUN_MODE_ONLY;
  char name[128] = {};
  if (FtpOpen() && FtpGetSystemName(session_, name) == -1) name[0] = '\0';
  return OutUtf8(name, value);
}

HRESULT CFileTransfer::get_LocalAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!IsInitialized()) AutoInitialize();
  const uint32_t family = (s_.options & kOptionIpv6Only) ? 23 : 0;
  SockAddress address{};
  const int32_t r = s_.serverType == kServerFtp ? FtpGetLocalAddress(session_, family, &address)
                                                : HttpGetLocalAddress(session_, family, &address);
  if (r == -1) return RaiseNow();
  char text[64] = {};
  SockFormatAddress(&address, text);
  return OutUtf8(text, value);
}

HRESULT CFileTransfer::get_LocalName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!IsInitialized()) AutoInitialize();
  char name[128] = {};
  if (SockGetHostName(name, sizeof name) != 0) {
    CurrentLibrary().setLastError(cvcore::FullErrorCode(SockGetLastError()));
    return RaiseNow();
  }
  return OutUtf8(name, value);
}

// The statistics of the current or last transfer: refreshed from the library while a
// session is open, else those Disconnect kept.
#define CV_TRANSFER_STATISTIC(Type, Name, expression)       \
  HRESULT CFileTransfer::get_##Name(Type* value) {          \
    CV_RUN_MODE_ONLY;                                       \
    if (Open() && !RefreshStatistics()) return RaiseNow();  \
    return Out(Type(expression), value);                    \
  }
CV_TRANSFER_STATISTIC(int32_t, TransferBytes, s_.transferBytes < 0x80000000u ? int32_t(s_.transferBytes) : -1)
CV_TRANSFER_STATISTIC(double, TransferBytesXL, double(s_.transferBytes))
CV_TRANSFER_STATISTIC(int32_t, TransferRate, s_.transferRate)
CV_TRANSFER_STATISTIC(int32_t, TransferTime, s_.transferTime)
#undef CV_TRANSFER_STATISTIC

}  // namespace filexfer
