// Creation, release, bit and byte access and the SSH number forms of MpInt.
#include "ssh/crypto/mpint.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ssh/crypto/mp_internal.h"

namespace {
const uint16_t kOneWords[2] = {1, 1};
const uint16_t kZeroWords[1] = {0};

// Every allocated number carries two hidden words in front of word 0: its capacity in
// limbs, so that MpFree wipes every word even after a trim lowered word 0.
constexpr int kHeader = 2;

bool IsConstant(MpConstInt a) { return a == kOneWords || a == kZeroWords; }
}  // namespace

const MpConstInt MpOne = kOneWords;
const MpConstInt MpZero = kZeroWords;

namespace sshmp {

void Wipe(void* p, size_t n) {
  if (p && n) explicit_bzero(p, n);
}

MpInt Alloc(int limbs) {
  if (limbs < 0 || limbs > 65535) return nullptr;
  size_t words = static_cast<size_t>(limbs) + 1 + kHeader;
  auto* raw = static_cast<uint16_t*>(std::calloc(words, sizeof(uint16_t)));
  if (!raw) return nullptr;
  raw[0] = static_cast<uint16_t>(limbs & 0xFFFF);
  raw[1] = 0;
  MpInt a = raw + kHeader;
  a[0] = static_cast<uint16_t>(limbs);
  return a;
}

void Trim(MpInt a) {
  while (a[0] > 1 && a[a[0]] == 0) --a[0];
}

int Limbs(MpConstInt a) {
  int n = a[0];
  while (n > 0 && a[n] == 0) --n;
  return n;
}

size_t HexLength(MpConstInt a) {
  int bits = a ? MpBitCount(a) : 0;
  return bits == 0 ? 1 : static_cast<size_t>((bits + 3) / 4);
}

void AppendHex(char* out, size_t* pos, MpConstInt a) {
  static const char kDigits[] = "0123456789abcdef";
  size_t n = HexLength(a);
  for (size_t i = n; i-- > 0;) {
    int byte = a ? MpByte(a, static_cast<int>(i / 2)) : 0;
    out[(*pos)++] = kDigits[(i & 1) ? (byte >> 4) : (byte & 15)];
  }
  out[*pos] = '\0';
}

}  // namespace sshmp

using sshmp::Alloc;

MpInt MpNew(int limbs) { return Alloc(limbs); }

MpInt MpCopy(MpConstInt a) {
  if (!a) return nullptr;
  MpInt r = Alloc(a[0]);
  if (r) std::memcpy(r + 1, a + 1, a[0] * sizeof(uint16_t));
  return r;
}

void MpFree(MpConstInt a) {
  if (!a || IsConstant(a)) return;
  auto* raw = const_cast<uint16_t*>(a) - kHeader;
  size_t words = static_cast<size_t>(raw[0]) + 1 + kHeader;
  explicit_bzero(raw, words * sizeof(uint16_t));
  std::free(raw);
}

MpInt MpPowerOfTwo(int n) {
  if (n < 0) return nullptr;
  MpInt r = Alloc(n / 16 + 1);
  if (r) r[n / 16 + 1] = static_cast<uint16_t>(1u << (n % 16));
  return r;
}

