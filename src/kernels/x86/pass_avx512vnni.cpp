// The avx512vnni level (AVX-512 with VNNI but without VBMI: Cascade Lake):
// its table. Its first pass is pass_avx512.hpp's rank-one pass built with
// VNNI: kRank1U8 plans (levels 0..255) dotted with vpdpbusd. Its exact scans
// are scan_avx512.cpp's. Compiled with those flags; only reached when the
// CPU and OS support them.
#include "kernels/shared_kernels.hpp"
#include "kernels/x86/pass_avx512.hpp"

#if !defined(__AVX512VNNI__)
#error "pass_avx512vnni.cpp needs the VNNI flags"
#endif

namespace lodex {

// By name at 4 bits: the VBMI level batches with it (pass_avx512vbmi.cpp).
void pass_avx512vnni_4(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<4>(a, b, n, r, s);
}

extern constinit const ScanKernels kAvx512VnniKernels = {
    .level = SimdLevel::kAvx512Vnni,
    .by_bits = {&scan_avx512_2, &scan_avx512_3, &scan_avx512_4, &scan_avx512_5},
    .first_pass = {{&table_entry<rank1_pass<2>>, PassFormat::kRank1U8},
                   {&table_entry<rank1_pass<3>>, PassFormat::kRank1U8},
                   {&pass_avx512vnni_4, PassFormat::kRank1U8},
                   {&table_entry<rank1_pass<5>>, PassFormat::kRank1U8}},
    .mixed = {&scan_mixed_avx512_2, &scan_mixed_avx512_3, &scan_mixed_avx512_4, &scan_mixed_avx512_5},
};

}  // namespace lodex
