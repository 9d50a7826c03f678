// Which vector instruction sets the scan may use on this machine. Asked once
// (cpuid for the instructions, xgetbv for the register state the operating
// system saves); the answer never changes for the life of the process.
#pragma once

#include <cstdint>

namespace lodex {

// Ordered: each level implies the ones below it. kAvx512Vbmi is AVX-512
// (F/BW/VL/DQ) plus the byte permutes (VBMI) and the u8 dot products (VNNI)
// that the integer first pass of the scan is built on.
enum class SimdLevel : uint8_t { kScalar = 0, kAvx2 = 1, kAvx512 = 2, kAvx512Vbmi = 3 };

inline constexpr SimdLevel kAllSimdLevels[] = {SimdLevel::kScalar, SimdLevel::kAvx2, SimdLevel::kAvx512,
                                               SimdLevel::kAvx512Vbmi};

// The best level the CPU and the OS both support, detected on first call.
SimdLevel best_simd_level();

// True when `level` may run here (kScalar always may).
bool simd_level_supported(SimdLevel level);

const char* simd_level_name(SimdLevel level);

}  // namespace lodex
