#pragma once
// Run-time choice between the portable code and the instruction-set fast paths.
// The fast paths give bit-identical results; tests force the portable path to check both.

namespace cvssh::crypto {

bool CpuHasAesNi() noexcept;  // AES-NI plus SSSE3 and SSE4.1
bool CpuHasShaNi() noexcept;  // SHA extensions plus SSSE3 and SSE4.1

// When set, every algorithm takes its portable path (for tests and benchmarks).
// Ciphers decide at set_key time; hashes at every block run.
void ForcePortableCrypto(bool force) noexcept;
bool PortableCryptoForced() noexcept;

inline bool UseAesNi() noexcept { return !PortableCryptoForced() && CpuHasAesNi(); }
inline bool UseShaNi() noexcept { return !PortableCryptoForced() && CpuHasShaNi(); }

}  // namespace cvssh::crypto
