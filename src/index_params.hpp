// What an index is besides its rows: the construction parameters every file
// records. Plain values, no behaviour beyond telling whether the original
// .ldx layout can describe them.
#pragma once

#include <cstdint>
#include <vector>

namespace lodex {

// The score a search ranks by. The numbers are written into files: never
// renumber them.
enum class Metric : uint8_t { kIp = 0, kCosine = 1, kL2 = 2 };

// The rotation applied before quantization (file values, as above): the
// seeded sign flip and Walsh-Hadamard transform of power-of-two widths, or
// the general seeded rotation of any width.
enum class RotationKind : uint8_t { kHadamard = 0, kGeneral = 1 };

// The store's code width m (codes per row) is not repeated here: it is the
// Storage's dim(), equal to `dim` for the Hadamard rotation and to the
// general rotation's width (dim <= m <= dim rounded up to 32) otherwise.
struct IndexParams {
  uint64_t dim = 0;
  uint8_t bits = 0;
  bool use_qjl = false;
  uint64_t seed = 0;
  Metric metric = Metric::kIp;
  RotationKind rotation = RotationKind::kHadamard;
  std::vector<float> center;  // dim floats subtracted from every vector; empty: none
  // center="mean": the centre is the mean of the first batch, fixed (into
  // `center`, this then false) when that batch is added. Never in a file:
  // an index is saved only once its centre is fixed.
  bool center_pending = false;

  // Whether the original .ldx header can hold these parameters: anything
  // else needs the layout file (mappable_file.hpp).
  bool plain() const {
    return metric == Metric::kIp && rotation == RotationKind::kHadamard && center.empty() && !center_pending;
  }

  friend bool operator==(const IndexParams&, const IndexParams&) = default;
};

}  // namespace lodex
