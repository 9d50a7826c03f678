// How a pass kernel splits a call's queries into the group sizes it is
// instantiated for, and the form in which a pass file puts its kernels in
// its level's table. Included by the pass files only, each compiled with its
// own flags; internal linkage, so no file hands its instructions to another.
#pragma once

#include <type_traits>

#include "search/first_pass.hpp"

namespace lodex {

namespace {

// Calls run(sub, out, std::integral_constant<int, N>{}) for consecutive
// chunks of N <= kMax of the call's queries (N one of 16, 8, 4, 3, 2, 1, the
// largest that fits): `sub` holds the chunk's queries, `out` the survivors
// of its first query, whose masks stay args.query_count apart per block.
// Each chunk reads the blocks again; groups of the driver's full size take
// one chunk.
template <int kMax, class Run>
inline void for_query_chunks(const PassArgs& args, uint16_t* survivors, Run run) {
  for (size_t q0 = 0; q0 < args.query_count;) {
    PassArgs sub = args;
    sub.queries = args.queries + q0;
    const size_t left = args.query_count - q0;
    auto take = [&](auto n) {
      sub.query_count = static_cast<size_t>(n.value);
      run(sub, survivors + q0, n);
      q0 += static_cast<size_t>(n.value);
    };
    if (kMax >= 16 && left >= 16) {
      take(std::integral_constant<int, (kMax >= 16 ? 16 : 1)>{});
    } else if (left >= 8) {
      take(std::integral_constant<int, 8>{});
    } else if (left >= 4) {
      take(std::integral_constant<int, 4>{});
    } else if (left == 3) {
      take(std::integral_constant<int, 3>{});
    } else if (left == 2) {
      take(std::integral_constant<int, 2>{});
    } else {
      take(std::integral_constant<int, 1>{});
    }
  }
}

// A pass as its level's table holds it: a function of its own per width,
// the pass inlined into it. GCC allocates registers differently in a pass
// template whose own address is taken, which would change the kernels'
// generated code.
template <auto Pass>
void table_entry(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                 uint16_t* survivors) {
  Pass(args, blocks, norms, rows, survivors);
}

}  // namespace

}  // namespace lodex
