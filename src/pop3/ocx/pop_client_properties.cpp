// The property accessors of CPopClient.
#include <cstdio>
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/url/sock_address.h"
#include "mail/names/netnames.h"
#include "ocx/client_members.h"
#include "ocx/variant_args.h"
#include "platform/base/last_error.h"
#include "platform/base/time.h"
#include "pop3/ocx/pop_client.h"
#include "pop3/ocx/pop_client_args.h"
#include "pop3/pop3_control.h"

namespace popctl {
namespace {

using ocx::InText;
using ocx::Out;
using ocx::OutBool;

constexpr uint32_t kAddressTextSize = 64;
constexpr uint32_t kHeaderValueSize = 1024;
constexpr HRESULT kReadOnlyWhileConnected = HRESULT(0x800A017F);

// The numeric text of an address, or empty.
std::u16string AddressText(const SockAddress& a) {
  char text[kAddressTextSize] = {};
  if (!SockInetNtop(int32_t(a.family), a.address, text, sizeof text)) return {};
  return FromUtf8(text);
}

// An automation date as the platform writes it, or empty for a time that is not a date.
std::u16string DateText(const SYSTEMTIME& st) {
  DATE date = 0;
  BSTR text = nullptr;
  if (st.wYear == 0 || !plat::SystemTimeToVariantTime(&st, &date) ||
      FAILED(VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &text)))
    return {};
  std::u16string out(text ? text : u"", text ? SysStringLen(text) : 0);
  SysFreeString(text);
  return out;
}

}  // namespace

// Every read accessor but the stock Enabled answers this in design mode.
#define CV_RUN_MODE_ONLY \
  CV_OCX_ENTRY;          \
  if (!IsRunMode()) return ::ocx::kCtlErrorGetNotSupported

// A number of the server's security information: 0 without a session.
#define CV_SECURITY_PROPERTY(Name, field)                                       \
  HRESULT CPopClient::get_##Name(int32_t* value) {                              \
    CV_RUN_MODE_ONLY;                                                           \
    return Out(HasSession() ? int32_t(security_.info.field) : int32_t(0), value); \
  }

HRESULT CPopClient::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CPopClient::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

CV_CLIENT_BOOL_PROPERTY(CPopClient, AutoResolve, autoResolve)
CV_CLIENT_BOOL_PROPERTY(CPopClient, ThrowError, throwError)
CV_CLIENT_TEXT_PROPERTY(CPopClient, CertificateName, certificateName)
CV_CLIENT_TEXT_PROPERTY(CPopClient, CertificatePassword, certificatePassword)
CV_CLIENT_TEXT_PROPERTY(CPopClient, CertificateStore, certificateStore)
CV_CLIENT_TEXT_PROPERTY(CPopClient, CertificateUser, certificateUser)
CV_CLIENT_TEXT_PROPERTY(CPopClient, HeaderField, headerField)
CV_CLIENT_TEXT_PROPERTY(CPopClient, Password, password)
CV_CLIENT_TEXT_PROPERTY(CPopClient, UserName, userName)
CV_SECURITY_PROPERTY(CertificateStatus, certificateStatus)
CV_SECURITY_PROPERTY(CipherStrength, cipherStrength)
CV_SECURITY_PROPERTY(HashStrength, hashStrength)
CV_SECURITY_PROPERTY(SecureCipher, cipher)
CV_SECURITY_PROPERTY(SecureHash, hash)
CV_SECURITY_PROPERTY(SecureKeyExchange, keyExchange)

HRESULT CPopClient::get_AuthType(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.authType, value);
}

HRESULT CPopClient::put_AuthType(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 1) return ocx::kCtlErrorInvalidPropertyValue;
  s_.authType = value;
  return S_OK;
}

HRESULT CPopClient::get_Blocking(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.blocking, value);
}

