// Which table of kernels each level runs: a switch from level to table. Each
// table is one constant object in its level's file, constant-initialised so
// that loading a file built for wider instructions runs none of its code.
// Only this file names the tables; nothing here picks a level (cpu.cpp does).
#include "kernels/scan.hpp"

namespace lodex {

extern const ScanKernels kScalarKernels;  // pass_scalar.cpp
#if defined(LODEX_X86)
extern const ScanKernels kAvx2Kernels;        // x86/pass_avx2.cpp
extern const ScanKernels kAvx512Kernels;      // x86/pass_avx512.cpp
extern const ScanKernels kAvx512VnniKernels;  // x86/pass_avx512vnni.cpp
extern const ScanKernels kAvx512VbmiKernels;  // x86/pass_avx512vbmi.cpp
#endif
#if defined(LODEX_AARCH64)
extern const ScanKernels kNeonKernels;     // arm/pass_neon.cpp
extern const ScanKernels kNeonDotKernels;  // arm/pass_neondot.cpp
#endif

const ScanKernels& level_kernels(SimdLevel level) {
  switch (level) {
#if defined(LODEX_X86)
    case SimdLevel::kAvx2:
      return kAvx2Kernels;
    case SimdLevel::kAvx512:
      return kAvx512Kernels;
    case SimdLevel::kAvx512Vnni:
      return kAvx512VnniKernels;
    case SimdLevel::kAvx512Vbmi:
      return kAvx512VbmiKernels;
#endif
#if defined(LODEX_AARCH64)
    case SimdLevel::kNeon:
      return kNeonKernels;
    case SimdLevel::kNeonDot:
      return kNeonDotKernels;
#endif
    default:
      return kScalarKernels;
  }
}

const ScanKernels& scan_kernels(SimdLevel level) { return level_kernels(usable_simd_level(level)); }

ScanMixedFn scan_mixed_kernel(SimdLevel level, uint8_t bits) {
  if (bits < 2 || bits > 5) return nullptr;
  return scan_kernels(level).mixed[bits - 2];
}

}  // namespace lodex
