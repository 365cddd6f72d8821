// Base64 (RFC 2045 alphabet with "=" padding): chunk codecs with caller-held state and the
// whole-buffer forms the library uses.
#include <cstring>

#include "mime/mime_internal.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kLineLength = 72;

int DecodeValue(char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Writes characters with the 72-column line rule into a bounded output.
struct LineWriter {
  char* out;
  size_t room;
  size_t n = 0;
  uint32_t* column;
  bool breaks;
  bool Put(char c) noexcept {
    if (breaks && *column >= kLineLength) {
      if (!Raw('\r') || !Raw('\n')) return false;
      *column = 0;
    }
    if (!Raw(c)) return false;
    ++*column;
    return true;
  }
  bool Raw(char c) noexcept {
    if (n >= room) return false;
    out[n++] = c;
    return true;
  }
};

bool EncodeGroup(LineWriter& w, const uint8_t* g, int count) noexcept {
  const uint32_t v = uint32_t(g[0]) << 16 | uint32_t(count > 1 ? g[1] : 0) << 8 | (count > 2 ? g[2] : 0);
  const char chars[4] = {kAlphabet[v >> 18 & 63], kAlphabet[v >> 12 & 63], kAlphabet[v >> 6 & 63], kAlphabet[v & 63]};
  for (int i = 0; i < 4; ++i)
    if (!w.Put(i <= count ? chars[i] : '=')) return false;
  return true;
}

int32_t Encode(MimeBase64State* s, const uint8_t* data, size_t length, char* out, size_t room, bool breaks) {
  LineWriter w{out, room, 0, &s->column, breaks};
  for (size_t i = 0; i < length; ++i) {
    s->group[s->phase++] = data[i];
    if (s->phase == 3) {
      if (!EncodeGroup(w, s->group, 3)) return -1;
      s->phase = 0;
    }
  }
  return int32_t(w.n);
}

int32_t Finish(MimeBase64State* s, char* out, size_t room, bool breaks, bool finalLineBreak) {
  LineWriter w{out, room, 0, &s->column, breaks};
  if (s->phase > 0 && !EncodeGroup(w, s->group, int(s->phase))) return -1;
  s->phase = 0;
  if (finalLineBreak) {
    if (!w.Raw('\r') || !w.Raw('\n')) return -1;
    s->column = 0;
  }
  return int32_t(w.n);
}

}  // namespace

int32_t MimeBase64Encode(MimeBase64State* state, const void* data, int32_t length, char* output, int32_t room) {
  if (!state || (!data && length > 0) || !output || length < 0 || room < 0) return -1;
  return Encode(state, static_cast<const uint8_t*>(data), size_t(length), output, size_t(room), true);
}

int32_t MimeBase64Finish(MimeBase64State* state, char* output, int32_t room) {
  if (!state || !output || room < 0) return -1;
  return Finish(state, output, size_t(room), true, true);
}

int32_t MimeBase64Decode(MimeBase64DecodeState* s, const char* text, int32_t length, void* output, int32_t room) {
  if (!s || (!text && length > 0) || !output || length < 0 || room < 0) return -1;
  auto* out = static_cast<uint8_t*>(output);
  int32_t n = 0;
  for (int32_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (c == '=') {
      s->phase = 0;  // padding ends the data
      break;
    }
    if (c == '\r' || c == '\n') continue;
    const int v = DecodeValue(c);
    if (v < 0) {
      if (s->phase == 0) continue;  // stray characters between groups are skipped
      return -1;
    }
    s->values[s->phase] = uint8_t(v);
    uint8_t byte = 0;
    bool emit = true;
    switch (s->phase) {
      case 0: emit = false; break;
      case 1: byte = uint8_t(s->values[0] << 2 | s->values[1] >> 4); break;
      case 2: byte = uint8_t(s->values[1] << 4 | s->values[2] >> 2); break;
      case 3: byte = uint8_t(s->values[2] << 6 | s->values[3]); break;
    }
    s->phase = (s->phase + 1) & 3;
    if (emit) {
      if (n >= room) return n;  // the output stops at its room
      out[n++] = byte;
    }
  }
  return n;
}

namespace cvmime {

std::string Base64Encode(std::string_view data, bool lineBreaks72) {
  MimeBase64State s{};
  const size_t chars = (data.size() + 2) / 3 * 4;
  std::string out(chars + chars / 72 * 2 + 8, '\0');
  int32_t n = Encode(&s, reinterpret_cast<const uint8_t*>(data.data()), data.size(), out.data(), out.size(),
                     lineBreaks72);
  int32_t f = Finish(&s, out.data() + n, out.size() - size_t(n), lineBreaks72, lineBreaks72);
  out.resize(size_t(n + f));
  return out;
}

std::string EncodeDataB(std::string_view data) { return Base64Encode(data, false); }

bool Base64Decode(std::string_view text, std::string& out) {
  MimeBase64DecodeState s{};
  out.assign(text.size() / 4 * 3 + 3, '\0');
  const int32_t n = MimeBase64Decode(&s, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
  if (n < 0) return false;
  out.resize(size_t(n));
  return true;
}

}  // namespace cvmime
