// SendMessage: one SMTP session per recipient, through the relay server or directly to
// the mail exchangers of the recipient's domain; and the relay and name-server properties.
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "dns/dns.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"
#include "mime/mime.h"
#include "platform/base/heap.h"
#include "smtp/smtp.h"
#include "smtp/smtp_bits.h"

namespace mailctl {
namespace {

constexpr int32_t kMaxExchangers = 32;

// The delivery-status bits of the Options property as the SMTP library counts them.
uint32_t DsnOptions(uint32_t options) {
  uint32_t bits = 0;
  if (options & kOptionNotifySuccess) bits |= kSmtpDsnSuccess;
  if (options & kOptionNotifyFailure) bits |= kSmtpDsnFailure;
  if (options & kOptionNotifyDelay) bits |= kSmtpDsnDelay;
  if (options & kOptionReturnHeaders) bits |= kSmtpDsnReturnHeaders;
  if (options & kOptionReturnMessage) bits |= kSmtpDsnReturnFull;
  return bits;
}

// The addresses of a double-NUL terminated list.
std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> out;
  for (const char* p = list.c_str(); *p; p += std::strlen(p) + 1) out.emplace_back(p);
  return out;
}

// MimeGetRecipients in its two calls; false with the MIME library's error.
bool ReadRecipients(LibHandle message, const char* extra, std::vector<std::string>* out) {
  uint32_t size = 0;
  const int32_t count = MimeGetRecipients(message, extra, nullptr, &size);
  if (count < 0) return false;
  out->clear();
  if (count == 0) return true;
  std::string list(size, '\0');
  if (MimeGetRecipients(message, extra, list.data(), &size) < 0) return false;
  *out = SplitList(list);
  return true;
}

// A global memory block holding text.
plat::HGLOBAL TextBlock(const std::string& text) {
  plat::HGLOBAL block = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, text.size() + 1);
  if (!block) return nullptr;
  if (void* p = plat::GlobalLock(block)) {
    std::memcpy(p, text.data(), text.size());
    plat::GlobalUnlock(block);
  }
  return block;
}

}  // namespace

bool CInternetMail::EnsureResolver() {
  if (resolver_ == kInvalidLibHandle) resolver_ = DnsCreateResolver();
  return resolver_ != kInvalidLibHandle;
}

bool CInternetMail::FireRecipient(const std::string& address) {
  VARIANT cancel{};
  cancel.vt = VT_BOOL;
  cancel.boolVal = VARIANT_FALSE;
  VARIANT vAddress{}, vCancel{};
  vAddress.vt = VT_BSTR;
  vAddress.bstrVal = ocx::Utf8ToUtf16(address.c_str());
  vCancel.vt = VT_BYREF | VT_VARIANT;
  vCancel.pvarVal = &cancel;
  Fire_OnRecipient(vAddress, vCancel);
  SysFreeString(vAddress.bstrVal);
  VARIANT answer{};
  const bool skip = SUCCEEDED(VariantChangeType(&answer, &cancel, 0, VT_BOOL)) && answer.boolVal != VARIANT_FALSE;
  VariantClear(&cancel);
  return skip;
}

