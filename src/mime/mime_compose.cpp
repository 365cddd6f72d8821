// Composing a new message from sender, recipients, subject, plain text and HTML.
#include <mutex>
#include <new>
#include <utility>

#include "mime/mime_internal.h"

namespace cvmime {

namespace {

constexpr const char* kPreamble = "This is a multipart message in MIME format.\r\n";

// The composer's texts are the caller's plain texts: they are stored as given (never taken
// for already-encoded text), and export encodes them.
Status StoreText(MimeMessage& m, MimePart& part, const char* text) {
  if (!text || !*text) return Status();
  BodyBytes().swap(part.body);
  std::string normalized;
  char previous = '\0';
  for (const char* p = text; *p; ++p) {
    if (*p == '\n' && previous != '\r') normalized.push_back('\r');
    normalized.push_back(*p);
    previous = *p;
  }
  return AppendRaw(m, part, normalized);
}

// The HTML is the caller's text like the plain text: it carries the same charset.
std::string HtmlType(uint32_t charset) { return std::string("text/html; charset=") + MimeCharsetName(charset); }

Status Optional(MimeMessage& m, const char* name, const char* value) {
  return !value || !*value ? Status() : SetPartHeaderValue(m, *m.parts[0], name, value);
}

Result<int32_t> AddTextPart(MimeMessage& m, uint32_t charset, uint32_t encoding, const char* text) {
  Result<int32_t> index = Status();
  {
    std::lock_guard lk(Library().lock());
    index = AddPartLocked(m);
  }
  if (!index.ok()) return index;
  MimePart& part = *m.parts[size_t(index.value())];
  if (const Status set = SetPartCharsetOn(m, part, false, charset, encoding); !set.ok()) return set;
  if (const Status stored = StoreText(m, part, text); !stored.ok()) return stored;
  return index;
}

Status ComposeHeaders(MimeMessage& m, const char* from, const char* to, const char* cc, const char* subject,
                      uint32_t charset, uint32_t encoding) {
  MimePart& part0 = *m.parts[0];
  if (const Status set = SetPartCharsetOn(m, part0, true, charset, encoding); !set.ok()) return set;
  if (const Status date = SetPartHeaderValue(m, part0, "Date", FormatDate(0, -1)); !date.ok()) return date;
  for (const auto& [name, value] : {std::pair{"From", from}, {"To", to}, {"Cc", cc}, {"Subject", subject}})
    if (const Status stored = Optional(m, name, value); !stored.ok()) return stored;
  return Status();
}

// Plain text and HTML: a multipart/alternative message with a part for each.
Status ComposeAlternative(MimeMessage& m, const char* text, const char* html, uint32_t charset, uint32_t encoding) {
  if (encoding != kMimeEncoding7bit && encoding != kMimeEncoding8bit && encoding != kMimeEncodingQuoted)
    return Status(cvErrorInvalidEncodingType);
  MimePart& part0 = *m.parts[0];
  const std::string boundary = MakeBoundary(&m);
  if (const Status set = SetPartCharsetOn(m, part0, true, kMimeCharsetUsAscii, kMimeEncoding7bit); !set.ok())
    return set;
  const Status type =
      SetPartHeaderValue(m, part0, "Content-Type", "multipart/alternative; boundary=\"" + boundary + "\"");
  if (!type.ok()) return type;
  if (const Status preamble = StoreText(m, part0, kPreamble); !preamble.ok()) return preamble;
  if (const Result<int32_t> plain = AddTextPart(m, charset, encoding, text); !plain.ok()) return plain.status();
  const Result<int32_t> index = AddTextPart(m, charset, kMimeEncodingQuoted, html);
  if (!index.ok()) return index.status();
  return SetPartHeaderValue(m, *m.parts[size_t(index.value())], "Content-Type", HtmlType(charset));
}

Status Compose(MimeMessage& m, const char* from, const char* to, const char* cc, const char* subject, const char* text,
               const char* html, uint32_t charset, uint32_t encoding) {
  MimePart& part0 = *m.parts[0];
  m.composed = true;
  m.defaultCharset = charset;
  m.defaultEncoding = encoding;
  if (const Status headers = ComposeHeaders(m, from, to, cc, subject, charset, encoding); !headers.ok()) return headers;
  const bool hasHtml = html && *html;
  if (!hasHtml) return StoreText(m, part0, text);
  if (text && *text) return ComposeAlternative(m, text, html, charset, encoding);
  if (const Status set = SetPartCharsetOn(m, part0, true, charset, kMimeEncodingQuoted); !set.ok()) return set;
  if (const Status type = SetPartHeaderValue(m, part0, "Content-Type", HtmlType(charset)); !type.ok()) return type;
  return StoreText(m, part0, html);
}

}  // namespace

}  // namespace cvmime

using namespace cvmime;

LibHandle MimeComposeMessage(const char* from, const char* to, const char* cc, const char* subject, const char* text,
                             const char* html, uint32_t charset, uint32_t encoding) {
  if (charset == 0) charset = kMimeCharsetUtf8;
  if (!MimeCharsetName(charset))
    return Library().Finish(Status(cvErrorInvalidCharacterSet), kInvalidLibHandle, kInvalidLibHandle);
  if (encoding == 0) encoding = kMimeEncoding8bit;
  if (charset == kMimeCharsetUtf8 || encoding > kMimeEncoding7bit) {
    if (encoding != kMimeEncoding8bit && encoding != kMimeEncodingQuoted && encoding != kMimeEncodingBase64)
      return Library().Finish(Status(cvErrorInvalidEncodingType), kInvalidLibHandle, kInvalidLibHandle);
  }
  const Result<LibHandle> handle = CreateMessage();
  if (!handle.ok()) return Library().Finish(handle, kInvalidLibHandle);
  MimeMessage* m = Library().Lookup(handle.value()).value();
  const Status composed =
      cvcore::OrOutOfMemory([&] { return Compose(*m, from, to, cc, subject, text, html, charset, encoding); }, Failed);
  if (!composed.ok()) {
    Library().FreeSession(handle.value());
    return Library().Finish(composed, kInvalidLibHandle, kInvalidLibHandle);
  }
  m->currentPart = 0;
  return Library().FinishClean(composed, handle.value(), kInvalidLibHandle);
}
