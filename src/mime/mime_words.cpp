// RFC 2047 encoded words: encoding header values that hold 8-bit or control bytes, and
// decoding such words for display.
#include <strings.h>

#include <cstring>

#include "mime/mime_internal.h"

namespace {

constexpr size_t kWordMax = 75;        // characters of one encoded word, "=?" to "?=" (RFC 2047)
constexpr size_t kDecodedMax = 1023;   // bytes one decoded word may give

bool IsStructuredDelimiter(char c) noexcept { return std::strchr("()<>[]@,.;: \"\t\n\r", c) && c != '\0'; }

bool NeedsEncoding(std::string_view token) noexcept {
  for (unsigned char c : token)
    if (c < 32 || c > 127) return true;
  return false;
}

// Decodes the payload of a word; false for bad input.
bool DecodePayload(char kind, std::string_view payload, std::string& out) {
  if (kind == 'B' || kind == 'b') {
    if (!cvmime::Base64Decode(payload, out)) return false;
  } else {
    std::string text(payload);
    for (char& c : text)
      if (c == '_') c = ' ';
    if (!cvmime::QpDecode(text, out)) return false;
  }
  if (out.size() > kDecodedMax) out.resize(kDecodedMax);
  return true;
}

// Where the character that starts at bytes[at] ends: a UTF-8 sequence stays whole; in any
// other charset a byte is a character.
size_t CharacterEnd(std::string_view bytes, size_t at, bool utf8) noexcept {
  size_t end = at + 1;
  if (utf8)
    while (end < bytes.size() && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) ++end;
  return end;
}

// Splits the bytes into encoded words of at most 75 characters each, cut only between
// characters, separated by one blank.
void AppendWords(std::string& out, std::string_view bytes, const char* charsetName, char kind, bool utf8) {
  const std::string head = std::string("=?") + charsetName + '?' + kind + '?';
  const size_t room = kWordMax > head.size() + 2 ? kWordMax - head.size() - 2 : 4;
  bool first = true;
  size_t at = 0;
  while (at < bytes.size()) {
    std::string encoded;
    size_t end = at;
    while (end < bytes.size()) {
      const size_t next = CharacterEnd(bytes, end, utf8);
      if (kind == 'B') {
        if ((next - at + 2) / 3 * 4 > room && end > at) break;
        end = next;
      } else {
        std::string piece = cvmime::EncodeDataQ(bytes.substr(end, next - end));
        if (encoded.size() + piece.size() > room && end > at) break;
        encoded += piece;
        end = next;
      }
    }
    if (kind == 'B') encoded = cvmime::EncodeDataB(bytes.substr(at, end - at));
    at = end;
    // Even a word of one character is written: leaving it out would lose that character.
    if (encoded.empty()) continue;
    if (!first) out.push_back(' ');
    first = false;
    out.append(head).append(encoded).append("?=");
  }
}

// An encoded word starting at text[i]: its length, decoded bytes and charset, or 0.
size_t MatchWord(std::string_view text, size_t i, std::string& decoded, std::string_view& charset) {
  if (text.compare(i, 2, "=?") != 0) return 0;
  size_t p = i + 2;
  const size_t charsetStart = p;
  while (p < text.size() && text[p] != '?' && !cvmime::IsWhite(text[p])) ++p;
  if (p == charsetStart || p + 3 > text.size() || text[p] != '?') return 0;
  const char kind = text[p + 1];
  if (!std::strchr("BbQq", kind) || kind == '\0' || text[p + 2] != '?') return 0;
  const size_t payloadStart = p + 3;
  size_t q = payloadStart;
  while (q < text.size() && text[q] != '?' && !cvmime::IsWhite(text[q])) ++q;
  if (q + 1 >= text.size() || text[q] != '?' || text[q + 1] != '=') return 0;
  const size_t length = q + 2 - i;
  if (length <= 9) return 0;
  if (!DecodePayload(kind, text.substr(payloadStart, q - payloadStart), decoded) || decoded.empty()) return 0;
  charset = text.substr(charsetStart, p - charsetStart);
  return length;
}

// Adjacent words of one charset, collected so that a character cut between two words is
// converted whole.
class WordRun {
 public:
  bool Continues(std::string_view charset) const noexcept { return !bytes_.empty() && cvmime::IEquals(charset, charset_); }
  void Add(std::string_view charset, const std::string& decoded) {
    if (bytes_.empty()) charset_.assign(charset);
    bytes_ += decoded;
  }
  void FlushTo(std::string& out) {
    if (bytes_.empty()) return;
    // Hosts read UTF-8: words in another charset are converted (their bytes stay as they
    // are when the charset is unknown or they are not text in it).
    cvmime::ToUtf8(charset_, bytes_);
    // A decoded line break or NUL must not reach a header line built from the display value.
    for (char& c : bytes_)
      if (static_cast<unsigned char>(c) < 32 && c != '\t') c = ' ';
    out += bytes_;
    bytes_.clear();
  }

