// What every x86 set from AVX2 on shares: pixel pairs fetched with plain
// 64-bit loads, eight samples at a time in 256-bit registers (on the CPUs
// measured this beats a hardware gather), and lane reductions of 256-bit
// vectors. Internal linkage, so that each set's translation unit compiles
// its own copy with its own flags.
#ifndef PUPIL_RADIAL_SIMD_X86_AVX_SHARED_H
#define PUPIL_RADIAL_SIMD_X86_AVX_SHARED_H

#include <immintrin.h>

#include <cstdint>

namespace pupil::x86 {
namespace {

// A block's pair indices go through memory for the loads.
template <int kLanes>
struct PairIndex {
  alignas(kLanes * 4) int32_t at[kLanes];
};

// The left and right pixels of the pairs that start at index[0..7], in
// both images. Two pairs come in one 128-bit register: samples 0-1 and 4-5
// share one, 2-3 and 6-7 the other, so that one shuffle per result leaves
// the samples in order.
inline void pairs8(const float* image_x, const float* image_y,
                   const int32_t* index, __m256& left_x, __m256& right_x,
                   __m256& left_y, __m256& right_y) {
  auto two_floats = [](const float* at) {
    return reinterpret_cast<const __m64*>(at);
  };
  __m128 qx[4], qy[4];
  for (int h = 0; h < 4; ++h) {
    const int64_t i0 = index[2 * h], i1 = index[2 * h + 1];
    const __m128 zero = _mm_setzero_ps();
    qx[h] = _mm_loadh_pi(_mm_loadl_pi(zero, two_floats(image_x + i0)),
                         two_floats(image_x + i1));
    qy[h] = _mm_loadh_pi(_mm_loadl_pi(zero, two_floats(image_y + i0)),
                         two_floats(image_y + i1));
  }
  const __m256 ax = _mm256_set_m128(qx[2], qx[0]);
  const __m256 bx = _mm256_set_m128(qx[3], qx[1]);
  const __m256 ay = _mm256_set_m128(qy[2], qy[0]);
  const __m256 by = _mm256_set_m128(qy[3], qy[1]);
  // Per 128-bit half: (a0 a2 b0 b2) and (a1 a3 b1 b3).
  left_x = _mm256_shuffle_ps(ax, bx, 0x88);
  right_x = _mm256_shuffle_ps(ax, bx, 0xDD);
  left_y = _mm256_shuffle_ps(ay, by, 0x88);
  right_y = _mm256_shuffle_ps(ay, by, 0xDD);
}

// The largest and smallest of a 256-bit vector's lanes.
inline double max_of(__m256d v) {
  const __m128d m =
      _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_max_sd(m, _mm_unpackhi_pd(m, m)));
}
inline double min_of(__m256d v) {
  const __m128d m =
      _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_min_sd(m, _mm_unpackhi_pd(m, m)));
}

}  // namespace
}  // namespace pupil::x86

#endif
