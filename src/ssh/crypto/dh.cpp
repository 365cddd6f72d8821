// Diffie-Hellman state: drawing the secret exponent and computing e and K.
#include "ssh/crypto/dh.h"

#include <initializer_list>
#include <new>

#include "ssh/crypto/mp_internal.h"

using sshmp::MpHolder;

namespace {

// Finishes a state from p and g: q = p >> 1 and its mask.
SshDhState* MakeState(MpInt p, MpInt g) {
  MpHolder hp(p), hg(g);
  if (!p || !g) return nullptr;
  MpHolder q(MpShiftRightOne(p));
  if (!q.p) return nullptr;
  MpHolder mask(MpBitMask(q.p));
  auto* s = new (std::nothrow) SshDhState{};
  if (!mask.p || !s) return nullptr;
  s->p = hp.release();
  s->g = hg.release();
  s->q = q.release();
  s->qmask = mask.release();
  return s;
}

}  // namespace

SshDhState* DhNewFixedGroup(const SshKexDesc* kex) {
  if (!kex || !kex->prime || !kex->generator) return nullptr;
  return MakeState(MpFromBytes(kex->prime, kex->prime_length),
                   MpFromBytes(kex->generator, kex->generator_length));
}

SshDhState* DhNewGroup(MpConstInt p, MpConstInt g) {
  if (!p || !g) return nullptr;
  int bits = MpBitCount(p);
  if (bits < kDhMinGroupBits || bits > kDhMaxGroupBits || (p[1] & 1) == 0) return nullptr;
  MpHolder pm1(MpCopy(p));
  if (!pm1.p) return nullptr;
  MpDecrement(pm1.p);
  if (MpCompare(g, MpOne) <= 0 || MpCompare(g, pm1.p) >= 0) return nullptr;
  MpInt pc = MpCopy(p);
  MpInt gc = MpCopy(g);
  if (pc) sshmp::Trim(pc);
  if (gc) sshmp::Trim(gc);
  return MakeState(pc, gc);
}

MpConstInt sshdh::MakeE(SshDhState* state, int n, sshmp::ByteSource next_byte, void* context) {
  if (!state) return nullptr;
  // A q of 2 or less leaves no x with 1 < x < q.
  if (MpBitCount(state->q) < 2 || MpCompare(state->q, MpOne) <= 0) return nullptr;
  const int qbits = MpBitCount(state->qmask);
  const int size = MpSsh1Length(state->qmask);
  sshmp::Scratch<uint8_t> buffer(static_cast<size_t>(size));
  if (!buffer.ok()) return nullptr;
  for (;;) {
    MpFree(state->x);
    state->x = nullptr;
    // 2^n plus n random bits has n + 1 bits; at n = bits(q) it could never be below q,
    // so from there on the masked draw is used.
    if (n > 0 && n < qbits) {
      state->x = MpPowerOfTwo(n);
      if (!state->x) return nullptr;
      uint8_t byte = 0;
      for (int i = 0; i < n; ++i) {
        if (i % 8 == 0) byte = next_byte(context);
        MpSetBit(state->x, i, (byte >> (i % 8)) & 1);
      }
      sshmp::Wipe(&byte, 1);
    } else {
      MpWriteSsh1(buffer.get(), state->qmask);
      for (int i = 2; i < size; ++i) buffer[static_cast<size_t>(i)] &= next_byte(context);
      if (MpReadSsh1(buffer.get(), size, &state->x) < 0) return nullptr;
    }
    if (MpCompare(state->x, MpOne) > 0 && MpCompare(state->x, state->q) < 0) break;
  }
  MpFree(state->e);
  state->e = MpModPow(state->g, state->x, state->p);
  return state->e;
}

MpInt DhComputeK(SshDhState* state, MpConstInt f) {
  if (!state || !state->x || !f) return nullptr;
  // RFC 4253: f outside (1, p - 1) would force a known or tiny shared secret.
  MpHolder pm1(MpCopy(state->p));
  if (!pm1.p) return nullptr;
  MpDecrement(pm1.p);
  if (MpCompare(f, MpOne) <= 0 || MpCompare(f, pm1.p) >= 0) return nullptr;
  return MpModPow(f, state->x, state->p);
}

void DhFree(SshDhState* state) {
  if (!state) return;
  for (MpInt v : {state->x, state->e, state->p, state->q, state->qmask, state->g}) MpFree(v);
  delete state;
}