HRESULT CPopClient::put_Blocking(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  const bool blocking = value != VARIANT_FALSE;
  if (HasSession()) {
    if (!blocking && !Window()) return ocx::kCtlErrorInvalidPropertyValue;
    // Blocking: the socket leaves the window and only the synchronous events stay; else the
    // socket reports connect, close and read too.
    if (blocking && Pop3SelectEvents(handle_, nullptr, 0) != 0) return Raise();
    if (Pop3RegisterEvents(handle_, Window(), kLibraryNotifyMessage, blocking ? 0xFFFFFFF0u : 0xFFFFFFFFu) != 0)
      return Raise();
  }
  s_.blocking = blocking;
  return S_OK;
}

// ---- the server's certificate ----

HRESULT CPopClient::get_CertificateExpires(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(HasSession() ? DateText(security_.info.validTo) : std::u16string(), value);
}

HRESULT CPopClient::get_CertificateIssued(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(HasSession() ? DateText(security_.info.validFrom) : std::u16string(), value);
}

HRESULT CPopClient::get_CertificateIssuer(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(HasSession() ? security_.issuer : std::u16string(), value);
}

HRESULT CPopClient::get_CertificateSubject(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(HasSession() ? security_.subject : std::u16string(), value);
}

// ---- session state ----

HRESULT CPopClient::get_Connected(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.connected, value);
}

HRESULT CPopClient::get_IsConnected(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.connected, value);
}

HRESULT CPopClient::get_Handle(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(HasSession() ? int32_t(handle_) : int32_t(-1), value);
}

HRESULT CPopClient::get_IsBlocked(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(HasSession() && Pop3IsBlocked(handle_) == 1, value);
}

HRESULT CPopClient::get_IsInitialized(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(IsInitialized(), value);
}

HRESULT CPopClient::get_IsReadable(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(HasSession() && Pop3IsReadable(handle_) == 1, value);
}

HRESULT CPopClient::get_IsWritable(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(HasSession() && Pop3IsWritable(handle_) == 1, value);
}

HRESULT CPopClient::get_State(int32_t* value) {
  CV_RUN_MODE_ONLY;
  const int32_t state = HasSession() ? Pop3GetState(handle_) : 0;
  return Out(state < 0 ? 0 : state, value);
}

HRESULT CPopClient::get_ResultCode(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(HasSession() && Pop3ReadReply(handle_) == 1, value);
}

HRESULT CPopClient::get_ResultString(BSTR* value) {
  CV_RUN_MODE_ONLY;
  char text[kPop3ResultStringSize] = "";
  if (HasSession() && Pop3GetResultString(handle_, text) < 0) return Raise();
  return Out(FromAnsi(text), value);
}

// ---- host properties ----

void CPopClient::SetHost(const std::u16string& host) {
  s_.hostName = host;
  if (host.empty()) return;
  s_.hostAddress.clear();
  if (!IsRunMode()) return;
  if (!IsInitialized()) AutoInitialize();  // a failure shows later, when the name is used
  const uint32_t kept = Pop3GetLastError();
  const std::string name = ocx::Utf16ToUtf8(host);
  SockAddress address{};
  char found[kSockNameBufferSize];
  if (SockParseAddress(name.c_str(), LookupFamily(), &address) > 0) {
    s_.hostAddress = AddressText(address);
    s_.hostName.clear();
    if (s_.autoResolve && SockAddressToHostName(&address, found) >= 0) s_.hostName = FromUtf8(found);
  } else if (s_.autoResolve && SockResolveAddress(name.c_str(), LookupFamily(), &address) > 0) {
    s_.hostAddress = AddressText(address);
  }
  Pop3SetLastError(kept);  // writing HostName never fails
}

HRESULT CPopClient::get_HostName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.hostName, value);
}

HRESULT CPopClient::put_HostName(BSTR value) {
  CV_OCX_ENTRY;
  SetHost(InText(value));
  return S_OK;
}

HRESULT CPopClient::get_HostAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HasSession() && s_.hostAddress.empty() && !s_.hostName.empty()) {
    SockAddress address{};
    if (SockResolveAddress(ocx::Utf16ToUtf8(s_.hostName).c_str(), LookupFamily(), &address) > 0)
      s_.hostAddress = AddressText(address);
  }
  return Out(s_.hostAddress, value);
}

