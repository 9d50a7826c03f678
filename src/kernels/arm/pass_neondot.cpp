// The neondot level (NEON with the dot-product extension, Armv8.2
// FEAT_DotProd): its table. Its first pass is pass_neon.hpp's rank-one pass
// built with the extension: kRank1S8 plans, four s8 products per row and
// instruction (sdot). Its exact scans are scan_neon.cpp's, as neon's.
// Compiled with the extension's flags; only reached when the kernel
// announces it (HWCAP_ASIMDDP).
#include "kernels/shared_kernels.hpp"
#include "kernels/arm/pass_neon.hpp"

#if !defined(__ARM_FEATURE_DOTPROD)
#error "pass_neondot.cpp needs the dot-product extension's flags"
#endif

namespace lodex {

extern constinit const ScanKernels kNeonDotKernels = {
    .level = SimdLevel::kNeonDot,
    .by_bits = {&scan_neon_2, &scan_neon_3, &scan_neon_4, &scan_neon_5},
    .first_pass = {{&table_entry<rank1_pass<2>>, PassFormat::kRank1S8},
                   {&table_entry<rank1_pass<3>>, PassFormat::kRank1S8},
                   {&table_entry<rank1_pass<4>>, PassFormat::kRank1S8},
                   {&table_entry<rank1_pass<5>>, PassFormat::kRank1S8}},
};

}  // namespace lodex
