// CPU feature detection. Instructions alone are not enough: the OS must also
// save the wider registers on a context switch (XCR0), or using them would
// corrupt state silently. Nothing here is compiled with extra target flags.
#include "cpu.hpp"

#if defined(LODEX_X86)
#include <cpuid.h>
#endif

namespace lodex {

namespace {

#if defined(LODEX_X86)

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
    return avx512vbmi && avx512vnni ? SimdLevel::kAvx512Vbmi : SimdLevel::kAvx512;
  }
  return SimdLevel::kAvx2;
}

#else

SimdLevel detect() { return SimdLevel::kScalar; }

#endif

}  // namespace

SimdLevel best_simd_level() {
  static const SimdLevel level = detect();
  return level;
}

bool simd_level_supported(SimdLevel level) { return level <= best_simd_level(); }

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::kScalar:
      return "scalar";
    case SimdLevel::kAvx2:
      return "avx2";
    case SimdLevel::kAvx512:
      return "avx512";
    case SimdLevel::kAvx512Vbmi:
      return "avx512vbmi";
  }
  return "unknown";
}

}  // namespace lodex
