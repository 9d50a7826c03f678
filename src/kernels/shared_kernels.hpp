// The kernels one file defines and another file's level table points at:
// the exact scans with their mixed-block forms (the scan_*.cpp files, which
// hold no table) and the VNNI pass the VBMI level batches with. Included by
// kernel files only; nothing else may call these without scan_kernels'
// check of the CPU.
#pragma once

#include <type_traits>

#include "kernels/scan.hpp"

namespace lodex {

// The kernel types as functions, to declare kernels by.
using ExactScan = std::remove_pointer_t<ScanFn>;
using MixedScan = std::remove_pointer_t<ScanMixedFn>;
using FirstPass = std::remove_pointer_t<PassFn>;

// scan_scalar.cpp
ExactScan scan_scalar_2, scan_scalar_3, scan_scalar_4, scan_scalar_5;
MixedScan scan_mixed_scalar_2, scan_mixed_scalar_3, scan_mixed_scalar_4, scan_mixed_scalar_5;

#if defined(LODEX_X86)
// x86/scan_avx2.cpp
ExactScan scan_avx2_2, scan_avx2_3, scan_avx2_4, scan_avx2_5;
MixedScan scan_mixed_avx2_2, scan_mixed_avx2_3, scan_mixed_avx2_4, scan_mixed_avx2_5;
// x86/scan_avx512.cpp: every AVX-512 level scans with these.
ExactScan scan_avx512_2, scan_avx512_3, scan_avx512_4, scan_avx512_5;
MixedScan scan_mixed_avx512_2, scan_mixed_avx512_3, scan_mixed_avx512_4, scan_mixed_avx512_5;
// x86/pass_avx512vnni.cpp: the rank-one pass at 4 bits.
FirstPass pass_avx512vnni_4;
#endif

#if defined(LODEX_AARCH64)
// arm/scan_neon.cpp: both NEON levels scan with these.
ExactScan scan_neon_2, scan_neon_3, scan_neon_4, scan_neon_5;
#endif

}  // namespace lodex
