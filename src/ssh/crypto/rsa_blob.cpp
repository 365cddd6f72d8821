// SSH-2 blob reading and writing and the text forms shared by the key algorithms.
#include <cstdio>
#include <cstring>

#include "core/digest/md5.h"
#include "ssh/crypto/rsa.h"

void SshGetString(const uint8_t** cursor, int32_t* remaining, const uint8_t** string, int32_t* length) {
  *string = nullptr;
  *length = 0;
  if (*remaining < 4) return;
  const uint8_t* p = *cursor;
  uint32_t n = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  *cursor += 4;
  *remaining -= 4;
  if (n > static_cast<uint32_t>(*remaining)) return;
  *string = *cursor;
  *length = static_cast<int32_t>(n);
  *cursor += n;
  *remaining -= static_cast<int32_t>(n);
}

MpInt SshGetMpInt(const uint8_t** cursor, int32_t* remaining) {
  const uint8_t* s;
  int32_t n;
  SshGetString(cursor, remaining, &s, &n);
  if (!s) return nullptr;
  return MpFromBytes(s, static_cast<size_t>(n));
}

namespace sshpk {

bool ReadName(const uint8_t** cursor, int32_t* remaining, const char* name) {
  const uint8_t* s;
  int32_t n;
  SshGetString(cursor, remaining, &s, &n);
  return s && static_cast<size_t>(n) == std::strlen(name) && std::memcmp(s, name, static_cast<size_t>(n)) == 0;
}

void BlobWriter::Uint32(uint32_t v) {
  if (out_) {
    out_[size_] = static_cast<uint8_t>(v >> 24);
    out_[size_ + 1] = static_cast<uint8_t>(v >> 16);
    out_[size_ + 2] = static_cast<uint8_t>(v >> 8);
    out_[size_ + 3] = static_cast<uint8_t>(v);
  }
  size_ += 4;
}

void BlobWriter::String(const void* data, uint32_t length) {
  Uint32(length);
  if (out_ && length) std::memcpy(out_ + size_, data, length);
  size_ += length;
}

void BlobWriter::Mp(MpConstInt a) {
  if (out_) MpWriteSsh2(out_ + size_, a);
  size_ += static_cast<size_t>(MpSsh2Length(a));
}

void BlobWriter::Fixed(MpConstInt a, uint32_t bytes) {
  if (out_) MpWriteFixed(out_ + size_, bytes, a);
  size_ += bytes;
}

char* Fingerprint(const char* name, int bits, const uint8_t* blob, int32_t length) {
  uint8_t digest[16];
  Md5Context md5;
  Md5Begin(&md5);
  Md5Append(&md5, blob, static_cast<size_t>(length));
  Md5End(digest, &md5);
  const size_t size = std::strlen(name) + 16 + 16 * 3;
  auto* text = static_cast<char*>(CheckedAlloc(size, 1));
  if (!text) return nullptr;
  int pos = std::snprintf(text, size, "%s %d ", name, bits);
  for (int i = 0; i < 16; ++i)
    pos += std::snprintf(text + pos, size - static_cast<size_t>(pos), "%s%02x", i ? ":" : "", digest[i]);
  return text;
}

char* FormatHexList(MpConstInt const* numbers, int count) {
  size_t size = 1;
  for (int i = 0; i < count; ++i) size += 3 + sshmp::HexLength(numbers[i]);
  auto* text = static_cast<char*>(CheckedAlloc(size, 1));
  if (!text) return nullptr;
  size_t pos = 0;
  for (int i = 0; i < count; ++i) {
    if (i) text[pos++] = ',';
    text[pos++] = '0';
    text[pos++] = 'x';
    sshmp::AppendHex(text, &pos, numbers[i]);
  }
  text[pos] = '\0';
  return text;
}

}  // namespace sshpk