HRESULT CPopClient::put_HostAddress(BSTR value) {
  CV_OCX_ENTRY;
  const std::u16string text = InText(value);
  if (text.empty()) return S_OK;
  s_.hostName.clear();
  if (!IsRunMode()) return S_OK;
  if (!IsInitialized()) AutoInitialize();
  SockAddress address{};
  if (SockParseAddress(ocx::Utf16ToUtf8(text).c_str(), LookupFamily(), &address) <= 0)
    return Raise(cvErrorInvalidAddress);
  s_.hostAddress = AddressText(address);
  char found[kSockNameBufferSize];
  if (s_.autoResolve && SockAddressToHostName(&address, found) >= 0) s_.hostName = FromUtf8(found);
  return S_OK;
}

// ---- errors, tracing and version ----

CV_CLIENT_TRACE_ENTRIES(CPopClient, Pop3)

// ---- mailbox and current message ----

HRESULT CPopClient::get_LastMessage(int32_t* value) {
  CV_RUN_MODE_ONLY;
  uint32_t last = 0;
  if (HasSession() && Pop3GetMailboxStatus(handle_, &last, nullptr) < 0) return Raise();
  return Out(int32_t(last), value);
}

HRESULT CPopClient::get_MailboxSize(int32_t* value) {
  CV_RUN_MODE_ONLY;
  uint32_t size = 0;
  if (HasSession() && Pop3GetMailboxStatus(handle_, nullptr, &size) < 0) return Raise();
  return Out(int32_t(size), value);
}

HRESULT CPopClient::get_MessageCount(int32_t* value) {
  CV_RUN_MODE_ONLY;
  const int32_t count = HasSession() ? Pop3GetMessageCount(handle_) : 0;
  if (count < 0) return Raise();
  return Out(count, value);
}

HRESULT CPopClient::get_Message(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.message, value);
}

HRESULT CPopClient::put_Message(int32_t value) {
  CV_OCX_ENTRY;
  const uint32_t kept = Pop3GetLastError();
  const int32_t count = HasSession() ? Pop3GetMessageCount(handle_) : 0;
  Pop3SetLastError(kept);
  if (value < 1 || value > count) return Raise(cvErrorInvalidMessageNumber);
  if (value != s_.message) ForgetMessage();
  s_.message = value;
  return S_OK;
}

HRESULT CPopClient::get_HeaderValue(BSTR* value) {
  CV_RUN_MODE_ONLY;
  char text[kHeaderValueSize] = {};
  if (HasSession() && !s_.headerField.empty() &&
      Pop3GetHeaderValue(handle_, uint32_t(s_.message), ocx::Utf16ToUtf8(s_.headerField).c_str(), text,
                         sizeof text) < 0)
    return Raise();
  return Out(FromAnsi(text), value);
}

HRESULT CPopClient::get_MessageFrom(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!HasSession()) {
    s_.messageFrom.clear();
  } else if (s_.messageFrom.empty()) {
    char sender[kPop3SenderSize] = {};
    if (Pop3GetMessageSender(handle_, uint32_t(s_.message), sender) < 0) return Raise();
    s_.messageFrom = FromAnsi(sender);
  }
  return Out(s_.messageFrom, value);
}

HRESULT CPopClient::get_MessageSize(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (HasSession() && s_.messageSize == 0) {
    const int32_t size = Pop3GetMessageSize(handle_, uint32_t(s_.message));
    if (size < 0) return Raise();
    s_.messageSize = size;
  }
  return Out(HasSession() ? s_.messageSize : 0, value);
}

HRESULT CPopClient::get_MessageUID(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!HasSession()) {
    s_.messageUid.clear();
  } else if (s_.messageUid.empty()) {
    char uid[kPop3UidSize] = {};
    if (Pop3GetMessageUid(handle_, uint32_t(s_.message), uid, sizeof uid) < 0) return Raise();
    s_.messageUid = FromAnsi(uid);
  }
  return Out(s_.messageUid, value);
}

HRESULT CPopClient::get_NewMessages(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (HasSession()) return Raise(cvErrorOperationNotSupported);
  return Out(int32_t(0), value);
}

HRESULT CPopClient::get_UnreadMessages(int32_t* value) { return get_NewMessages(value); }

// ---- local host and service ----

