// The neon level (Advanced SIMD without the dot products): its table. Its
// first pass is pass_neon.hpp's rank-one pass built with the baseline flags:
// kRank1S8 plans dotted with widening multiplies and pairwise adds
// (pass_neon.hpp proves their widths). Its exact scans are scan_neon.cpp's.
#include "kernels/shared_kernels.hpp"
#include "kernels/arm/pass_neon.hpp"

#if defined(__ARM_FEATURE_DOTPROD)
#error "pass_neon.cpp is the pass for CPUs without sdot: build it with the baseline flags"
#endif

namespace lodex {

extern constinit const ScanKernels kNeonKernels = {
    .level = SimdLevel::kNeon,
    .by_bits = {&scan_neon_2, &scan_neon_3, &scan_neon_4, &scan_neon_5},
    .first_pass = {{&table_entry<rank1_pass<2>>, PassFormat::kRank1S8},
                   {&table_entry<rank1_pass<3>>, PassFormat::kRank1S8},
                   {&table_entry<rank1_pass<4>>, PassFormat::kRank1S8},
                   {&table_entry<rank1_pass<5>>, PassFormat::kRank1S8}},
};

}  // namespace lodex
