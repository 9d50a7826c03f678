// The integer first pass on NEON without the dot-product extension: rank-one
// plans in kRank1S8, dotted with widening multiplies and pairwise adds
// (pass_neon.hpp proves their widths). Baseline aarch64 flags only. Produces
// survivor masks, never scores.
#include "kernels/arm/pass_neon.hpp"

#if defined(__ARM_FEATURE_DOTPROD)
#error "pass_neon.cpp is the pass for CPUs without sdot: build it with the baseline flags"
#endif

namespace lodex {

void pass_neon_2(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<2>(a, b, n, r, s);
}
void pass_neon_3(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<3>(a, b, n, r, s);
}
void pass_neon_4(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<4>(a, b, n, r, s);
}
void pass_neon_5(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<5>(a, b, n, r, s);
}

}  // namespace lodex
