// The properties of the mail-server connection: server, account, timeout, options and
// security settings, the security details of the open session, and the local host.
#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"
#include "pop3/pop3.h"

namespace mailctl {
namespace {

constexpr HRESULT kCtlErrorSetNotSupported = HRESULT(0x800A017F);

HRESULT DateText(const SYSTEMTIME& time, BSTR* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  SYSTEMTIME t = time;
  DATE date = 0;
  if (!SystemTimeToVariantTime(&t, &date)) return Out(std::u16string(), value);
  if (FAILED(VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, value))) return Out(std::u16string(), value);
  return S_OK;
}

}  // namespace

#define CV_MAIL_TEXT_PROPERTY(Name, field)        \
  HRESULT CInternetMail::get_##Name(BSTR* value) { \
    CV_RUN_MODE_ONLY;                             \
    return Out(field, value);                     \
  }                                               \
  HRESULT CInternetMail::put_##Name(BSTR value) { \
    CV_OCX_ENTRY;                                 \
    In(field, value);                             \
    return S_OK;                                  \
  }

CV_MAIL_TEXT_PROPERTY(ServerName, serverName_)
CV_MAIL_TEXT_PROPERTY(UserName, userName_)
CV_MAIL_TEXT_PROPERTY(Password, password_)
CV_MAIL_TEXT_PROPERTY(CertificateName, s_.certificateName)
CV_MAIL_TEXT_PROPERTY(CertificatePassword, s_.certificatePassword)
CV_MAIL_TEXT_PROPERTY(CertificateStore, s_.certificateStore)
CV_MAIL_TEXT_PROPERTY(CertificateUser, s_.certificateUser)
CV_MAIL_TEXT_PROPERTY(RelayServer, relayServer_)

HRESULT CInternetMail::get_ServerPort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.serverPort, value);
}

HRESULT CInternetMail::put_ServerPort(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 65535) return ocx::kCtlErrorInvalidPropertyValue;
  s_.serverPort = value;
  return S_OK;
}

HRESULT CInternetMail::get_ServerType(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.serverType, value);
}

HRESULT CInternetMail::put_ServerType(int32_t value) {
  CV_OCX_ENTRY;
  if (value < kServerDefault || value > kServerImap) return ocx::kCtlErrorInvalidPropertyValue;
  if (Connected()) return Raise(cvErrorAlreadyConnected, true, false);
  s_.serverType = value;
  return S_OK;
}

HRESULT CInternetMail::get_Timeout(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.timeout, value);
}

HRESULT CInternetMail::put_Timeout(int32_t value) {
  CV_OCX_ENTRY;
  s_.timeout = value;
  return S_OK;
}

HRESULT CInternetMail::get_Options(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(s_.options), value);
}

HRESULT CInternetMail::put_Options(int32_t value) {
  CV_OCX_ENTRY;
  s_.options = uint32_t(value);
  return S_OK;
}

HRESULT CInternetMail::get_Secure(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.secure, value);
}

HRESULT CInternetMail::put_Secure(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  if (value != VARIANT_FALSE && s_.secureProtocol == 0) s_.secureProtocol = 16;
  s_.secure = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT CInternetMail::get_SecureProtocol(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (Connected()) return Out(int32_t(s_.security.protocol), value);
  return Out(s_.secure ? int32_t(s_.secureProtocol) : 0, value);
}

HRESULT CInternetMail::put_SecureProtocol(int32_t value) {
  CV_OCX_ENTRY;
  if (Connected()) return Raise(cvErrorAlreadyConnected, true, false);
  s_.secureProtocol = uint32_t(value);
  s_.secure = value != 0;
  return S_OK;
}

// The security details read as 0 or empty without a connection.
#define CV_MAIL_SECURITY_NUMBER(Name, field)         \
  HRESULT CInternetMail::get_##Name(int32_t* value) { \
    CV_RUN_MODE_ONLY;                                \
    return Out(Connected() ? int32_t(field) : 0, value); \
  }

CV_MAIL_SECURITY_NUMBER(SecureCipher, s_.security.cipher)
CV_MAIL_SECURITY_NUMBER(CipherStrength, s_.security.cipherStrength)
CV_MAIL_SECURITY_NUMBER(SecureHash, s_.security.hash)
CV_MAIL_SECURITY_NUMBER(HashStrength, s_.security.hashStrength)
CV_MAIL_SECURITY_NUMBER(SecureKeyExchange, s_.security.keyExchange)
CV_MAIL_SECURITY_NUMBER(CertificateStatus, s_.security.certificateStatus)

HRESULT CInternetMail::get_CertificateIssued(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected() || !s_.security.hasDates) return Out(std::u16string(), value);
  return DateText(s_.security.validFrom, value);
}

HRESULT CInternetMail::get_CertificateExpires(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected() || !s_.security.hasDates) return Out(std::u16string(), value);
  return DateText(s_.security.validTo, value);
}

HRESULT CInternetMail::get_CertificateIssuer(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return OutUtf8(Connected() ? s_.security.issuer : std::string(), value);
}

HRESULT CInternetMail::get_CertificateSubject(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return OutUtf8(Connected() ? s_.security.subject : std::string(), value);
}

HRESULT CInternetMail::get_Encrypted(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(0), value);
}

HRESULT CInternetMail::put_Encrypted(int32_t value) {
  CV_OCX_ENTRY;
  return value == 0 ? S_OK : ocx::kCtlErrorInvalidPropertyValue;
}

HRESULT CInternetMail::get_IsBlocked(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  bool blocked = s_.busy;
  if (!blocked && Connected()) {
    if (Imap()) {
      ImapLock();
      if (ImapSession* s = ImapFindSession(server_)) blocked = s->busy.load() != 0;
      ImapUnlock();
    } else {
      Pop3Lock();
      if (Pop3Session* s = Pop3FindSession(server_)) blocked = s->busy.load() != 0;
      Pop3Unlock();
    }
  }
  return OutBool(blocked, value);
}

HRESULT CInternetMail::get_IsConnected(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(Connected(), value);
}

HRESULT CInternetMail::get_LocalAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  SockAddress address{};
  char text[64] = "";
  // Only a POP3 session has a socket this call can read; otherwise the host's address.
  const LibHandle session = Connected() && !Imap() ? server_ : kInvalidLibHandle;
  if (Pop3GetLocalAddress(session, &address) > 0)
    SockInetNtop(address.family == 23 ? 23 : 2, address.address, text, sizeof text);
  return OutUtf8(text, value);
}

HRESULT CInternetMail::put_LocalAddress(BSTR) {
  CV_OCX_ENTRY;
  return kCtlErrorSetNotSupported;
}

HRESULT CInternetMail::get_LocalName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  char name[128] = "";
  if (SockGetFullHostName(name) < 0) name[0] = '\0';
  return OutUtf8(name, value);
}

}  // namespace mailctl
