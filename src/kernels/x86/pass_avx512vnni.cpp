// The integer first pass on AVX-512 with VNNI but without VBMI (Cascade
// Lake): rank-one plans in kRank1U8 (levels 0..255), dotted with vpdpbusd.
// Compiled with those flags; only reached when the CPU and OS support them.
// Produces survivor masks, never scores.
#include "kernels/x86/pass_avx512.hpp"

namespace lodex {

void pass_avx512vnni_2(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<2>(a, b, n, r, s);
}
void pass_avx512vnni_3(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<3>(a, b, n, r, s);
}
void pass_avx512vnni_4(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<4>(a, b, n, r, s);
}
void pass_avx512vnni_5(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<5>(a, b, n, r, s);
}

}  // namespace lodex
