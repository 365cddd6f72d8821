// RFC 2047 encoded words: encoding header values that hold 8-bit or control bytes, and
// decoding such words for display.
#include <strings.h>

#include <cstring>

#include "mime/mime_internal.h"

namespace {

constexpr size_t kWordBytes = 511;     // bytes of a token per encoded word
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

// An encoded word starting at text[i]: its length and decoded bytes, or 0.
size_t MatchWord(std::string_view text, size_t i, std::string& decoded) {
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
  // A decoded line break or NUL must not reach a header line built from the display value.
  for (char& c : decoded)
    if (static_cast<unsigned char>(c) < 32 && c != '\t') c = ' ';
  return length;
}

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
    if (previousEncoded && between.size() == 1 && (between[0] == ' ' || between[0] == '\t')) bytes = between;
    bytes.append(token);
    bool first = true;
    for (size_t at = 0; at < bytes.size(); at += kWordBytes) {
      const std::string_view chunk = std::string_view(bytes).substr(at, kWordBytes);
      const std::string encoded = kind == 'B' ? EncodeDataB(chunk) : EncodeDataQ(chunk);
      if (encoded.size() < 2) continue;
      if (!first) out.push_back(' ');
      first = false;
      out.append("=?").append(charsetName).append(1, '?').append(1, kind).append(1, '?');
      out.append(encoded).append("?=");
    }
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
  size_t i = 0;
  while (i < text.size()) {
    if (const size_t n = MatchWord(text, i, decoded)) {
      if (!lastDecoded) out.append(pendingWhite);
      pendingWhite.clear();
      out.append(decoded);
      lastDecoded = true;
      i += n;
    } else if (IsWhite(text[i])) {
      pendingWhite.push_back(text[i++]);
    } else {
      out.append(pendingWhite);
      pendingWhite.clear();
      out.push_back(text[i++]);
      lastDecoded = false;
    }
  }
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
  if (!text || !output) return cvmime::Fail<int32_t>(cvErrorInvalidParameter, -1);
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
