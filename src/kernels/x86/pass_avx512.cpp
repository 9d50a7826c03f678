// The integer first pass on AVX-512 (F/BW/VL/DQ) without VNNI: rank-one
// plans in kRank1U7 (levels 0..127), dotted with vpmaddubsw + vpmaddwd.
// Compiled with those flags; only reached when the CPU and OS support them.
// Produces survivor masks, never scores.
#include "kernels/x86/pass_avx512.hpp"

namespace lodex {

void pass_avx512_2(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<2>(a, b, n, r, s);
}
void pass_avx512_3(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<3>(a, b, n, r, s);
}
void pass_avx512_4(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<4>(a, b, n, r, s);
}
void pass_avx512_5(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  rank1_pass<5>(a, b, n, r, s);
}

}  // namespace lodex