 private:
  std::string charset_;
  std::string bytes_;
};

}  // namespace

namespace cvmime {

bool EncodeHeaderValue(std::string_view text, uint32_t charset, uint32_t encoding, std::string& out) {
  const char* charsetName = MimeCharsetName(charset);
  if (!charsetName) return false;
  char kind;
  if (encoding == kMimeEncoding8bit)
    kind = charset == kMimeCharsetUtf8 ? 'B' : 'Q';
  else if (encoding == kMimeEncodingQuoted)
    kind = 'Q';
  else if (encoding == kMimeEncodingBase64)
    kind = 'B';
  else
    return false;

  out.clear();
  bool previousEncoded = false;
  std::string between;  // delimiters since the last token
  size_t i = 0;
  while (i < text.size()) {
    if (IsStructuredDelimiter(text[i])) {
      between.push_back(text[i]);
      out.push_back(text[i++]);
      continue;
    }
    size_t end = i;
    while (end < text.size() && !IsStructuredDelimiter(text[end])) ++end;
    const std::string_view token = text.substr(i, end - i);
    i = end;
    if (!NeedsEncoding(token)) {
      out.append(token);
      previousEncoded = false;
      between.clear();
      continue;
    }
    std::string bytes;
    // White space between two encoded words is dropped by decoders: carry it inside.
    if (previousEncoded && !between.empty() && between.find_first_not_of(" \t") == std::string::npos) bytes = between;
    bytes.append(token);
    AppendWords(out, bytes, charsetName, kind, charset == kMimeCharsetUtf8);
    previousEncoded = true;
    between.clear();
  }
  return true;
}

std::string DecodeHeaderValue(std::string_view text, bool /*unstructured*/) {
  // Encoded words are recognised wherever they start (also inside a token or quotes);
  // white space between two decoded words is dropped.
  std::string out;
  out.reserve(text.size());
  std::string pendingWhite;
  bool lastDecoded = false;
  std::string decoded;
  std::string_view charset;
  WordRun run;
  size_t i = 0;
  while (i < text.size()) {
    if (const size_t n = MatchWord(text, i, decoded, charset)) {
      if (!lastDecoded || !run.Continues(charset)) {
        run.FlushTo(out);
        if (!lastDecoded) out.append(pendingWhite);
      }
      pendingWhite.clear();
      run.Add(charset, decoded);
      lastDecoded = true;
      i += n;
    } else if (IsWhite(text[i])) {
      pendingWhite.push_back(text[i++]);
    } else {
      run.FlushTo(out);
      out.append(pendingWhite);
      pendingWhite.clear();
      out.push_back(text[i++]);
      lastDecoded = false;
    }
  }
  run.FlushTo(out);
  out.append(pendingWhite);
  return out;
}

bool IsTextHeaderName(std::string_view name) noexcept {
  static const char* const kStructured[] = {
      "Bcc",         "Cc",           "Date",       "From",          "In-Reply-To",       "Keywords",
      "Message-ID",  "Received",     "References", "Reply-To",      "Resent-Bcc",        "Resent-Cc",
      "Resent-Date", "Resent-From",  "Resent-Message-ID", "Resent-Reply-To", "Resent-Sender", "Resent-To",
      "Return-Path", "Sender",       "To",
  };
  for (const char* n : kStructured)
    if (IEquals(n, name)) return false;
  return true;
}

}  // namespace cvmime

int32_t MimeDecodeWord(uint32_t encoding, const char* text, char* output) {
  if (!text || !output) return cvmime::Library().Finish(cvcore::Status(cvErrorInvalidParameter), 0, -1);
  if (encoding != kMimeEncodingQuoted && encoding != kMimeEncodingBase64) return -1;
  std::string decoded;
  if (!DecodePayload(encoding == kMimeEncodingBase64 ? 'B' : 'Q', text, decoded)) return -1;
  return cvmime::CopyOut(decoded, output, 1024);
}

int32_t MimeEncodeHeaderValue(const char* text, char* output, int32_t room, uint32_t charset, uint32_t encoding) {
  if (!text || !output || room < 1) return 0;
  std::string out;
  if (!cvmime::EncodeHeaderValue(text, charset, encoding, out)) return 0;
  cvmime::CopyOut(out, output, room);  // the output stops where the room runs out
  return 1;
}

int32_t MimeDecodeHeaderValue(const char* text, char* output, int32_t room, int32_t unstructured) {
  if (!text || !output || room < 1) return 0;
  cvmime::CopyOut(cvmime::DecodeHeaderValue(text, unstructured != 0), output, room);
  return 1;
}

int32_t MimeIsTextHeader(const char* name) { return name && !cvmime::IsTextHeaderName(name) ? 0 : 1; }
