// CPU feature detection and the process's level cap. Instructions alone are
// not enough: the OS must also save the wider registers on a context switch
// (XCR0), or using them would corrupt state silently. Nothing here is
// compiled with extra target flags.
#include "kernels/cpu.hpp"

#include <atomic>
#include <iterator>

#if defined(LODEX_X86)
#include <cpuid.h>
#elif defined(LODEX_AARCH64) && defined(__linux__)
#include <sys/auxv.h>
#elif defined(LODEX_AARCH64) && defined(__APPLE__)
#include <sys/sysctl.h>
#endif

namespace lodex {

namespace {

#if defined(LODEX_X86)

constexpr SimdLevel kChain[] = {SimdLevel::kScalar, SimdLevel::kAvx2, SimdLevel::kAvx512, SimdLevel::kAvx512Vnni,
                                SimdLevel::kAvx512Vbmi};

// xgetbv through inline assembly so this file needs no -mxsave.
uint64_t read_xcr0() {
  uint32_t lo = 0;
  uint32_t hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

SimdLevel detect() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return SimdLevel::kScalar;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return SimdLevel::kScalar;

  const uint64_t xcr0 = read_xcr0();
  // Bits 1 (XMM) and 2 (upper YMM halves).
  const bool ymm_state = (xcr0 & 0x6) == 0x6;
  // Bits 5 (opmask), 6 (upper ZMM halves of 0-15), 7 (ZMM 16-31).
  const bool zmm_state = (xcr0 & 0xE6) == 0xE6;

  if (__get_cpuid_max(0, nullptr) < 7) return SimdLevel::kScalar;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool avx2 = (ebx & (1u << 5)) != 0;
  const bool bmi2 = (ebx & (1u << 8)) != 0;
  const bool avx512f = (ebx & (1u << 16)) != 0;
  const bool avx512dq = (ebx & (1u << 17)) != 0;
  const bool avx512bw = (ebx & (1u << 30)) != 0;
  const bool avx512vl = (ebx & (1u << 31)) != 0;
  const bool avx512vbmi = (ecx & (1u << 1)) != 0;
  const bool avx512vnni = (ecx & (1u << 11)) != 0;

  if (!ymm_state || !avx2 || !bmi2) return SimdLevel::kScalar;
  if (zmm_state && avx512f && avx512dq && avx512bw && avx512vl) {
    if (!avx512vnni) return SimdLevel::kAvx512;
    return avx512vbmi ? SimdLevel::kAvx512Vbmi : SimdLevel::kAvx512Vnni;
  }
  return SimdLevel::kAvx2;
}

#elif defined(LODEX_AARCH64)

constexpr SimdLevel kChain[] = {SimdLevel::kScalar, SimdLevel::kNeon, SimdLevel::kNeonDot};

// Advanced SIMD belongs to the aarch64 baseline that compilers assume; Linux
// still announces it in AT_HWCAP, and a kernel that does not gets the scalar
// path. The s8 dot products (FEAT_DotProd, Armv8.2 on) are optional.
SimdLevel detect() {
#if defined(__linux__)
  constexpr unsigned long kHwcapAsimd = 1ul << 1;     // HWCAP_ASIMD
  constexpr unsigned long kHwcapAsimdDp = 1ul << 20;  // HWCAP_ASIMDDP
  const unsigned long hwcap = getauxval(AT_HWCAP);
  if ((hwcap & kHwcapAsimd) == 0) return SimdLevel::kScalar;
  return (hwcap & kHwcapAsimdDp) != 0 ? SimdLevel::kNeonDot : SimdLevel::kNeon;
#elif defined(__APPLE__)
  int dot = 0;
  size_t size = sizeof dot;
  const bool known = sysctlbyname("hw.optional.arm.FEAT_DotProd", &dot, &size, nullptr, 0) == 0;
  return known && dot != 0 ? SimdLevel::kNeonDot : SimdLevel::kNeon;
#else
  return SimdLevel::kNeon;
#endif
}

#else

constexpr SimdLevel kChain[] = {SimdLevel::kScalar};
SimdLevel detect() { return SimdLevel::kScalar; }

#endif

// The position of `level` in this architecture's chain, or -1.
int rank_of(SimdLevel level) {
  for (int i = 0; i < static_cast<int>(std::size(kChain)); ++i) {
    if (kChain[i] == level) return i;
  }
  return -1;
}

// The cap and whether it is frozen, in one word so that setting it and
// reading it for the first time are each a single atomic step.
constexpr uint16_t kNoCap = 0xFF;
constexpr uint16_t kFrozen = 0x100;
std::atomic<uint16_t> g_cap{kNoCap};

}  // namespace

SimdLevel best_simd_level() {
  static const SimdLevel level = detect();
  return level;
}

std::span<const SimdLevel> supported_simd_levels() {
  return std::span<const SimdLevel>(kChain, static_cast<size_t>(rank_of(best_simd_level()) + 1));
}

std::span<const SimdLevel> architecture_simd_levels() { return kChain; }

bool simd_level_supported(SimdLevel level) {
  const int rank = rank_of(level);
  return rank >= 0 && rank <= rank_of(best_simd_level());
}

SimdLevel usable_simd_level(SimdLevel cap) {
  const int rank = rank_of(cap);
  if (rank < 0) return SimdLevel::kScalar;
  const int best = rank_of(best_simd_level());
  return kChain[rank < best ? rank : best];
}

bool set_simd_cap(SimdLevel cap) {
  uint16_t seen = g_cap.load(std::memory_order_acquire);
  do {
    if ((seen & kFrozen) != 0) return false;
  } while (!g_cap.compare_exchange_weak(seen, static_cast<uint16_t>(cap), std::memory_order_acq_rel));
  return true;
}

SimdLevel active_simd_level() {
  static const SimdLevel level = [] {
    const uint16_t cap = g_cap.fetch_or(kFrozen, std::memory_order_acq_rel) & 0xFF;
    return cap == kNoCap ? best_simd_level() : usable_simd_level(static_cast<SimdLevel>(cap));
  }();
  return level;
}

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::kScalar:
      return "scalar";
    case SimdLevel::kAvx2:
      return "avx2";
    case SimdLevel::kAvx512:
      return "avx512";
    case SimdLevel::kAvx512Vnni:
      return "avx512vnni";
    case SimdLevel::kAvx512Vbmi:
      return "avx512vbmi";
    case SimdLevel::kNeon:
      return "neon";
    case SimdLevel::kNeonDot:
      return "neondot";
  }
  return "unknown";
}

std::optional<SimdLevel> simd_level_from_name(std::string_view name) {
  for (const SimdLevel level : kAllSimdLevels) {
    if (name == simd_level_name(level)) return level;
  }
  return std::nullopt;
}

}  // namespace lodex
