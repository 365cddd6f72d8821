// The headers of the message object: one property per common header, generic access by
// name, the Date header with its zone handling, the default domain, the address parser and
// the recipient list that SendMessage delivers to.
#include <stdlib.h>
#include <strings.h>
#include <time.h>

#include <cstdio>
#include <cstring>

#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"
#include "mime/mime.h"

namespace mailctl {
namespace {

constexpr int32_t kCurrentPart = -1;

// Headers that carry an address list: some mailers spread one over repeated lines, and the
// recipient list counts them all. They read as one list, and a write replaces every line.
bool IsAddressList(const char* name) { return strcasecmp(name, "To") == 0 || strcasecmp(name, "Cc") == 0; }

}  // namespace

std::u16string CInternetMail::GetHeaderValue(const char* name, int32_t part, HRESULT* hr) {
  *hr = AutoInitialize();
  if (FAILED(*hr) || message_ == kInvalidLibHandle) return {};
  const auto read = IsAddressList(name) ? MimeGetPartHeaderList : MimeGetPartHeader;
  const int32_t length = read(message_, part, name, nullptr, 0);
  if (length < 0) {
    *hr = Raise(MimeError(), true, false);
    return {};
  }
  if (length == 0) return {};
  std::string value(size_t(length) + 1, '\0');
  const int32_t n = read(message_, part, name, value.data(), length + 1);
  if (n < 0) {
    *hr = Raise(MimeError(), true, false);
    return {};
  }
  value.resize(size_t(n));
  return plat::ToUtf16(value);
}

HRESULT CInternetMail::SetHeaderValue(const char* name, const std::string& value, int32_t part) {
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureMessage()) return Raise(MimeError(), true, false);
  // Several lines of an address list all go, so that the header reads as written; a single
  // one is replaced in place.
  if (IsAddressList(name) &&
      MimeGetPartHeaderList(message_, part, name, nullptr, 0) != MimeGetPartHeader(message_, part, name, nullptr, 0))
    while (MimeGetPartHeader(message_, part, name, nullptr, 0) > 0)
      if (!MimeSetPartHeader(message_, part, name, "")) return Raise(MimeError(), true, false);
  if (!MimeSetPartHeader(message_, part, name, value.c_str())) return Raise(MimeError(), true, false);
  recipientsBuilt_ = false;
  s_.complete = true;
  return S_OK;
}

HRESULT CInternetMail::HeaderProperty(const char* name, int32_t part, BSTR* value) {
  CV_RUN_MODE_ONLY;
  HRESULT hr = S_OK;
  const std::u16string text = GetHeaderValue(name, part, &hr);
  if (FAILED(hr)) return hr;
  return Out(text, value);
}

HRESULT CInternetMail::PutHeaderProperty(const char* name, BSTR value, int32_t part) {
  CV_OCX_ENTRY;
  return SetHeaderValue(name, Utf8(value), part);
}

#define CV_MAIL_HEADER_PROPERTY(Name, header, part)                                        \
  HRESULT CInternetMail::get_##Name(BSTR* value) { return HeaderProperty(header, part, value); } \
  HRESULT CInternetMail::put_##Name(BSTR value) { return PutHeaderProperty(header, value, part); }

CV_MAIL_HEADER_PROPERTY(From, "From", 0)
CV_MAIL_HEADER_PROPERTY(To, "To", 0)
CV_MAIL_HEADER_PROPERTY(Cc, "Cc", 0)
CV_MAIL_HEADER_PROPERTY(Subject, "Subject", 0)
CV_MAIL_HEADER_PROPERTY(ReplyTo, "Reply-To", 0)
CV_MAIL_HEADER_PROPERTY(Organization, "Organization", 0)
CV_MAIL_HEADER_PROPERTY(Mailer, "X-Mailer", 0)
CV_MAIL_HEADER_PROPERTY(Priority, "X-Priority", 0)
CV_MAIL_HEADER_PROPERTY(ContentType, "Content-Type", kCurrentPart)
CV_MAIL_HEADER_PROPERTY(Encoding, "Content-Transfer-Encoding", kCurrentPart)
CV_MAIL_HEADER_PROPERTY(ContentID, "Content-ID", kCurrentPart)

HRESULT CInternetMail::get_MessageID(BSTR* value) { return HeaderProperty("Message-ID", 0, value); }

HRESULT CInternetMail::get_ReturnReceipt(BSTR* value) { return HeaderProperty("Disposition-Notification-To", 0, value); }

HRESULT CInternetMail::put_ReturnReceipt(BSTR value) {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const std::string text = Utf8(value), domain = Utf8(domain_);
  char address[256] = "";
  if (MimeParseAddress(text.c_str(), OrNull(domain), address, sizeof address) < 0) return Raise(MimeError(), true, false);
  return SetHeaderValue("Disposition-Notification-To", address, 0);
}