LibHandle CInternetMail::ConnectForAddress(const std::string& address, const std::string& domain,
                                           const std::string& relay, uint32_t* stopCode) {
  const uint32_t timeout = uint32_t(s_.timeout);
  if (!relay.empty()) {
    uint32_t options = kSmtpOptionExtended;
    if (s_.secure) options |= kSmtpOptionSecure;
    if (s_.secure && (s_.options & kOptionImplicitSsl)) options |= kSmtpOptionSecureImplicit;
    SecCredentials* credentials = nullptr;
    if (!s_.certificateName.empty() || s_.secureProtocol != 0) {
      const std::string user = Utf8(s_.certificateUser), password = Utf8(s_.certificatePassword),
                        store = Utf8(s_.certificateStore), name = Utf8(s_.certificateName);
      SecCreateCredentials(s_.secureProtocol, user.c_str(), password.c_str(), store.c_str(), name.c_str(),
                           &credentials);
    }
    const LibHandle session = SmtpConnectServer(relay.c_str(), uint32_t(s_.relayPort), timeout, options,
                                                OrNull(domain), credentials);
    if (credentials) SecFreeCredentials(&credentials);
    if (session == kInvalidLibHandle) {
      *stopCode = SmtpGetLastError();
      CanceledWithoutWindow(*stopCode);
    }
    return session;
  }
  const size_t at = address.find('@');
  const std::string target = at != std::string::npos ? address.substr(at + 1) : domain;
  if (target.empty()) return kInvalidLibHandle;  // no domain to deliver to: skipped quietly
  const char* hosts[kMaxExchangers] = {};
  const int32_t count = DnsLookupMx(resolver_, target.c_str(), hosts, kMaxExchangers);
  if (count < 0) {
    Raise(DnsGetLastError(), false, true);
    return kInvalidLibHandle;
  }
  // The host names live in the resolver until its next look-up: copy them first.
  std::vector<std::string> exchangers(hosts, hosts + count);
  exchangers.push_back(target);  // none of them answers: the domain itself
  for (const std::string& host : exchangers) {
    const LibHandle session =
        SmtpConnectServer(host.c_str(), directPort_, timeout, kSmtpOptionExtended, OrNull(domain), nullptr);
    if (session != kInvalidLibHandle) return session;
    if (cvcore::IsCanceled(SmtpGetLastError())) {
      *stopCode = SmtpGetLastError();
      CanceledWithoutWindow(*stopCode);
      return kInvalidLibHandle;
    }
  }
  Raise(SmtpGetLastError(), false, true);
  return kInvalidLibHandle;
}

bool CInternetMail::SendToAddress(const std::string& address, const std::string& sender, const std::string& domain,
                                  const std::string& relay, plat::HGLOBAL block, uint32_t length, uint32_t options,
                                  uint32_t* stopCode) {
  const LibHandle session = ConnectForAddress(address, domain, relay, stopCode);
  if (session == kInvalidLibHandle) return false;
  if (SmtpRegisterEvents(session, Window(), kMsgSmtpNotify, kNotifyMask) < 0) {
    const uint32_t code = SmtpGetLastError();
    SmtpDisconnect(session);
    Raise(code, false, true);
    return false;
  }
  uint32_t extensions = 0;
  const bool known = SmtpGetExtensions(session, &extensions) == 1;
  if (!relay.empty() && (s_.options & kOptionAuthLogin)) {
    std::string user = Utf8(userName_), password = Utf8(password_);
    const int32_t r = SmtpAuthenticate(session, 0, user.c_str(), password.c_str());
    explicit_bzero(password.data(), password.size());
    if (r < 0) {
      *stopCode = SmtpGetLastError();
      SmtpDisconnect(session);
      return false;
    }
  }
  if (known && (extensions & kSmtpExtensionDsn)) SmtpSetDsnOptions(session, DsnOptions(options));
  const bool sent = SmtpSendMessage(session, sender.c_str(), address.c_str(), block, length, kSmtpSourceGlobal) >= 0;
  const uint32_t code = SmtpGetLastError();
  SmtpDisconnect(session);
  if (!sent) {
    // A cancel ends the whole send, reported once by SendMessage.
    if (cvcore::IsCanceled(code)) *stopCode = code;
    else Raise(code, false, true);
    return false;
  }
  VARIANT vAddress{}, vSize{};
  vAddress.vt = VT_BSTR;
  vAddress.bstrVal = ocx::Utf8ToUtf16(address.c_str());
  vSize.vt = VT_I4;
  vSize.lVal = int32_t(length);
  Fire_OnDelivered(vAddress, vSize);
  SysFreeString(vAddress.bstrVal);
  return true;
}

