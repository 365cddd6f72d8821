// Text helpers of the protocol: quoted strings, word search, flag lists, numbers and
// literals inside responses, and mailbox names in modified UTF-7.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "imap/imap_internal.h"
#include "platform/base/utf.h"

namespace cvimap {

namespace {

struct FlagRow {
  const char* name;
  uint32_t bit;
};

// Parsed and written in this order.
constexpr FlagRow kFlags[] = {
    {"ANSWERED", kImapFlagAnswered},       {"DRAFT", kImapFlagDraft},       {"FLAGGED", kImapFlagFlagged},
    {"SEEN", kImapFlagSeen},               {"RECENT", kImapFlagRecent},     {"DELETED", kImapFlagDeleted},
    {"NOINFERIORS", kImapFlagNoInferiors}, {"NOSELECT", kImapFlagNoSelect}, {"MARKED", kImapFlagMarked},
    {"UNMARKED", kImapFlagUnmarked},
};

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
constexpr size_t kEncodedNameMax = 511;
constexpr size_t kDecodedUnitsMax = 255;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool WordBoundary(char c) { return c == '\0' || IsSpace(c) || c == '(' || c == ')' || c == '[' || c == ']'; }

int Base64Value(char c) {
  const char* p = c ? std::strchr(kBase64, c) : nullptr;
  return p ? int(p - kBase64) : -1;
}

int32_t Put(const std::string& text, char* buffer, uint32_t size) {
  if (!buffer || size == 0) return 0;
  if (text.size() >= size) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return int32_t(text.size());
}

std::string EncodeUtf7(std::u16string_view name) {
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    const char16_t c = name[i];
    if (c >= 0x20 && c <= 0x7E) {
      out += char(c);
      if (c == '&') out += '-';
      ++i;
      continue;
    }
    out += '&';
    uint32_t bits = 0;
    int count = 0;
    for (; i < name.size() && !(name[i] >= 0x20 && name[i] <= 0x7E); ++i) {
      bits = (bits << 16) | name[i];
      count += 16;
      while (count >= 6) {
        count -= 6;
        out += kBase64[(bits >> count) & 0x3F];
      }
    }
    if (count > 0) out += kBase64[(bits << (6 - count)) & 0x3F];
    out += '-';
  }
  return out;
}

std::u16string DecodeUtf7(const char* text) {
  std::u16string out;
  const char* p = text;
  while (*p && out.size() < kDecodedUnitsMax) {
    if (*p != '&') {
      out += char16_t(static_cast<unsigned char>(*p++));
      continue;
    }
    ++p;
    if (*p == '-') {
      out += u'&';
      ++p;
      continue;
    }
    uint32_t bits = 0;
    int count = 0;
    for (int v; (v = Base64Value(*p)) >= 0; ++p) {
      bits = (bits << 6) | uint32_t(v);
      count += 6;
      if (count >= 16) {
        count -= 16;
        if (out.size() < kDecodedUnitsMax) out += char16_t((bits >> count) & 0xFFFF);
      }
    }
    if (*p == '-') ++p;
  }
  return out;
}

}  // namespace

bool SameText(const char* a, const char* b) noexcept { return strcasecmp(a, b) == 0; }