int MpCompare(MpConstInt a, MpConstInt b) {
  int n = a[0] > b[0] ? a[0] : b[0];
  for (int i = n; i > 0; --i) {
    unsigned x = i <= a[0] ? a[i] : 0;
    unsigned y = i <= b[0] ? b[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

int MpBitCount(MpConstInt a) {
  int n = sshmp::Limbs(a);
  if (n == 0) return 0;
  return (n - 1) * 16 + (32 - __builtin_clz(a[n]));
}

int MpByte(MpConstInt a, int i) {
  if (i < 0 || i / 2 >= a[0]) return 0;
  uint16_t limb = a[i / 2 + 1];
  return (i & 1) ? limb >> 8 : limb & 0xFF;
}

void MpSetBit(MpInt a, int i, int value) {
  if (i < 0 || i / 16 >= a[0]) return;  // outside the limbs: nothing to change
  uint16_t mask = static_cast<uint16_t>(1u << (i % 16));
  if (value)
    a[i / 16 + 1] |= mask;
  else
    a[i / 16 + 1] &= static_cast<uint16_t>(~mask);
}

MpInt MpFromBytes(const uint8_t* bytes, size_t n) {
  if (n > kMpMaxBytes) return nullptr;
  MpInt r = Alloc(static_cast<int>((n + 1) / 2));
  if (!r) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    size_t k = n - 1 - i;  // byte index from the least significant end
    r[k / 2 + 1] |= static_cast<uint16_t>(bytes[i] << ((k & 1) * 8));
  }
  sshmp::Trim(r);
  return r;
}

void MpDecrement(MpInt a) {
  if (!a || sshmp::Limbs(a) == 0) return;  // zero has nothing to subtract from
  for (int i = 1; i <= a[0]; ++i) {
    if (a[i]-- != 0) break;
  }
}

MpInt MpShiftRightOne(MpConstInt a) {
  if (!a) return nullptr;
  int limbs = (MpBitCount(a) + 14) / 16;
  MpInt r = Alloc(limbs);
  if (!r) return nullptr;
  for (int i = 1; i <= limbs; ++i) {
    unsigned hi = i + 1 <= a[0] ? a[i + 1] : 0;
    r[i] = static_cast<uint16_t>((a[i] >> 1) | (hi << 15));
  }
  return r;
}

MpInt MpBitMask(MpConstInt a) {
  if (!a) return nullptr;
  int bits = MpBitCount(a);
  MpInt r = Alloc(a[0]);
  if (!r) return nullptr;
  for (int i = 0; i < bits; ++i) r[i / 16 + 1] |= static_cast<uint16_t>(1u << (i % 16));
  return r;
}

MpInt MpMulAdd(MpConstInt a, MpConstInt b, MpConstInt addend) {
  if (!a || !b) return nullptr;
  int na = a[0], nb = b[0], nc = addend ? addend[0] : 0;
  int limbs = na + nb + 1 > nc + 1 ? na + nb + 1 : nc + 1;
  MpInt r = Alloc(limbs);
  if (!r) return nullptr;
  for (int i = 1; i <= nc; ++i) r[i] = addend[i];
  for (int i = 1; i <= na; ++i) {
    uint32_t carry = 0;
    int j = 1;
    for (; j <= nb; ++j) {
      uint32_t t = static_cast<uint32_t>(a[i]) * b[j] + r[i + j - 1] + carry;
      r[i + j - 1] = static_cast<uint16_t>(t);
      carry = t >> 16;
    }
    for (int k = i + j - 1; carry && k <= limbs; ++k) {
      uint32_t t = static_cast<uint32_t>(r[k]) + carry;
      r[k] = static_cast<uint16_t>(t);
      carry = t >> 16;
    }
  }
  r[0] = static_cast<uint16_t>(sshmp::Limbs(r));
  return r;
}

MpInt MpMul(MpConstInt a, MpConstInt b) {
  MpInt r = MpMulAdd(a, b, nullptr);
  if (r && r[0] == 0) r[0] = 1;  // zero product: one zero limb, as trimmed numbers have
  return r;
}

int MpSsh1Length(MpConstInt a) { return 2 + (MpBitCount(a) + 7) / 8; }

int MpWriteSsh1(uint8_t* buffer, MpConstInt a) {
  int bits = MpBitCount(a);
  int n = (bits + 7) / 8;
  buffer[0] = static_cast<uint8_t>(bits >> 8);
  buffer[1] = static_cast<uint8_t>(bits);
  for (int i = 0; i < n; ++i) buffer[2 + i] = static_cast<uint8_t>(MpByte(a, n - 1 - i));
  return n + 2;
}

int MpReadSsh1(const uint8_t* bytes, int length, MpInt* result) {
  if (length < 2) return -1;
  int bits = (bytes[0] << 8) | bytes[1];
  int n = (bits + 7) / 8;
  if (n > length - 2) return -1;
  if (result) {
    *result = MpFromBytes(bytes + 2, static_cast<size_t>(n));
    if (!*result) return -1;
  }
  return n + 2;
}

int MpSsh2Length(MpConstInt a) { return 4 + (MpBitCount(a) + 8) / 8; }

int MpWriteSsh2(uint8_t* buffer, MpConstInt a) {
  uint32_t n = static_cast<uint32_t>((MpBitCount(a) + 8) / 8);
  buffer[0] = static_cast<uint8_t>(n >> 24);
  buffer[1] = static_cast<uint8_t>(n >> 16);
  buffer[2] = static_cast<uint8_t>(n >> 8);
  buffer[3] = static_cast<uint8_t>(n);
  MpWriteFixed(buffer + 4, n, a);
  return static_cast<int>(n + 4);
}

void MpWriteFixed(uint8_t* buffer, size_t size, MpConstInt a) {
  for (size_t i = 0; i < size; ++i)
    buffer[i] = static_cast<uint8_t>(MpByte(a, static_cast<int>(size - 1 - i)));
}