HRESULT CInternetMail::SendMessage(VARIANT senderArg, VARIANT recipientArg, VARIANT messageArg, VARIANT optionsArg,
                                   VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (s_.busy) {
    SetErrorArgument(error, Low16(cvErrorOperationInProgress));
    return Raise(cvErrorOperationInProgress, s_.throwError, true);
  }
  s_.cancel = false;  // a cancel that came while nothing was sent belongs to no send
  std::string sender, recipient, text;
  if (HRESULT hr = Utf8Argument(senderArg, &sender); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(recipientArg, &recipient); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(messageArg, &text); FAILED(hr)) return hr;

  std::vector<std::string> list;
  bool listFromText = false;
  plat::UniqueGlobal block;
  uint32_t length = 0;
  if (!text.empty()) {
    block.reset(TextBlock(text));
    if (!block) return Fail(error, cvErrorConnectionShutdown);
    length = uint32_t(text.size());
    if (sender.empty() || recipient.empty()) {
      const LibHandle parsed = MimeCreateMessage();
      if (parsed != kInvalidLibHandle && MimeParseMessage(parsed, text.c_str(), int32_t(text.size()))) {
        if (sender.empty()) {
          MimeSelectPart(parsed, 0);
          if (const char* from = MimeGetHeader(parsed, "From")) sender = from;
        }
        if (recipient.empty()) listFromText = ReadRecipients(parsed, nullptr, &list);
      }
      if (parsed != kInvalidLibHandle) MimeDestroyMessage(parsed);
    }
  } else {
    block.reset(ExportMessageBlock(kMimeExportStoredOrder, &length));
    if (!block) return Fail(error, MimeError());
  }
  if (length == 0) return Fail(error, cvErrorNoMessageText);
  uint32_t options = 0;
  if (HRESULT hr = NumberArgument(optionsArg, &options, s_.options); FAILED(hr)) return hr;
  if (sender.empty() && message_ != kInvalidLibHandle) {
    HRESULT hr = S_OK;
    sender = Utf8(GetHeaderValue("From", 0, &hr));
  }
  if (sender.empty()) return Fail(error, cvErrorNoReturnAddress);
  if (!listFromText) {
    const std::string bcc = Utf8(s_.bcc);
    if (!recipient.empty())
      ReadRecipients(kInvalidLibHandle, recipient.c_str(), &list);
    else if (message_ != kInvalidLibHandle)
      ReadRecipients(message_, OrNull(bcc), &list);
  }
  if (list.empty()) return Fail(error, cvErrorNoValidRecipients);
  if (!EnsureResolver()) return Fail(error, DnsGetLastError());

  const std::string domain = Utf8(domain_), relay = Utf8(relayServer_);
  SetLastErrorCode(0);
  int delivered = 0;
  uint32_t stopCode = 0;
  for (const std::string& address : list) {
    if (s_.cancel) {
      stopCode = cvErrorOperationCanceled;
      break;
    }
    s_.busy = true;
    if (FireRecipient(address) || s_.cancel) {
      s_.busy = false;
      continue;
    }
    if (SendToAddress(address, sender, domain, relay, block.get(), length, options, &stopCode)) ++delivered;
    s_.busy = false;
    if (stopCode) break;
  }
  s_.busy = false;
  s_.cancel = false;
  if (stopCode) return Fail(error, stopCode);
  if (delivered == 0) return Fail(error, cvErrorMessageNotDelivered);
  return S_OK;
}

HRESULT CInternetMail::get_RelayPort(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.relayPort, value);
}

HRESULT CInternetMail::put_RelayPort(int32_t value) {
  CV_OCX_ENTRY;
  if (value < 0 || value > 65535) return ocx::kCtlErrorInvalidPropertyValue;
  s_.relayPort = value;
  return S_OK;
}

HRESULT CInternetMail::get_NameServer(VARIANT index, BSTR* value) {
  CV_RUN_MODE_ONLY;
  int32_t slot = 0;
  if (HRESULT hr = IndexArgument(index, &slot); FAILED(hr)) return hr;
  if (slot < 0 || slot > 3) return ocx::kCtlErrorInvalidPropertyIndex;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureResolver()) return Raise(DnsGetLastError(), true, false);
  char address[64] = "";
  if (DnsGetNameServer(resolver_, slot, address) <= 0) address[0] = '\0';
  return OutUtf8(address, value);
}

HRESULT CInternetMail::put_NameServer(VARIANT index, BSTR value) {
  CV_OCX_ENTRY;
  int32_t slot = 0;
  if (HRESULT hr = IndexArgument(index, &slot); FAILED(hr)) return hr;
  if (slot < 0 || slot > 3) return E_INVALIDARG;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureResolver()) return Raise(DnsGetLastError(), true, false);
  const std::string text = Utf8(value);
  if (DnsSetNameServer(resolver_, slot, OrNull(text)) < 0) return Raise(DnsGetLastError(), true, false);
  return S_OK;
}

}  // namespace mailctl
