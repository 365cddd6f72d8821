#pragma once
// The process-wide random pool of the SSH layer: 1,200 bytes stirred with the SHA-1
// compression function and fed with system noise, operating-system entropy included.
// No lock of its own: the SSH layer's lock serialises every caller.
#include <cstddef>
#include <cstdint>

inline constexpr int32_t kRandomPoolSize = 1200;

struct SshRandomPool {
  uint8_t pool[kRandomPoolSize];
  int32_t read_position;
  uint32_t incoming[5];
  uint8_t incoming_block[64];
  int32_t incoming_count;
  int32_t stirring;
};

void RandomAcquire();
void RandomRelease();
uint8_t RandomByte();
void RandomAddNoise(const void* data, size_t len);
void NoiseFromEvent(uint32_t value);

// Where the pool's noise comes from; tests replace it to make the pool deterministic.
struct SshNoiseSource {
  uint32_t (*tick_count)();
  uint32_t (*process_id)();
  void (*system_time)(uint8_t out[16]);      // SYSTEMTIME layout, UTC
  void (*time_adjustment)(uint8_t out[8]);   // clock adjustment and increment
  void (*os_entropy)(uint8_t* out, size_t n);
};

// null restores the system's sources.
void RandomSetNoiseSource(const SshNoiseSource* source);
// Read-only views for tests.
const SshRandomPool& RandomPoolState();
int32_t RandomPoolUsers();
