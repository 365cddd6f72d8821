// Composing a new message from sender, recipients, subject, plain text and HTML.
#include <mutex>
#include <new>

#include "mime/mime_internal.h"

namespace cvmime {

namespace {

constexpr const char* kPreamble = "This is a multipart message in MIME format.\r\n";

// The composer's texts are the caller's plain texts: they are stored as given (never taken
// for already-encoded text), and export encodes them.
bool StoreText(MimeMessage& m, MimePart& part, const char* text) {
  if (!text || !*text) return true;
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

bool Optional(MimeMessage& m, const char* name, const char* value) {
  return !value || !*value || SetPartHeaderValue(m, *m.parts[0], name, value);
}

int32_t AddTextPart(MimeMessage& m, uint32_t charset, uint32_t encoding, const char* text) {
  int32_t index;
  {
    std::lock_guard lk(Library().lock());
    index = AddPartLocked(m);
  }
  if (index < 0) return -1;
  MimePart& part = *m.parts[size_t(index)];
  if (!SetPartCharsetOn(m, part, false, charset, encoding) || !StoreText(m, part, text)) return -1;
  return index;
}

bool Compose(MimeMessage& m, const char* from, const char* to, const char* cc, const char* subject, const char* text,
             const char* html, uint32_t charset, uint32_t encoding) {
  MimePart& part0 = *m.parts[0];
  m.composed = true;
  m.defaultCharset = charset;
  m.defaultEncoding = encoding;
  if (!SetPartCharsetOn(m, part0, true, charset, encoding)) return false;
  if (!SetPartHeaderValue(m, part0, "Date", FormatDate(0, -1))) return false;
  if (!Optional(m, "From", from) || !Optional(m, "To", to) || !Optional(m, "Cc", cc) ||
      !Optional(m, "Subject", subject))
    return false;
  const bool hasHtml = html && *html;
  if (!hasHtml) return StoreText(m, part0, text);
  if (text && *text) {
    if (encoding != kMimeEncoding7bit && encoding != kMimeEncoding8bit && encoding != kMimeEncodingQuoted)
      return Fail<bool>(cvErrorInvalidEncodingType, false);
    const std::string boundary = MakeBoundary(&m);
    if (!SetPartCharsetOn(m, part0, true, kMimeCharsetUsAscii, kMimeEncoding7bit) ||
        !SetPartHeaderValue(m, part0, "Content-Type", "multipart/alternative; boundary=\"" + boundary + "\"") ||
        !StoreText(m, part0, kPreamble))
      return false;
    if (AddTextPart(m, charset, encoding, text) < 0) return false;
    const int32_t index = AddTextPart(m, charset, kMimeEncodingQuoted, html);
    return index >= 0 && SetPartHeaderValue(m, *m.parts[size_t(index)], "Content-Type", HtmlType(charset));
  }
  return SetPartCharsetOn(m, part0, true, charset, kMimeEncodingQuoted) &&
         SetPartHeaderValue(m, part0, "Content-Type", HtmlType(charset)) && StoreText(m, part0, html);
}

}  // namespace

}  // namespace cvmime

using namespace cvmime;

LibHandle MimeComposeMessage(const char* from, const char* to, const char* cc, const char* subject, const char* text,
                             const char* html, uint32_t charset, uint32_t encoding) {
  if (charset == 0) charset = kMimeCharsetUtf8;
  if (!MimeCharsetName(charset)) return Fail<LibHandle>(cvErrorInvalidCharacterSet, kInvalidLibHandle);
  if (encoding == 0) encoding = kMimeEncoding8bit;
  if (charset == kMimeCharsetUtf8 || encoding > kMimeEncoding7bit) {
    if (encoding != kMimeEncoding8bit && encoding != kMimeEncodingQuoted && encoding != kMimeEncodingBase64)
      return Fail<LibHandle>(cvErrorInvalidEncodingType, kInvalidLibHandle);
  }
  const LibHandle handle = MimeCreateMessage();
  if (handle == kInvalidLibHandle) return handle;
  MimeMessage* m = GetMessage(handle);
  bool ok = false;
  try {
    ok = m && Compose(*m, from, to, cc, subject, text, html, charset, encoding);
  } catch (const std::bad_alloc&) {
    Library().SetLastError(cvErrorOutOfMemory);
  }
  if (!ok) {
    const uint32_t err = Library().GetLastError();
    MimeDestroyMessage(handle);
    return Fail<LibHandle>(err, kInvalidLibHandle);
  }
  m->currentPart = 0;
  Library().SetLastError(0);
  return handle;
}