int64_t TrailingLiteral(const char* text) noexcept {
  size_t n = std::strlen(text);
  while (n > 0 && IsSpace(text[n - 1])) --n;
  if (n < 3 || text[n - 1] != '}') return -1;
  size_t end = n - 1;
  if (text[end - 1] == '+') --end;  // a non-synchronizing literal reads the same
  size_t start = end;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
  if (start == end || start == 0 || text[start - 1] != '{' || end - start > 18) return -1;
  int64_t value = 0;
  for (size_t i = start; i < end; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

bool NumberAfter(const char* text, const char* word, uint32_t* value) noexcept {
  const size_t length = std::strlen(word);
  for (const char* p = text; *p; ++p) {
    if (strncasecmp(p, word, length) != 0) continue;
    if (p != text && (std::isalnum(static_cast<unsigned char>(p[-1])) || p[-1] == '.')) continue;
    const char* q = p + length;
    if (!IsSpace(*q)) continue;
    while (IsSpace(*q)) ++q;
    if (!std::isdigit(static_cast<unsigned char>(*q))) continue;
    uint64_t v = 0;
    while (std::isdigit(static_cast<unsigned char>(*q))) v = std::min<uint64_t>(v * 10 + uint64_t(*q++ - '0'), 0xFFFFFFFFu);
    *value = uint32_t(v);
    return true;
  }
  return false;
}

std::string WireMailboxName(const char* name) {
  if (name[0] == '"') return name;
  char encoded[kEncodedNameMax + 1];
  if (ImapEncodeMailboxName(name, encoded) <= 0) return {};
  std::string out = "\"";
  for (const char* p = encoded; *p; ++p) {
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  return out + '"';
}

}  // namespace cvimap

using namespace cvimap;

int32_t ImapEscapeString(const char* text, char* buffer, uint32_t size) {
  if (!text) return 0;
  // The quoted-string specials of the protocol: a double quote and the backslash itself.
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  return Put(out, buffer, size);
}

int32_t ImapQuoteString(const char* text, char* buffer, uint32_t size) {
  if (!buffer || size == 0) return 0;
  buffer[0] = '\0';
  if (!text) return 0;
  const size_t length = std::strlen(text);
  if (length >= 2 && (text[0] == '"' || text[0] == '\'') && text[length - 1] == text[0])
    return length <= 127 ? Put(text, buffer, size) : 0;
  char escaped[126];
  if (*text && ImapEscapeString(text, escaped, sizeof escaped) == 0) return 0;
  if (!*text) escaped[0] = '\0';
  return Put(std::string("\"") + escaped + '"', buffer, size);
}

int32_t ImapFindText(const char* text, const char* word) {
  if (!text || !word || !*word) return 0;
  const size_t length = std::strlen(word);
  for (const char* p = text; *p; ++p) {
    if ((p == text || WordBoundary(p[-1])) && strncasecmp(p, word, length) == 0 && WordBoundary(p[length])) return 1;
  }
  return 0;
}

uint32_t ImapParseFlagList(const char* text) {
  if (!text) return 0;
  const char* p = std::strchr(text, '(');
  if (!p) return 0;
  ++p;
  uint32_t bits = 0;
  while (*p && *p != ')') {
    while (IsSpace(*p)) ++p;
    const char* start = p;
    while (*p && !IsSpace(*p) && *p != ')') ++p;
    if (start < p && *start == '\\') {
      const size_t length = size_t(p - start - 1);
      for (const FlagRow& row : kFlags) {
        const size_t n = std::strlen(row.name);
        if (length >= n && strncasecmp(start + 1, row.name, n) == 0) {
          bits |= row.bit;
          break;
        }
      }
    }
  }
  return bits;
}

int32_t ImapFormatFlagList(uint32_t flags, char* buffer, uint32_t size) {
  std::string out = "(";
  for (const FlagRow& row : kFlags) {
    if (!(flags & row.bit)) continue;
    if (out.size() > 1) out += ' ';
    out += '\\';
    out += row.name;
  }
  out += ')';
  if (out.size() >= 128) {
    if (buffer && size) buffer[0] = '\0';
    return 0;
  }
  return Put(out, buffer, size);
}

int32_t ImapEncodeMailboxName(const char* name, char* buffer) {
  if (!buffer) return 0;
  buffer[0] = '\0';
  if (!name) return 0;
  const std::string encoded = EncodeUtf7(plat::ToUtf16(name));
  // A name cut short would name another mailbox: too long is no name at all.
  if (encoded.size() > kEncodedNameMax) return 0;
  return Put(encoded, buffer, kEncodedNameMax + 1);
}

int32_t ImapDecodeMailboxName(const char* name, char* buffer) {
  if (!buffer) return 0;
  buffer[0] = '\0';
  if (!name) return 0;
  std::string text = plat::ToUtf8(DecodeUtf7(name));
  if (text.size() > kImapMailboxNameSize - 1) {
    size_t n = kImapMailboxNameSize - 1;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;  // whole characters only
    text.resize(n);
  }
  return Put(text, buffer, kImapMailboxNameSize);
}