HRESULT CInternetMail::get_Date(BSTR* value) {
  CV_RUN_MODE_ONLY;
  HRESULT hr = S_OK;
  std::string text = Utf8(GetHeaderValue("Date", 0, &hr));
  if (FAILED(hr)) return hr;
  if (text.size() > 127) text.resize(127);
  uint32_t time = 0;
  int32_t zone = 0;
  char formatted[128] = "";
  if (!text.empty() && MimeParseDate(text.c_str(), localize_ ? 1 : 0, &time, &zone) > 0 &&
      MimeFormatDate(time, zone, formatted, sizeof formatted))
    text = formatted;
  return OutUtf8(text, value);
}

HRESULT CInternetMail::put_Date(BSTR value) {
  CV_OCX_ENTRY;
  const std::string text = Utf8(value);
  if (text.empty()) return SetHeaderValue("Date", "", 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  uint32_t time = 0;
  int32_t zone = 0;
  char formatted[128] = "";
  if (MimeParseDate(text.c_str(), localize_ ? 1 : 0, &time, &zone) <= 0 ||
      !MimeFormatDate(time, zone, formatted, sizeof formatted))
    return Raise(MimeError(), true, false);
  return SetHeaderValue("Date", formatted, 0);
}

HRESULT CInternetMail::get_Bcc(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  return Out(s_.bcc, value);
}

HRESULT CInternetMail::put_Bcc(BSTR value) {
  CV_OCX_ENTRY;
  In(s_.bcc, value);
  recipientsBuilt_ = false;
  return S_OK;
}

HRESULT CInternetMail::get_Domain(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(domain_, value);
}

HRESULT CInternetMail::put_Domain(BSTR value) {
  CV_OCX_ENTRY;
  if (!IsRunMode()) return ocx::kCtlErrorGetNotSupported;
  In(domain_, value);
  return S_OK;
}

HRESULT CInternetMail::get_Localize(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(localize_, value);
}

HRESULT CInternetMail::put_Localize(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  localize_ = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT CInternetMail::get_TimeZone(int32_t* value) {
  CV_RUN_MODE_ONLY;
  tzset();
  return Out(int32_t(timezone), value);
}

HRESULT CInternetMail::put_TimeZone(int32_t value) {
  CV_OCX_ENTRY;
  // The C library re-reads TZ for every local time, so the offset goes there as a fixed
  // zone (seconds west, as TZ counts them) without daylight saving.
  const int32_t magnitude = value < 0 ? -value : value;
  char zone[48];
  std::snprintf(zone, sizeof zone, "<%c%02d%02d>%c%d:%02d:%02d", value <= 0 ? '+' : '-', magnitude / 3600,
                magnitude / 60 % 60, value < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60, magnitude % 60);
  setenv("TZ", zone, 1);
  tzset();
  return S_OK;
}

bool CInternetMail::BuildRecipients() {
  if (recipientsBuilt_) return !recipientsFailed_;
  recipients_.clear();
  recipientsBuilt_ = true;
  recipientsFailed_ = true;
  const std::string bcc = Utf8(s_.bcc);
  uint32_t size = 0;
  const int32_t count = MimeGetRecipients(message_, OrNull(bcc), nullptr, &size);
  if (count < 0) return false;
  if (count > 0) {
    std::string list(size, '\0');
    if (MimeGetRecipients(message_, OrNull(bcc), list.data(), &size) < 0) return false;
    for (const char* p = list.c_str(); *p; p += std::strlen(p) + 1) recipients_.emplace_back(p);
  }
  recipientsFailed_ = false;
  return true;
}

HRESULT CInternetMail::get_Recipients(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  return Out(BuildRecipients() ? int32_t(recipients_.size()) : -1, value);
}

HRESULT CInternetMail::get_Recipient(VARIANT index, BSTR* value) {
  CV_RUN_MODE_ONLY;
  int32_t i = 0;
  if (HRESULT hr = IndexArgument(index, &i); FAILED(hr)) return hr;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const bool built = BuildRecipients();
  const int32_t count = built ? int32_t(recipients_.size()) : -1;
  if (i < 0 || i > count) return ocx::kCtlErrorInvalidPropertyIndex;
  return OutUtf8(i < count ? recipients_[size_t(i)] : std::string(), value);
}

HRESULT CInternetMail::get_AllRecipients(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (message_ == kInvalidLibHandle) return Out(std::u16string(), value);
  const std::string bcc = Utf8(s_.bcc);
  const int32_t size = MimeGetAllRecipients(message_, OrNull(bcc), nullptr, 0);
  if (size < 0) return Raise(MimeError(), true, false);
  std::string text(size_t(size) + 1, '\0');
  if (size > 0) {
    const int32_t n = MimeGetAllRecipients(message_, OrNull(bcc), text.data(), size);
    if (n < 0) return Raise(MimeError(), true, false);
    text.resize(size_t(n));
  } else {
    text.clear();
  }
  return OutUtf8(text, value);
}

HRESULT CInternetMail::get_AllHeaders(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (message_ == kInvalidLibHandle) return Out(std::u16string(), value);
  const int32_t length = MimeGetAllHeaders(message_, nullptr, 0);
  if (length < 0) return Raise(MimeError(), true, false);
  std::string text(size_t(length) + 1, '\0');
  const int32_t n = MimeGetAllHeaders(message_, text.data(), length + 1);
  if (n < 0) return Raise(MimeError(), true, false);
  text.resize(size_t(n));
  return OutUtf8(text, value);
}

// --- Methods ---

namespace {

// The by-reference outputs of the header methods must be given.
bool Given(const VARIANT* v) { return v != nullptr; }

}  // namespace

// GetFirstHeader and GetNextHeader: one step of the walk over the current part's headers.
HRESULT CInternetMail::WalkHeaders(bool first, VARIANT* headerField, VARIANT* headerValue, VARIANT* result) {
  CV_OCX_ENTRY;
  if (!Given(headerField) || !Given(headerValue)) return E_INVALIDARG;
  SetBoolResult(result, false);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  char name[128] = "", value[1024] = "";
  const bool found = message_ != kInvalidLibHandle &&
                     (first ? MimeGetFirstHeader(message_, name, value) : MimeGetNextHeader(message_, name, value)) > 0;
  if (!found) name[0] = value[0] = '\0';
  ocx::SetVariantStringA(headerField, name);
  ocx::SetVariantStringA(headerValue, value);
  SetBoolResult(result, found);
  return S_OK;
}

HRESULT CInternetMail::GetFirstHeader(VARIANT* headerField, VARIANT* headerValue, VARIANT* result) {
  return WalkHeaders(true, headerField, headerValue, result);
}

HRESULT CInternetMail::GetNextHeader(VARIANT* headerField, VARIANT* headerValue, VARIANT* result) {
  return WalkHeaders(false, headerField, headerValue, result);
}

HRESULT CInternetMail::GetHeader(VARIANT headerField, VARIANT* headerValue, VARIANT* result) {
  CV_OCX_ENTRY;
  if (!Given(headerValue)) return E_INVALIDARG;
  std::string name;
  if (HRESULT hr = Utf8Argument(headerField, &name, nullptr); FAILED(hr)) return hr;
  SetBoolResult(result, false);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  const std::u16string value = GetHeaderValue(name.c_str(), kCurrentPart, &hr);
  if (FAILED(hr)) return Raise(MimeError(), s_.throwError, true);
  ocx::SetVariantBSTR(headerValue, value.c_str());
  SetBoolResult(result, !value.empty());
  return S_OK;
}

HRESULT CInternetMail::SetHeader(VARIANT headerField, VARIANT headerValue, VARIANT* result) {
  CV_OCX_ENTRY;
  std::string name, value;
  if (HRESULT hr = Utf8Argument(headerField, &name, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(headerValue, &value, nullptr); FAILED(hr)) return hr;
  SetBoolResult(result, false);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (FAILED(SetHeaderValue(name.c_str(), value, kCurrentPart))) return Raise(MimeError(), s_.throwError, true);
  SetBoolResult(result, true);
  return S_OK;
}

HRESULT CInternetMail::DeleteHeader(VARIANT headerField, VARIANT* result) {
  CV_OCX_ENTRY;
  std::string name;
  if (HRESULT hr = Utf8Argument(headerField, &name, nullptr); FAILED(hr)) return hr;
  SetBoolResult(result, false);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (message_ == kInvalidLibHandle) return S_OK;
  if (!MimeDeleteHeader(message_, name.c_str())) return Raise(MimeError(), s_.throwError, true);
  recipientsBuilt_ = false;
  SetBoolResult(result, true);
  return S_OK;
}

HRESULT CInternetMail::ParseAddress(VARIANT address, VARIANT* parsedAddress) {
  CV_OCX_ENTRY;
  if (!Given(parsedAddress)) return E_INVALIDARG;
  std::string text;
  if (HRESULT hr = Utf8Argument(address, &text, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  std::string parsed;
  if (!text.empty()) {
    const std::string domain = Utf8(domain_);
    std::string buffer(text.size() + 128, '\0');
    const int32_t n = MimeParseAddress(text.c_str(), OrNull(domain), buffer.data(), int32_t(buffer.size()));
    if (n >= 0) parsed.assign(buffer.c_str());
  }
  ocx::SetVariantStringA(parsedAddress, parsed.c_str());
  return S_OK;
}

}  // namespace mailctl
