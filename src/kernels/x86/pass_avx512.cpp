// The avx512 level (F/BW/VL/DQ without VNNI): its table. Its first pass is
// pass_avx512.hpp's rank-one pass built without VNNI: kRank1U7 plans (levels
// 0..127) dotted with vpmaddubsw + vpmaddwd. Its exact scans are
// scan_avx512.cpp's. Compiled with those flags; only reached when the CPU
// and OS support them.
#include "kernels/shared_kernels.hpp"
#include "kernels/x86/pass_avx512.hpp"

#if defined(__AVX512VNNI__)
#error "pass_avx512.cpp is the pass for CPUs without VNNI: build it without -mavx512vnni"
#endif

namespace lodex {

extern constinit const ScanKernels kAvx512Kernels = {
    .level = SimdLevel::kAvx512,
    .by_bits = {&scan_avx512_2, &scan_avx512_3, &scan_avx512_4, &scan_avx512_5},
    .first_pass = {{&table_entry<rank1_pass<2>>, PassFormat::kRank1U7},
                   {&table_entry<rank1_pass<3>>, PassFormat::kRank1U7},
                   {&table_entry<rank1_pass<4>>, PassFormat::kRank1U7},
                   {&table_entry<rank1_pass<5>>, PassFormat::kRank1U7}},
    .mixed = {&scan_mixed_avx512_2, &scan_mixed_avx512_3, &scan_mixed_avx512_4, &scan_mixed_avx512_5},
};

}  // namespace lodex
