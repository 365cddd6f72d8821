#include "ssh/crypto/random_pool.h"

#include <sys/random.h>
#include <sys/resource.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/tick.h"
#include "platform/base/time.h"
#include "ssh/crypto/byte_order.h"
#include "ssh/crypto/hash.h"
#include "ssh/util/timer_list.h"

namespace {

using cvssh::crypto::LoadLe32;
using cvssh::crypto::StoreLe32;

constexpr size_t kStartEntropyBytes = 48;  // heavy noise from the kernel at start
constexpr size_t kStirEntropyBytes = 32;   // mixed in at every stir
constexpr uint32_t kSlowNoiseMs = 300000;

uint32_t SystemTick() { return plat::GetTickCount(); }
uint32_t SystemPid() { return uint32_t(getpid()); }

void SystemTimeBytes(uint8_t out[16]) {
  SYSTEMTIME st{};
  plat::GetSystemTime(&st);
  static_assert(sizeof st == 16);
  std::memcpy(out, &st, 16);
}

void SystemAdjustment(uint8_t out[8]) {
  struct timex tx {};
  tx.modes = 0;  // read only
  adjtimex(&tx);
  StoreLe32(out, uint32_t(tx.offset));
  StoreLe32(out + 4, uint32_t(tx.tick));
}

void KernelEntropy(uint8_t* out, size_t n) {
  while (n != 0) {
    const ssize_t got = getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return;  // the pool still has its other noise; nothing better to do
    }
    out += got;
    n -= size_t(got);
  }
}

constexpr SshNoiseSource kSystemSource = {SystemTick, SystemPid, SystemTimeBytes, SystemAdjustment, KernelEntropy};

SshRandomPool g_pool;
int32_t g_users = 0;
const SshNoiseSource* g_source = &kSystemSource;

void CompressLe(uint32_t h[5], const uint8_t block[64]) {
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = LoadLe32(block + 4 * i);
  Sha1Compress(h, w);
  explicit_bzero(w, sizeof w);
}

void Stir() {
  if (g_pool.stirring) return;
  g_pool.stirring = 1;

  uint8_t noise[16];
  g_source->system_time(noise);
  RandomAddNoise(noise, 16);
  g_source->time_adjustment(noise);
  RandomAddNoise(noise, 8);
  explicit_bzero(noise, sizeof noise);

  // Fresh kernel entropy reaches the chaining value with the block compressed next.
  uint8_t entropy[kStirEntropyBytes];
  g_source->os_entropy(entropy, sizeof entropy);
  for (size_t i = 0; i < sizeof entropy; ++i) g_pool.incoming_block[i] ^= entropy[i];
  explicit_bzero(entropy, sizeof entropy);

  CompressLe(g_pool.incoming, g_pool.incoming_block);
  g_pool.incoming_count = 0;

  uint32_t d[5];
  std::memcpy(d, g_pool.incoming, sizeof d);
  uint32_t key[16];
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 16; ++i) key[i] = LoadLe32(g_pool.pool + 4 * i);
    for (int i = kRandomPoolSize - 20; i >= 0; i -= 20) {
      for (int j = 0; j < 5; ++j) d[j] ^= LoadLe32(g_pool.pool + i + 4 * j);
      Sha1Compress(d, key);
      for (int j = 0; j < 5; ++j) StoreLe32(g_pool.pool + i + 4 * j, d[j]);
    }
  }
  Sha1Compress(d, key);
  std::memcpy(g_pool.incoming, d, sizeof d);
  explicit_bzero(d, sizeof d);
  explicit_bzero(key, sizeof key);

  g_pool.stirring = 0;
  g_pool.read_position = 20;
}

// XORs noise into the pool from position 0, stirring whenever it reaches the end.
void AddHeavyNoise(const uint8_t* p, size_t len) {
  while (len >= size_t(kRandomPoolSize - g_pool.read_position)) {
    const size_t take = size_t(kRandomPoolSize - g_pool.read_position);
    for (size_t i = 0; i < take; ++i) g_pool.pool[size_t(g_pool.read_position) + i] ^= p[i];
    p += take;
    len -= take;
    Stir();
    g_pool.read_position = 0;
  }
  for (size_t i = 0; i < len; ++i) g_pool.pool[i] ^= p[i];
  g_pool.read_position = int32_t(len);
}

void HeavyNoiseWord(uint32_t v) {
  uint8_t b[4];
  StoreLe32(b, v);
  AddHeavyNoise(b, 4);
}

// Stands for the periodic noise of memory and CPU use; the SSH layer never runs timers.
void SlowNoise(void* context, uint32_t) {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  RandomAddNoise(&ru, sizeof ru);
  TimerSchedule(kSlowNoiseMs, SlowNoise, context);
}

void StartPool() {
  std::memset(&g_pool, 0, sizeof g_pool);
  HeavyNoiseWord(g_source->tick_count());
  HeavyNoiseWord(g_source->process_id());
  uint8_t entropy[kStartEntropyBytes];
  g_source->os_entropy(entropy, sizeof entropy);
  AddHeavyNoise(entropy, sizeof entropy);
  explicit_bzero(entropy, sizeof entropy);
  Stir();
  TimerSchedule(kSlowNoiseMs, SlowNoise, &g_pool);
}

}  // namespace

void RandomAcquire() {
  if (g_users == 0) StartPool();
  ++g_users;
}

void RandomRelease() {
  if (g_users > 0) --g_users;
}

uint8_t RandomByte() {
  if (g_pool.read_position >= kRandomPoolSize) Stir();
  return g_pool.pool[g_pool.read_position++];
}

void RandomAddNoise(const void* data, size_t len) {
  if (g_users == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (len >= size_t(64 - g_pool.incoming_count)) {
    const size_t take = size_t(64 - g_pool.incoming_count);
    std::memcpy(g_pool.incoming_block + g_pool.incoming_count, p, take);
    p += take;
    len -= take;
    CompressLe(g_pool.incoming, g_pool.incoming_block);
    for (int i = 0; i < 20; ++i) {
      // A read position of 1,200 (every byte handed out) wraps before it is written to.
      if (g_pool.read_position >= kRandomPoolSize) g_pool.read_position = 0;
      g_pool.pool[g_pool.read_position] ^= g_pool.incoming_block[i];
      if (++g_pool.read_position >= kRandomPoolSize) g_pool.read_position = 0;
    }
    // Emptied before a possible stir, whose own noise would otherwise see a full block.
    g_pool.incoming_count = 0;
    if (g_pool.read_position < 20) Stir();
  }
  std::memcpy(g_pool.incoming_block + g_pool.incoming_count, p, len);
  g_pool.incoming_count += int32_t(len);
}

void NoiseFromEvent(uint32_t value) {
  uint8_t b[4];
  StoreLe32(b, value);
  RandomAddNoise(b, 4);
  StoreLe32(b, g_source->tick_count());
  RandomAddNoise(b, 4);
}

void RandomSetNoiseSource(const SshNoiseSource* source) { g_source = source ? source : &kSystemSource; }
const SshRandomPool& RandomPoolState() { return g_pool; }
int32_t RandomPoolUsers() { return g_users; }
