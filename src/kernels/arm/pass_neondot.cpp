// The integer first pass on NEON with the dot-product extension (Armv8.2
// FEAT_DotProd): rank-one plans in kRank1S8, four s8 products per row and
// instruction (sdot). Compiled with the extension's flags; only reached when
// the kernel announces it (HWCAP_ASIMDDP). Produces survivor masks, never
// scores.
#include "kernels/arm/pass_neon.hpp"

#if !defined(__ARM_FEATURE_DOTPROD)
#error "pass_neondot.cpp needs the dot-product extension's flags"
#endif

namespace lodex {

void pass_neondot_2(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<2>(a, b, n, r, s);
}
void pass_neondot_3(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<3>(a, b, n, r, s);
}
void pass_neondot_4(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<4>(a, b, n, r, s);
}
void pass_neondot_5(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<5>(a, b, n, r, s);
}

}  // namespace lodex
