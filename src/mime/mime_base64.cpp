// Base64 (RFC 2045 alphabet with "=" padding): chunk codecs with caller-held state and the
// whole-buffer forms the library uses.
#include <array>
#include <cstring>

#include "mime/mime_internal.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kLineLength = 72;

// Decoding table: the value of each alphabet character; kSkip for the line-break
// characters, kPad for "=", kJunk for everything else. Every non-symbol has a bit of 0xC0.
constexpr uint8_t kSkip = 0x40;
constexpr uint8_t kPad = 0x41;
constexpr uint8_t kJunk = 0xFF;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kJunk;
  for (uint8_t i = 0; i < 64; ++i) t[uint8_t(kAlphabet[i])] = i;
  t[uint8_t('\r')] = t[uint8_t('\n')] = kSkip;
  t[uint8_t('=')] = kPad;
  return t;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

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
  const auto* in = reinterpret_cast<const uint8_t*>(text);
  int32_t n = 0;
  int32_t i = 0;
  while (i < length) {
    if (s->phase == 0) {
      // Whole groups of four symbols at a time; anything else takes the careful path below.
      while (length - i >= 4 && room - n >= 3) {
        const uint32_t a = kDecode[in[i]], b = kDecode[in[i + 1]], c = kDecode[in[i + 2]], d = kDecode[in[i + 3]];
        if ((a | b | c | d) & 0xC0) break;
        const uint32_t v = a << 18 | b << 12 | c << 6 | d;
        out[n] = uint8_t(v >> 16);
        out[n + 1] = uint8_t(v >> 8);
        out[n + 2] = uint8_t(v);
        n += 3;
        i += 4;
      }
      if (i >= length) break;
    }
    const uint8_t v = kDecode[in[i++]];
    if (v == kPad) {
      s->phase = 0;  // padding ends the data
      break;
    }
    if (v == kSkip) continue;
    if (v == kJunk) {
      if (s->phase == 0) continue;  // stray characters between groups are skipped
      return -1;
    }
    s->values[s->phase] = v;
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

bool IsBase64Symbol(char c) noexcept { return kDecode[uint8_t(c)] < 64; }

bool Base64Decode(std::string_view text, std::string& out) {
  MimeBase64DecodeState s{};
  out.assign(text.size() / 4 * 3 + 3, '\0');
  const int32_t n = MimeBase64Decode(&s, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
  if (n < 0) return false;
  out.resize(size_t(n));
  return true;
}

}  // namespace cvmime
