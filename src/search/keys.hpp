// The kinds of key a search ranks rows by: how a row's estimate becomes the
// value compared with others (metric.hpp holds the arithmetic). A bare enum,
// so that the pass kernels, each compiled with its own target flags, can
// include it without taking in any shared inline code.
#pragma once

#include <cstdint>

namespace lodex {

// With ip the row's estimate, `a` the query's constant, t the row's stored
// term and n its widened norm:
enum class KeyKind : uint8_t {
  kScore,            // key = ip
  kRowTerm,          // key = fl(fl(ip + t) + a)
  kSquaredDistance,  // key = fl(fl(fl(ip + ip) - fl(n * n)) + a)
};

}  // namespace lodex
