// The per-query u8 tables of the scan's integer first pass and the constants
// of its bound. The bound only ever lets the scan skip rows that the exact
// scan would have skipped itself; first_pass.cpp proves it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace lodex {

// The constants a pass kernel needs besides the table (see PassQuery).
struct PassPlan {
  float delta = 0.0f;
  float offset = 0.0f;
};

// Stores of this shape can take the first pass: whole groups of 32
// coordinates, and few enough that a row's u8 sum stays exact in float32.
bool first_pass_shape_ok(uint64_t dim, uint8_t bits);

// Quantizes the float table (entry (j, c) at entries[j * stride + c], c <
// 2^bits) into `table` (first_pass_table_bytes(dim, bits) bytes) and returns
// the bound's constants; nothing when this query must take the exact path
// instead (a non-finite entry, magnitudes near the float32 limits, an
// all-zero table). Allocates nothing: it runs on pool workers.
std::optional<PassPlan> build_pass_table(const float* entries, size_t stride, uint64_t dim, uint8_t bits,
                                         uint8_t* table);

// The `below` of a heap: rows whose bound is strictly below it are skipped.
// The float just below the root once the heap is full and its root is a
// number; -infinity (nothing skipped) otherwise.
float pass_threshold(bool heap_full, float root);

}  // namespace lodex
