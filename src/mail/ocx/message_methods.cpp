// The methods that build, load, store and take apart the message object: composing,
// parts, appending and parsing text, import and export, attachments.
#include "core/errors/error_codes.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"
#include "mime/mime.h"

namespace mailctl {
namespace {


}  // namespace

// The end of a message-object method that failed in the MIME library.
#define CV_MIME_FAIL(error) Fail(error, MimeError())

HRESULT CInternetMail::ComposeMessage(VARIANT from, VARIANT to, VARIANT cc, VARIANT bcc, VARIANT subject,
                                      VARIANT messageText, VARIANT messageHtml, VARIANT characterSet,
                                      VARIANT encodingType, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string fromText, toText, ccText, subjectText, text, html;
  std::u16string bccText;
  uint32_t charset = 0, encoding = 0;
  if (HRESULT hr = Utf8Argument(from, &fromText, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(to, &toText, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(cc, &ccText); FAILED(hr)) return hr;
  if (HRESULT hr = TextArgument(bcc, &bccText); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(subject, &subjectText); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(messageText, &text); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(messageHtml, &html); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(characterSet, &charset, kMimeCharsetUtf8); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(encodingType, &encoding, charset == kMimeCharsetUsAscii ? kMimeEncoding7bit
                                                                                            : kMimeEncodingQuoted);
      FAILED(hr))
    return hr;
  s_.bcc = bccText;  // never part of the message: SendMessage adds it to the recipients
  recipientsBuilt_ = false;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const LibHandle composed = MimeComposeMessage(fromText.c_str(), toText.c_str(), ccText.c_str(), subjectText.c_str(),
                                                OrNull(text), OrNull(html), charset, encoding);
  if (composed == kInvalidLibHandle) return CV_MIME_FAIL(error);
  DestroyMessage();
  message_ = composed;
  s_.complete = true;
  return S_OK;
}

HRESULT CInternetMail::CreatePart(VARIANT messageText, VARIANT characterSet, VARIANT encodingType, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string text;
  uint32_t charset = 0, encoding = 0;
  if (HRESULT hr = Utf8Argument(messageText, &text); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(characterSet, &charset); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(encodingType, &encoding); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureMessage() || MimeCreatePart(message_, charset, encoding, OrNull(text)) < 0) return CV_MIME_FAIL(error);
  s_.complete = true;
  return S_OK;
}

HRESULT CInternetMail::DeletePart(VARIANT messagePart, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t part = 0;
  const bool given = !ocx::IsMissingArgument(messagePart);
  if (HRESULT hr = NumberArgument(messagePart, &part); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (message_ == kInvalidLibHandle) return S_OK;
  if (!MimeDeletePart(message_, given ? int32_t(part) : -1)) return CV_MIME_FAIL(error);
  return S_OK;
}

HRESULT CInternetMail::AppendMessage(VARIANT messageText, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string text;
  if (HRESULT hr = Utf8Argument(messageText, &text, nullptr); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureMessage()) return CV_MIME_FAIL(error);
  if (!text.empty()) MimeAppendText(message_, text.c_str());
  return S_OK;
}

HRESULT CInternetMail::ParseMessage(VARIANT messageText, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string text;
  if (HRESULT hr = Utf8Argument(messageText, &text, nullptr); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureMessage()) return CV_MIME_FAIL(error);
  const bool parsed = MimeParseMessage(message_, text.c_str(), int32_t(text.size())) != 0;
  const uint32_t code = parsed ? 0 : MimeError();
  // A message with more parts than the limit was taken whole: it stays readable, and the
  // limit is reported.
  if (!parsed && code != cvErrorInvalidMessagePart) return Fail(error, code);
  recipientsBuilt_ = false;
  s_.complete = true;
  return parsed ? S_OK : Fail(error, code);
}

HRESULT CInternetMail::ImportMessage(VARIANT fileName, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name;
  if (HRESULT hr = Utf8Argument(fileName, &name); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const LibHandle loaded = MimeCreateMessage();
  if (loaded == kInvalidLibHandle) return CV_MIME_FAIL(error);
  const bool read = MimeLoadMessage(loaded, name.c_str()) != 0;
  const uint32_t code = read ? 0 : MimeError();
  // A message with more parts than the limit is loaded whole and kept; the limit is reported.
  if (!read && code != cvErrorInvalidMessagePart) {
    MimeDestroyMessage(loaded);
    return Fail(error, code);
  }
  DestroyMessage();
  message_ = loaded;
  s_.complete = true;
  return read ? S_OK : Fail(error, code);
}

HRESULT CInternetMail::ExportMessage(VARIANT fileName, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name;
  uint32_t opts = 0;
  if (HRESULT hr = Utf8Argument(fileName, &name, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(options, &opts, s_.options); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  uint32_t size = 0;
  if (!MimeExportMessage(message_, kMimeExportFile, ExportOptions(opts), name.c_str(), nullptr, &size))
    return CV_MIME_FAIL(error);
  return S_OK;
}

HRESULT CInternetMail::ClearMessage() {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (message_ != kInvalidLibHandle && !MimeDestroyMessage(message_)) return Raise(MimeError(), s_.throwError, true);
  message_ = kInvalidLibHandle;
  s_.complete = false;
  recipientsBuilt_ = false;
  s_.bcc.clear();
  return S_OK;
}

HRESULT CInternetMail::AttachData(VARIANT buffer, VARIANT length, VARIANT contentName, VARIANT contentType,
                                  VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string data, name, type;
  uint32_t limit = 0, opts = 0;
  if (HRESULT hr = ByteArgument(buffer, &data); FAILED(hr)) return hr;
  const bool limited = !ocx::IsMissingArgument(length);
  if (HRESULT hr = NumberArgument(length, &limit); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(contentName, &name); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(contentType, &type); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(options, &opts); FAILED(hr)) return hr;
  if (limited && limit < data.size()) data.resize(limit);
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  recipientsBuilt_ = false;
  if (!EnsureMessage() ||
      !MimeAttachData(message_, data.data(), int32_t(data.size()), OrNull(name), OrNull(type), opts))
    return CV_MIME_FAIL(error);
  return S_OK;
}

HRESULT CInternetMail::AttachFile(VARIANT fileName, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name;
  uint32_t opts = 0;
  if (HRESULT hr = Utf8Argument(fileName, &name, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(options, &opts); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureMessage() || !MimeAttachFile(message_, name.c_str(), opts)) return CV_MIME_FAIL(error);
  return S_OK;
}

HRESULT CInternetMail::AttachImage(VARIANT fileName, VARIANT contentId, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name, id;
  if (HRESULT hr = Utf8Argument(fileName, &name, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(contentId, &id); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!EnsureMessage() || !MimeAttachImage(message_, name.c_str(), OrNull(id))) return CV_MIME_FAIL(error);
  return S_OK;
}

HRESULT CInternetMail::ExtractFile(VARIANT fileName, VARIANT messagePart, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name;
  uint32_t part = 0;
  const bool given = !ocx::IsMissingArgument(messagePart);
  if (HRESULT hr = Utf8Argument(fileName, &name); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(messagePart, &part); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const int32_t current = MimeGetCurrentPart(message_);
  const int32_t wanted = given ? int32_t(part) : current;
  const bool switched = wanted != current;
  if (switched && MimeSelectPart(message_, wanted) < 0) return CV_MIME_FAIL(error);
  const bool ok = MimeExtractFile(message_, OrNull(name)) != 0;
  const uint32_t code = MimeError();
  if (switched) MimeSelectPart(message_, current);
  if (!ok) return Fail(error, code);
  return S_OK;
}

HRESULT CInternetMail::ExtractAllFiles(VARIANT directory, VARIANT* result) {
  CV_OCX_ENTRY;
  std::string dir;
  if (HRESULT hr = Utf8Argument(directory, &dir); FAILED(hr)) return hr;
  SetErrorArgument(result, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const int32_t written = MimeExtractAllFiles(message_, OrNull(dir));
  if (written < 0) {
    SetErrorArgument(result, -1);
    return Raise(MimeError(), s_.throwError, true);
  }
  SetErrorArgument(result, written);
  return S_OK;
}

HRESULT CInternetMail::FindAttachment(VARIANT fileName, VARIANT* result) {
  CV_OCX_ENTRY;
  std::string name;
  if (HRESULT hr = Utf8Argument(fileName, &name, nullptr); FAILED(hr)) return hr;
  SetErrorArgument(result, 0);
  if (message_ == kInvalidLibHandle) return Raise(cvErrorNoFileAttachment, s_.throwError, true);
  const int32_t part = MimeFindAttachment(message_, name.c_str());
  if (part < 0) return Raise(MimeError(), s_.throwError, true);
  SetErrorArgument(result, part);
  return S_OK;
}

}  // namespace mailctl
