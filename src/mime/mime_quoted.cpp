// Quoted-printable (RFC 2045): the body encoder (one logical line cut by soft line breaks),
// the data and header-word encoder, and the chunk decoder with caller-held state.
#include <algorithm>
#include <cstring>

#include "mime/mime_internal.h"

using cvmime::HexValue;

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// Always escaped: ! " # $ @ [ \ ] ^ _ ` { | } =
bool IsSpecial(uint8_t c) noexcept {
  switch (c) {
    case '!': case '"': case '#': case '$': case '@': case '[': case '\\': case ']':
    case '^': case '_': case '`': case '{': case '|': case '}': case '=':
      return true;
    default:
      return false;
  }
}

void Escape(std::string& out, uint8_t c) {
  out.push_back('=');
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 15]);
}

// The body encoder; column carries the characters on the current line.
void EncodeBody(uint32_t& column, const uint8_t* data, size_t length, std::string& out) {
  for (size_t i = 0; i < length; ++i) {
    if (column > 72) {
      out.append("=\r\n");
      column = 0;
    }
    const uint8_t c = data[i];
    // A blank before a line end (or at the very end) would be lost in transport.
    const bool blankAtEnd = c == ' ' && (i + 1 == length || data[i + 1] == '\r');
    const size_t before = out.size();
    if (c >= 32 && c <= 126 && !IsSpecial(c) && !blankAtEnd)
      out.push_back(char(c));
    else
      Escape(out, c);
    column += uint32_t(out.size() - before);
  }
}

}  // namespace

int32_t MimeQpEncode(uint32_t* column, const void* data, int32_t length, char* output, int32_t room) {
  if (!column || (!data && length > 0) || !output || length < 0 || room < 0) return -1;
  if (int64_t(room) < int64_t(length) + length / 3) return -1;
  std::string out;
  EncodeBody(*column, static_cast<const uint8_t*>(data), size_t(length), out);
  if (out.size() > size_t(room)) return -1;
  std::memcpy(output, out.data(), out.size());
  return int32_t(out.size());
}

int32_t MimeQpDecode(MimeQpDecodeState* s, const char* text, int32_t length, void* output, int32_t room) {
  if (!s || (!text && length > 0) || !output || length < 0 || room < 0) return -1;
  auto* out = static_cast<uint8_t*>(output);
  int32_t n = 0;
  auto put = [&](uint8_t b) {
    if (n < room) out[n++] = b;
  };
  for (int32_t i = 0; i < length; ++i) {
    const char c = text[i];
    switch (s->phase) {
      case 0:
        if (c == '=')
          s->phase = 1;
        else
          put(uint8_t(c));
        break;
      case 1:
      case 4:
        // A soft line break: "=", optional blanks (trailing white space a gateway may have
        // added), then CR LF, a bare LF or a bare CR.
        if (c == '\r') {
          s->phase = 3;  // its LF may follow
        } else if (c == '\n') {
          s->phase = 0;
        } else if (c == ' ' || c == '\t') {
          s->phase = 4;
        } else if (s->phase == 1 && HexValue(c) >= 0) {
          s->first = uint8_t(HexValue(c));
          s->phase = 2;
        } else {
          return -1;
        }
        break;
      case 2:
        if (HexValue(c) < 0) return -1;
        put(uint8_t(s->first << 4 | HexValue(c)));
        s->phase = 0;
        break;
      case 3:
        s->phase = 0;
        if (c != '\n') {
          // A soft break ended by CR alone: the character is text.
          --i;
        }
        break;
    }
  }
  return n;
}

namespace cvmime {

std::string QpEncodeBody(std::string_view data) {
  std::string out;
  out.reserve(data.size() + data.size() / 3);
  uint32_t column = 0;
  EncodeBody(column, reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
  return out;
}

bool QpDecode(std::string_view text, std::string& out) {
  MimeQpDecodeState s{};
  out.assign(text.size(), '\0');
  const int32_t n = MimeQpDecode(&s, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
  if (n < 0) return false;
  out.resize(size_t(n));
  return true;
}

// Data and header words: 33 to 126 outside the special set as themselves; with blanks as
// "_" (header words also escape "?", which would end the word); optional soft breaks.
std::string QpEncodeData(std::string_view data, bool lineBreaks, bool headerWord) {
  std::string out;
  size_t lineStart = 0;
  for (unsigned char c : data) {
    if (lineBreaks && out.size() - lineStart >= 73) {
      out.append("=\r\n");
      lineStart = out.size();
    }
    if (c >= 33 && c <= 126 && !IsSpecial(c) && !(headerWord && c == '?'))
      out.push_back(char(c));
    else if (headerWord && (c == ' ' || c == '\t'))
      out.push_back('_');
    else
      Escape(out, c);
  }
  return out;
}

std::string EncodeDataQ(std::string_view data) {
  // "_" decodes as a blank only: a TAB carried between two words must stay a TAB.
  std::string out;
  for (size_t at = 0; at < data.size();) {
    const size_t tab = std::min(data.find('\t', at), data.size());
    out += QpEncodeData(data.substr(at, tab - at), false, true);
    if (tab < data.size()) out += "=09";
    at = tab + 1;
  }
  return out;
}

}  // namespace cvmime