HRESULT CPopClient::get_LocalAddress(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!IsInitialized()) AutoInitialize();
  SockAddress address{};
  if (Pop3GetLocalAddress(handle_, LookupFamily(), &address, nullptr) < 0) return Raise();
  return Out(AddressText(address), value);
}

HRESULT CPopClient::get_LocalName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!IsInitialized()) AutoInitialize();
  char name[kSockNameBufferSize];
  if (SockGetFullHostName(name) < 0) return RaiseHelperFailure();
  return Out(FromUtf8(name), value);
}

HRESULT CPopClient::get_LocalPort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!IsInitialized()) AutoInitialize();
  uint32_t port = 0;
  if (HasSession() && Pop3GetLocalAddress(handle_, 0, nullptr, &port) < 0) return Raise();
  return Out(int32_t(port), value);
}

HRESULT CPopClient::get_RemotePort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.remotePort, value);
}

HRESULT CPopClient::put_RemotePort(int32_t value) {
  CV_OCX_ENTRY;
  if (HasSession()) return kReadOnlyWhileConnected;
  if (value < 0 || value > 0xFFFF) return ocx::kCtlErrorInvalidPropertyValue;
  s_.remotePort = value;
  return S_OK;
}

HRESULT CPopClient::get_RemoteService(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!IsInitialized()) AutoInitialize();
  char name[kSockNameBufferSize] = {};
  // Port 0 and a port without a name both read as empty.
  if (s_.remotePort != 0 && !SockGetServiceName(uint32_t(s_.remotePort), name)) name[0] = '\0';
  return Out(FromUtf8(name), value);
}

HRESULT CPopClient::put_RemoteService(BSTR value) {
  CV_OCX_ENTRY;
  if (HasSession()) return kReadOnlyWhileConnected;
  if (!IsInitialized()) AutoInitialize();
  const int32_t port = SockGetServicePort(ocx::Utf16ToUtf8(InText(value)).c_str());
  if (port < 0) return RaiseHelperFailure();
  s_.remotePort = port;
  return S_OK;
}

// ---- options and security ----

HRESULT CPopClient::get_Options(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.options, value);
}

HRESULT CPopClient::put_Options(int32_t value) {
  CV_OCX_ENTRY;
  s_.options = value;
  if (value & kPop3OptionSecure) s_.secure = true;
  return S_OK;
}

HRESULT CPopClient::get_Secure(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.secure, value);
}

HRESULT CPopClient::put_Secure(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  const bool secure = value != VARIANT_FALSE;
  if (secure) {
    if (!SecLoadProvider()) return Raise(cvErrorSecurityNotInitialized);
    s_.options |= kPop3OptionSecure;
    if (s_.secureProtocol == 0) s_.secureProtocol = kProtocolTls12;
  } else {
    s_.options &= ~kPop3OptionSecure;
  }
  s_.secure = secure;
  return S_OK;
}

HRESULT CPopClient::get_SecureProtocol(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (HasSession()) return Out(int32_t(security_.info.protocol), value);
  return Out((s_.options & kPop3OptionSecure) ? s_.secureProtocol : int32_t(0), value);
}

HRESULT CPopClient::put_SecureProtocol(int32_t value) {
  CV_OCX_ENTRY;
  if (HasSession()) return Raise(cvErrorAlreadyConnected);
  s_.secureProtocol = value;
  if (value != 0) s_.options |= kPop3OptionSecure;
  else s_.options &= ~kPop3OptionSecure;
  s_.secure = value != 0;
  return S_OK;
}

// ---- timeout ----

HRESULT CPopClient::get_Timeout(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (HasSession()) {
    const int32_t seconds = Pop3GetTimeout(handle_);
    if (seconds < 0) return Raise();
    s_.timeout = seconds;
  }
  return Out(s_.timeout, value);
}

HRESULT CPopClient::put_Timeout(int32_t value) {
  CV_OCX_ENTRY;
  s_.timeout = value;
  if (HasSession() && Pop3SetTimeout(handle_, value < 0 ? 0u : uint32_t(value)) != 0) return Raise();
  return S_OK;
}

}  // namespace popctl
