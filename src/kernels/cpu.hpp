// Which vector instruction sets the scan may use on this machine. Asked once
// (cpuid for the instructions, xgetbv for the register state the operating
// system saves); the answer never changes for the life of the process. The
// level the process runs at may be capped once, before the first search.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace lodex {

// Every level of every architecture, so that a level name means the same on
// all of them. Within one architecture the levels form a chain, each implying
// the ones below it:
//   x86-64:  scalar < avx2 < avx512 (F/BW/VL/DQ) < avx512vnni (+ u8 x s8 dot
//            products) < avx512vbmi (+ byte permutes and multishift; VNNI too)
//   aarch64: scalar < neon < neondot (+ s8 dot products)
// A level of the other architecture is never supported.
enum class SimdLevel : uint8_t {
  kScalar = 0,
  kAvx2 = 1,
  kAvx512 = 2,
  kAvx512Vnni = 3,
  kAvx512Vbmi = 4,
  kNeon = 5,
  kNeonDot = 6,
};

inline constexpr SimdLevel kAllSimdLevels[] = {SimdLevel::kScalar,     SimdLevel::kAvx2,       SimdLevel::kAvx512,
                                               SimdLevel::kAvx512Vnni, SimdLevel::kAvx512Vbmi, SimdLevel::kNeon,
                                               SimdLevel::kNeonDot};

// The best level the CPU and the OS both support, detected on first call.
SimdLevel best_simd_level();

// The supported levels of this machine, lowest (scalar) first.
std::span<const SimdLevel> supported_simd_levels();

// Every level of this architecture's chain, lowest (scalar) first, whether
// this machine supports it or not.
std::span<const SimdLevel> architecture_simd_levels();

// True when `level` may run here (kScalar always may).
bool simd_level_supported(SimdLevel level);

// The best supported level at or below `cap` in this architecture's chain;
// kScalar for a level of another architecture.
SimdLevel usable_simd_level(SimdLevel cap);

// The process-wide cap: every search runs at usable_simd_level(cap) at most.
// Takes effect only before the level is first read (active_simd_level());
// returns false, changing nothing, once it has been read.
bool set_simd_cap(SimdLevel cap);
// The level searches run at unless they ask for a lower one; fixed from its
// first call on.
SimdLevel active_simd_level();

const char* simd_level_name(SimdLevel level);
std::optional<SimdLevel> simd_level_from_name(std::string_view name);

}  // namespace lodex
