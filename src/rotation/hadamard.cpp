// Sign vector generation (PCG32 seed expansion feeding a ChaCha8 keystream)
// and the Walsh–Hadamard rotation. Stored files depend on every bit of the
// sign sequence, so the generator must never change.
#include "rotation/hadamard.hpp"

#include <array>
#include <bit>
#include <cmath>

namespace lodex {

namespace {

bool is_power_of_two(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// PCG32 (XSH-RR): the state is stepped before each output, the first step
// applied to the seed itself.
std::array<uint32_t, 8> expand_seed(uint64_t seed) {
  std::array<uint32_t, 8> key{};
  uint64_t state = seed;
  for (uint32_t& word : key) {
    state = state * 0x5851F42D4C957F2DULL + 0xA17654E46FBE17F3ULL;
    const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    word = std::rotr(xorshifted, rot);
  }
  return key;
}

// ChaCha with 8 rounds, 64-bit block counter (words 12, 13) and 64-bit stream
// number (words 14, 15, always 0). Refills four blocks at a time; buffering
// leaves the word sequence unchanged.
class ChaCha8Stream {
 public:
  explicit ChaCha8Stream(const std::array<uint32_t, 8>& key) {
    input_[0] = 0x61707865u;
    input_[1] = 0x3320646Eu;
    input_[2] = 0x79622D32u;
    input_[3] = 0x6B206574u;
    for (size_t i = 0; i < 8; ++i) input_[4 + i] = key[i];
  }

  uint32_t next() {
    if (pos_ == kBufferWords) refill();
    return buffer_[pos_++];
  }

 private:
  static constexpr size_t kBufferWords = 64;

  static void quarter_round(std::array<uint32_t, 16>& x, size_t a, size_t b, size_t c, size_t d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
  }

  void refill() {
    for (size_t blk = 0; blk < 4; ++blk) {
      std::array<uint32_t, 16> in = input_;
      in[12] = static_cast<uint32_t>(counter_);
      in[13] = static_cast<uint32_t>(counter_ >> 32);
      std::array<uint32_t, 16> x = in;
      for (int i = 0; i < 4; ++i) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
      }
      for (size_t i = 0; i < 16; ++i) buffer_[blk * 16 + i] = x[i] + in[i];
      ++counter_;
    }
    pos_ = 0;
  }

  std::array<uint32_t, 16> input_{};  // words 12..15 are filled per block
  uint64_t counter_ = 0;
  std::array<uint32_t, kBufferWords> buffer_{};
  size_t pos_ = kBufferWords;  // starts empty: the first word refills
};

// Sign flip into a new array, then the checks in the order callers see them:
// length first (even between two powers of two), power of two second.
Result<std::vector<float>> flip_and_transform(std::span<const float> x,
                                                                    std::span<const float> signs) {
  if (x.size() != signs.size()) return std::unexpected(IndexError::rotation_dimension_mismatch(x.size(), signs.size()));
  std::vector<float> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) out[i] = x[i] * signs[i];
  if (!is_power_of_two(out.size())) return std::unexpected(IndexError::not_power_of_two(out.size()));
  hadamard_transform(out);
  return out;
}

}  // namespace

Result<SignVector> make_sign_vector(uint64_t dim, uint64_t seed) {
  if (!is_power_of_two(dim)) return std::unexpected(IndexError::not_power_of_two(dim));
  return sign_sequence(dim, seed);
}

SignVector sign_sequence(uint64_t count, uint64_t seed) {
  ChaCha8Stream stream(expand_seed(seed));
  SignVector signs(count);
  // Bit 31 alone decides: set (negative as i32) is +1.
  for (float& s : signs) s = (stream.next() & 0x80000000u) != 0 ? 1.0f : -1.0f;
  return signs;
}

float rotation_scale(uint64_t dim) { return 1.0f / std::sqrt(static_cast<float>(dim)); }

void hadamard_transform(std::span<float> x) {
  const size_t d = x.size();
  float* v = x.data();
  // The first three passes (h = 1, 2, 4) stay inside groups of eight; doing
  // them together per group is the same set of independent butterflies.
  size_t h = 1;
  if (d >= 8) {
    for (size_t s = 0; s < d; s += 8) {
      float* g = v + s;
      float t[8];
      for (size_t j = 0; j < 8; j += 2) {
        t[j] = g[j] + g[j + 1];
        t[j + 1] = g[j] - g[j + 1];
      }
      float u[8];
      for (size_t j = 0; j < 8; j += 4) {
        u[j] = t[j] + t[j + 2];
        u[j + 1] = t[j + 1] + t[j + 3];
        u[j + 2] = t[j] - t[j + 2];
        u[j + 3] = t[j + 1] - t[j + 3];
      }
      for (size_t j = 0; j < 4; ++j) {
        g[j] = u[j] + u[j + 4];
        g[j + 4] = u[j] - u[j + 4];
      }
    }
    h = 8;
  }
  // Then two passes per sweep (h and 2h) while both fit, which halves the
  // trips through memory; each output is still the same two-level sum.
  for (; 4 * h <= d; h *= 4) {
    for (size_t s = 0; s < d; s += 4 * h) {
      float* p0 = v + s;
      float* p1 = p0 + h;
      float* p2 = p1 + h;
      float* p3 = p2 + h;
      for (size_t j = 0; j < h; ++j) {
        const float t0 = p0[j] + p1[j];
        const float t1 = p0[j] - p1[j];
        const float t2 = p2[j] + p3[j];
        const float t3 = p2[j] - p3[j];
        p0[j] = t0 + t2;
        p1[j] = t1 + t3;
        p2[j] = t0 - t2;
        p3[j] = t1 - t3;
      }
    }
  }
  if (h < d) {
    float* lo = v;
    float* hi = v + h;
    for (size_t j = 0; j < h; ++j) {
      const float a = lo[j];
      const float b = hi[j];
      lo[j] = a + b;
      hi[j] = a - b;
    }
  }
}

Result<std::vector<float>> rotate(std::span<const float> x, std::span<const float> signs) {
  auto out = flip_and_transform(x, signs);
  if (!out) return out;
  // A multiplication by the rounded reciprocal, not a division by the root.
  const float r = rotation_scale(out->size());
  for (float& value : *out) value = value * r;
  return out;
}

Result<std::vector<float>> rotate_unscaled(std::span<const float> x,
                                                                 std::span<const float> signs) {
  return flip_and_transform(x, signs);
}

}  // namespace lodex
