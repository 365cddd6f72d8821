// The properties of the message object as a whole: its text, the body and index of the
// current part, the part count, the content length and the attachment name.
#include <cstring>

#include "core/errors/error_codes.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"
#include "mime/mime.h"

namespace mailctl {

uint32_t CInternetMail::ExportOptions(uint32_t options) const {
  return ((options & kOptionAllHeaders) ? kMimeExportAllHeaders : 0) |
         ((options & kOptionKeepOrder) ? kMimeExportStoredOrder : 0);
}

plat::HGLOBAL CInternetMail::ExportMessageBlock(uint32_t exportOptions, uint32_t* length) {
  plat::HGLOBAL block = nullptr;
  *length = 0;
  if (!MimeExportMessage(message_, kMimeExportGlobal, exportOptions, nullptr, &block, length)) {
    if (block) plat::GlobalFree(block);
    return nullptr;
  }
  return block;
}

HRESULT CInternetMail::get_Message(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (message_ == kInvalidLibHandle || !s_.complete) return Out(std::u16string(), value);
  uint32_t length = 0;
  plat::UniqueGlobal block(ExportMessageBlock(ExportOptions(s_.options), &length));
  if (!block) return Raise(MimeError(), true, false);
  const char* text = static_cast<const char*>(plat::GlobalLock(block.get()));
  const std::string copy(text ? text : "", text ? length : 0);
  plat::GlobalUnlock(block.get());
  return OutUtf8(copy, value);
}

HRESULT CInternetMail::put_Message(BSTR value) {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const std::string text = Utf8(value);
  const bool ready = message_ == kInvalidLibHandle ? EnsureMessage() : MimeResetMessage(message_) != 0;
  recipientsBuilt_ = false;
  s_.complete = false;
  if (!ready) return Raise(MimeError(), true, false);
  const bool parsed = text.empty() || MimeParseMessage(message_, text.c_str(), int32_t(text.size())) != 0;
  const uint32_t code = parsed ? 0 : MimeError();
  // A message with more parts than the limit was taken whole: it stays readable, and the
  // limit is reported.
  if (!parsed && code != cvErrorInvalidMessagePart) return Raise(code, true, false);
  s_.bcc.clear();
  s_.complete = true;
  return parsed ? S_OK : Raise(code, true, false);
}

HRESULT CInternetMail::get_MessageText(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (message_ == kInvalidLibHandle) return Out(std::u16string(), value);
  const int32_t length = MimeGetContentLength(message_);
  if (length < 0) return Raise(MimeError(), true, false);
  if (length == 0) return Out(std::u16string(), value);
  std::string text(size_t(length) + 1, '\0');
  const int32_t n = MimeGetText(message_, text.data(), length);
  if (n < 0) return Raise(MimeError(), true, false);
  text.resize(size_t(n));
  return OutUtf8(text, value);
}

HRESULT CInternetMail::put_MessageText(BSTR value) {
  CV_OCX_ENTRY;
  const std::string text = Utf8(value);
  if (!EnsureMessage()) return Raise(MimeError(), true, false);
  if (!text.empty()) {
    if (!MimeSetText(message_, 0, text.c_str())) return Raise(MimeError(), true, false);
    s_.complete = true;
  } else {
    if (!MimeClearText(message_)) return Raise(MimeError(), true, false);
    s_.complete = false;
  }
  return S_OK;
}

HRESULT CInternetMail::get_MessagePart(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(message_ == kInvalidLibHandle ? 0 : MimeGetCurrentPart(message_), value);
}

HRESULT CInternetMail::put_MessagePart(int32_t value) {
  CV_OCX_ENTRY;
  if (!EnsureMessage() || MimeSelectPart(message_, value) < 0) return Raise(MimeError(), true, false);
  return S_OK;
}

HRESULT CInternetMail::get_MessageParts(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(message_ == kInvalidLibHandle ? 0 : MimeGetPartCount(message_), value);
}

HRESULT CInternetMail::get_ContentLength(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(message_ == kInvalidLibHandle ? -1 : MimeGetContentLength(message_), value);
}

HRESULT CInternetMail::get_MessageDigest(BSTR*) {
  CV_OCX_ENTRY;
  return ocx::kCtlErrorGetNotSupported;
}

HRESULT CInternetMail::get_Attachment(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  char name[260] = "";
  if (message_ == kInvalidLibHandle || MimeGetAttachmentName(message_, name, sizeof name) <= 0) name[0] = '\0';
  return OutUtf8(name, value);
}

}  // namespace mailctl
