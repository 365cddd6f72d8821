// The mail library's codecs: base64 and quoted-printable (whole and in pieces), encoded
// words, header values, addresses, parameters and dates. Whatever is encoded decodes to what
// it was; whatever a decoder is given, it stays inside its output.
#include <cstring>
#include <string>

#include "fuzz_target.h"
#include "mime/mime.h"

namespace {

std::string Encode(uint32_t encoding, std::string_view data) {
  std::string out(data.size() * 4 + 64, '\0');
  const int32_t n = MimeEncodeText(encoding, data.data(), int32_t(data.size()), out.data(), int32_t(out.size()));
  FUZZ_CHECK(n >= 0 && size_t(n) < out.size() && out[size_t(n)] == '\0');
  out.resize(size_t(n));
  return out;
}

bool Decode(uint32_t encoding, std::string_view text, std::string& out) {
  out.assign(text.size() + 16, '\0');
  const int32_t n = MimeDecodeText(encoding, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
  if (n < 0) return false;
  FUZZ_CHECK(size_t(n) < out.size());
  out.resize(size_t(n));
  return true;
}

void TransferEncodings(std::string_view data, uint32_t encoding) {
  std::string decoded;
  FUZZ_CHECK(Decode(encoding, Encode(encoding, data), decoded));
  FUZZ_CHECK(decoded == data);
  // Arbitrary text: what decodes, encodes and decodes to the same bytes.
  if (Decode(encoding, data, decoded)) {
    std::string again;
    FUZZ_CHECK(Decode(encoding, Encode(encoding, decoded), again));
    FUZZ_CHECK(again == decoded);
  }
}

// The chunk codecs with caller-held state, fed in pieces of the given size.
void Pieces(std::string_view data, size_t piece) {
  MimeBase64State state{};
  std::string encoded;
  char out[1024];
  for (size_t at = 0; at < data.size(); at += piece) {
    const std::string_view chunk = data.substr(at, piece);
    const int32_t n = MimeBase64Encode(&state, chunk.data(), int32_t(chunk.size()), out, sizeof out);
    FUZZ_CHECK(n >= 0);
    encoded.append(out, size_t(n));
  }
  const int32_t n = MimeBase64Finish(&state, out, sizeof out);
  FUZZ_CHECK(n >= 0);
  encoded.append(out, size_t(n));
  MimeBase64DecodeState decodeState{};
  std::string decoded;
  for (size_t at = 0; at < encoded.size(); at += piece) {
    const std::string_view chunk = std::string_view(encoded).substr(at, piece);
    const int32_t m = MimeBase64Decode(&decodeState, chunk.data(), int32_t(chunk.size()), out, sizeof out);
    FUZZ_CHECK(m >= 0);
    decoded.append(out, size_t(m));
  }
  FUZZ_CHECK(decoded == data);

  MimeQpDecodeState qp{};
  for (size_t at = 0; at < data.size(); at += piece) {
    const std::string_view chunk = data.substr(at, piece);
    if (MimeQpDecode(&qp, chunk.data(), int32_t(chunk.size()), out, sizeof out) < 0) break;
  }
}

// Well-formed UTF-8 without control bytes (TAB aside) and without anything that reads as
// the start of an encoded word: the texts whose encoded words must decode to them again.
bool Reversible(std::string_view text) {
  if (text.find("=?") != std::string_view::npos) return false;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 32 && c != '\t') return false;
      ++i;
      continue;
    }
    const size_t n = c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    uint32_t code = c & (0xFF >> (n + 1));
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      code = code << 6 | (d & 0x3F);
    }
    if ((n == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) || (n == 4 && (code < 0x10000 || code > 0x10FFFF)))
      return false;
    i += n;
  }
  return true;
}

void HeaderValues(const std::string& text, uint32_t charset, uint32_t encoding) {
  char encoded[16384];
  char decoded[16384];
  if (MimeEncodeHeaderValue(text.c_str(), encoded, sizeof encoded, charset, encoding)) {
    FUZZ_CHECK(std::memchr(encoded, '\0', sizeof encoded));
    FUZZ_CHECK(MimeDecodeHeaderValue(encoded, decoded, sizeof decoded, 1) == 1);
    // UTF-8 words come back byte for byte, white space between them included.
    if (charset == kMimeCharsetUtf8 && text.size() <= 2048 && Reversible(text)) FUZZ_CHECK(decoded == text);
  }
  FUZZ_CHECK(MimeDecodeHeaderValue(text.c_str(), decoded, sizeof decoded, 1) == 1);
  FUZZ_CHECK(std::memchr(decoded, '\0', sizeof decoded));
  char word[1024];
  MimeDecodeWord(kMimeEncodingBase64, text.c_str(), word);
  MimeDecodeWord(kMimeEncodingQuoted, text.c_str(), word);
}

void Addresses(const std::string& text, const std::string& domain, int32_t room) {
  char buffer[2048];
  const int32_t n = MimeParseAddress(text.c_str(), domain.empty() ? nullptr : domain.c_str(), buffer, room);
  if (n >= 0) FUZZ_CHECK(n < room && std::strlen(buffer) == size_t(n));
  char value[2048];
  const int32_t m = MimeGetParameter(text.c_str(), domain.c_str(), value, room);
  // 1 with the value inside the room (with one byte of room only an empty value fits).
  if (m != 0) FUZZ_CHECK(m == 1 && std::memchr(value, '\0', size_t(room)));
}

void Dates(const std::string& text, uint32_t options) {
  uint32_t time = 0;
  int32_t zone = 0;
  if (MimeParseDate(text.c_str(), options, &time, &zone) != 1 || time == 0) return;
  // A date that reads back in its own zone reads back the same.
  char formatted[64];
  FUZZ_CHECK(MimeFormatDate(time, zone, formatted, sizeof formatted));
  uint32_t again = 0;
  int32_t againZone = 0;
  FUZZ_CHECK(MimeParseDate(formatted, 0, &again, &againZone) == 1);
  FUZZ_CHECK(again == time);
  if (!options) FUZZ_CHECK(againZone == zone);
}

}  // namespace

CV_FUZZ_TARGET(mime_codecs) {
  static const bool attached = MimeAttach(nullptr) == 1;
  FUZZ_CHECK(attached);
  cvfuzz::Input in(data, size);
  const uint8_t choice = in.Byte();
  switch (choice % 6) {
    case 0:
      TransferEncodings(in.Rest(), in.Bool() ? kMimeEncodingBase64 : kMimeEncodingQuoted);
      break;
    case 1: {
      const size_t piece = 1 + in.Below(64);
      Pieces(in.Rest(), piece);
      break;
    }
    case 2: {
      static constexpr uint32_t kCharsets[] = {kMimeCharsetUsAscii, kMimeCharsetIso8859_1, kMimeCharsetUtf8, 0, 99};
      static constexpr uint32_t kEncodings[] = {kMimeEncoding8bit, kMimeEncodingQuoted, kMimeEncodingBase64,
                                                kMimeEncoding7bit};
      const uint32_t charset = kCharsets[in.Below(5)];
      const uint32_t encoding = kEncodings[in.Below(4)];
      HeaderValues(std::string(in.Rest()), charset, encoding);
      break;
    }
    case 3: {
      const int32_t room = int32_t(1 + in.Below(255) * 8);
      const std::string domain = in.Text(64);
      Addresses(std::string(in.Rest()), domain, room);
      break;
    }
    default:
      Dates(std::string(in.Rest()), choice & 0x80 ? 1 : 0);
      break;
  }
}
