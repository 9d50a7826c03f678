// The table of kernels per level: which exact scan and which first pass (and
// the format of the plans that pass reads) each level runs. Built at compile
// time, never changed; a search picks its row once, outside every loop.
#include "kernels/scan.hpp"

namespace lodex {

namespace {

constexpr ScanKernels kScalar = {
    SimdLevel::kScalar,
    {&scan_scalar_2, &scan_scalar_3, &scan_scalar_4, &scan_scalar_5},
    {{&pass_scalar_2, PassFormat::kByteTable},
     {&pass_scalar_3, PassFormat::kRank1U8},
     {&pass_scalar_4, PassFormat::kByteTable},
     {&pass_scalar_5, PassFormat::kRank1U8}}};

#if defined(LODEX_X86)
constexpr ScanKernels kAvx2 = {SimdLevel::kAvx2,
                               {&scan_avx2_2, &scan_avx2_3, &scan_avx2_4, &scan_avx2_5},
                               {{&pass_avx2_2, PassFormat::kRank1U7},
                                {&pass_avx2_3, PassFormat::kRank1U7},
                                {&pass_avx2_4, PassFormat::kRank1U7},
                                {&pass_avx2_5, PassFormat::kRank1U7}}};
constexpr ScanKernels kAvx512 = {SimdLevel::kAvx512,
                                 {&scan_avx512_2, &scan_avx512_3, &scan_avx512_4, &scan_avx512_5},
                                 {{&pass_avx512_2, PassFormat::kRank1U7},
                                  {&pass_avx512_3, PassFormat::kRank1U7},
                                  {&pass_avx512_4, PassFormat::kRank1U7},
                                  {&pass_avx512_5, PassFormat::kRank1U7}}};
constexpr ScanKernels kAvx512Vnni = {SimdLevel::kAvx512Vnni,
                                     {&scan_avx512_2, &scan_avx512_3, &scan_avx512_4, &scan_avx512_5},
                                     {{&pass_avx512vnni_2, PassFormat::kRank1U8},
                                      {&pass_avx512vnni_3, PassFormat::kRank1U8},
                                      {&pass_avx512vnni_4, PassFormat::kRank1U8},
                                      {&pass_avx512vnni_5, PassFormat::kRank1U8}}};
// 2 and 4 bits keep per-query byte-permute tables, which need half the dot
// products of the rank-one pass at 2 bits and bound tighter; 3 and 5 bits
// decode to levels once per block, which makes their per-query cost that of
// 4 bits. Batches at 4 bits take the rank-one pass, whose decoding a group
// of queries shares (measured: a quarter faster from 4 queries on, about 8 %
// slower for one).
constexpr ScanKernels kAvx512Vbmi = {SimdLevel::kAvx512Vbmi,
                                     {&scan_avx512_2, &scan_avx512_3, &scan_avx512_4, &scan_avx512_5},
                                     {{&pass_avx512vbmi_2, PassFormat::kNibbleTable},
                                      {&pass_avx512vbmi_3, PassFormat::kRank1U8},
                                      {&pass_avx512vbmi_4, PassFormat::kNibbleTable},
                                      {&pass_avx512vbmi_5, PassFormat::kRank1U8}},
                                     {{}, {}, {&pass_avx512vnni_4, PassFormat::kRank1U8}, {}}};
#endif

#if defined(LODEX_AARCH64)
// Both levels scan exactly with the same kernels; the dot products of their
// first passes differ (sdot against widening multiplies).
constexpr ScanKernels kNeon = {SimdLevel::kNeon,
                               {&scan_neon_2, &scan_neon_3, &scan_neon_4, &scan_neon_5},
                               {{&pass_neon_2, PassFormat::kRank1S8},
                                {&pass_neon_3, PassFormat::kRank1S8},
                                {&pass_neon_4, PassFormat::kRank1S8},
                                {&pass_neon_5, PassFormat::kRank1S8}}};
constexpr ScanKernels kNeonDot = {SimdLevel::kNeonDot,
                                  {&scan_neon_2, &scan_neon_3, &scan_neon_4, &scan_neon_5},
                                  {{&pass_neondot_2, PassFormat::kRank1S8},
                                   {&pass_neondot_3, PassFormat::kRank1S8},
                                   {&pass_neondot_4, PassFormat::kRank1S8},
                                   {&pass_neondot_5, PassFormat::kRank1S8}}};
#endif

}  // namespace

const ScanKernels& scan_kernels(SimdLevel level) {
  switch (usable_simd_level(level)) {
#if defined(LODEX_X86)
    case SimdLevel::kAvx2:
      return kAvx2;
    case SimdLevel::kAvx512:
      return kAvx512;
    case SimdLevel::kAvx512Vnni:
      return kAvx512Vnni;
    case SimdLevel::kAvx512Vbmi:
      return kAvx512Vbmi;
#endif
#if defined(LODEX_AARCH64)
    case SimdLevel::kNeon:
      return kNeon;
    case SimdLevel::kNeonDot:
      return kNeonDot;
#endif
    default:
      return kScalar;
  }
}

ScanMixedFn scan_mixed_kernel(SimdLevel level, uint8_t bits) {
  static constexpr ScanMixedFn kScalarMixed[4] = {&scan_mixed_scalar_2, &scan_mixed_scalar_3, &scan_mixed_scalar_4,
                                                  &scan_mixed_scalar_5};
#if defined(LODEX_X86)
  static constexpr ScanMixedFn kAvx2Mixed[4] = {&scan_mixed_avx2_2, &scan_mixed_avx2_3, &scan_mixed_avx2_4,
                                                &scan_mixed_avx2_5};
  static constexpr ScanMixedFn kAvx512Mixed[4] = {&scan_mixed_avx512_2, &scan_mixed_avx512_3, &scan_mixed_avx512_4,
                                                  &scan_mixed_avx512_5};
#endif
  if (bits < 2 || bits > 5) return nullptr;
  switch (scan_kernels(level).level) {
#if defined(LODEX_X86)
    case SimdLevel::kAvx2:
      return kAvx2Mixed[bits - 2];
    case SimdLevel::kAvx512:
    case SimdLevel::kAvx512Vnni:
    case SimdLevel::kAvx512Vbmi:
      return kAvx512Mixed[bits - 2];
#endif
    case SimdLevel::kScalar:
      return kScalarMixed[bits - 2];
    default:
      return nullptr;
  }
}

}  // namespace lodex
