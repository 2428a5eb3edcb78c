// What each instruction set's kernels file starts from: the intrinsics, the
// kernels' declarations and the shape of its vectors.
#ifndef PUPIL_RADIAL_KERNELS_SIMD_H
#define PUPIL_RADIAL_KERNELS_SIMD_H

#include <immintrin.h>

#include <cstdint>

#include "dispatch.h"

namespace pupil {

// Lanes per vector for a set's width in bits, and its tuning: sampling
// computes the geometry of `interleave` blocks of samples together, in
// chunks of `chunk` blocks; filtering sums `group` vectors of outputs at
// once.
template <int kBits, int interleave, int chunk, int group>
struct Shape {
  static constexpr int kFloats = kBits / 32;
  static constexpr int kDoubles = kBits / 64;
  static constexpr int kInterleave = interleave;
  static constexpr int kBlocksPerChunk = chunk;
  static constexpr int kGroup = group;
};

}  // namespace pupil

#endif
