// AVX2 twin of the reference sampler: eight samples per step, each lane
// doing exactly the reference's single-precision operations in the same
// order. Built with -mavx2 (never -mfma) and without contraction; uses only
// intrinsics and its own internal helpers, so no inline code compiled for
// AVX2 can be merged into the code that runs on every CPU.
#include <immintrin.h>

#include "ray_profile.h"

namespace pupil {
namespace avx2 {
namespace {

constexpr int32_t kLanes = 8;
// Images whose sides and pixel count fit here are sampled with 32-bit
// gather indices and exact float coordinates; anything larger goes to the
// reference code, which handles every size.
constexpr int32_t kMaxSide = 1 << 24;
constexpr int64_t kMaxPixels = int64_t{1} << 31;

// Splits gathered float pairs (left, right) of eight samples, four per
// register, into a register of left values and one of right values.
inline void split_pairs(__m256i first4, __m256i last4, __m256* left,
                        __m256* right) {
  const __m256 a = _mm256_castsi256_ps(first4);
  const __m256 b = _mm256_castsi256_ps(last4);
  // Per 128-bit half: (a0 a2 b0 b2) and (a1 a3 b1 b3); then restore order.
  const __m256 l = _mm256_shuffle_ps(a, b, 0x88);
  const __m256 r = _mm256_shuffle_ps(a, b, 0xDD);
  *left = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(l), _MM_SHUFFLE(3, 1, 2, 0)));
  *right = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(r), _MM_SHUFFLE(3, 1, 2, 0)));
}

// The horizontally adjacent pixels (base, base + 1) of eight samples, one
// 64-bit gather per four samples.
inline void gather_pairs(const float* image, __m256i index, __m256* left,
                         __m256* right) {
  const long long* base = reinterpret_cast<const long long*>(image);
  const __m256i first4 =
      _mm256_i32gather_epi64(base, _mm256_castsi256_si128(index), 4);
  const __m256i last4 =
      _mm256_i32gather_epi64(base, _mm256_extracti128_si256(index, 1), 4);
  split_pairs(first4, last4, left, right);
}

}  // namespace

bool sample_ray_profile_avx2(const float* grad_x, const float* grad_y,
                             int32_t rows, int32_t cols, float center_x,
                             float center_y, float r0, float step, float c,
                             float s, int32_t sample_count, double* profile) {
  // Pair loads need two columns; see kMaxSide for the rest.
  if (rows < 1 || cols < 2 || rows > kMaxSide || cols > kMaxSide ||
      int64_t{rows} * cols >= kMaxPixels) {
    return sample_ray_profile(grad_x, grad_y, rows, cols, center_x, center_y,
                              r0, step, c, s, sample_count, profile);
  }
  const __m256 v_step = _mm256_set1_ps(step);
  const __m256 v_r0 = _mm256_set1_ps(r0);
  const __m256 v_c = _mm256_set1_ps(c);
  const __m256 v_s = _mm256_set1_ps(s);
  const __m256 v_cx = _mm256_set1_ps(center_x);
  const __m256 v_cy = _mm256_set1_ps(center_y);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  // Exact: both sides are at most 2^24 here.
  const __m256 max_x = _mm256_set1_ps(static_cast<float>(cols - 1));
  const __m256 max_y = _mm256_set1_ps(static_cast<float>(rows - 1));
  const __m256i last_row = _mm256_set1_epi32(rows - 1);
  const __m256i last_pair = _mm256_set1_epi32(cols - 2);
  const __m256i v_cols = _mm256_set1_epi32(cols);
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256d minus_inf = _mm256_set1_pd(-__builtin_inf());

  int any_inside = 0;
  for (int64_t j0 = 0; j0 < sample_count; j0 += kLanes) {
    const int32_t valid = static_cast<int32_t>(
        sample_count - j0 < kLanes ? sample_count - j0 : kLanes);
    const __m256 live =
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(valid), lane));
    // Lanes past the end may wrap around; they are never stored.
    const __m256 jf = _mm256_cvtepi32_ps(
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(j0)), lane));
    const __m256 r = _mm256_add_ps(_mm256_mul_ps(jf, v_step), v_r0);
    const __m256 x = _mm256_add_ps(_mm256_mul_ps(v_c, r), v_cx);
    const __m256 y = _mm256_add_ps(_mm256_mul_ps(r, v_s), v_cy);
    // Ordered comparisons: NaN positions are outside.
    __m256 inside = _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GE_OQ),
                                  _mm256_cmp_ps(x, max_x, _CMP_LE_OQ));
    inside = _mm256_and_ps(inside, _mm256_cmp_ps(y, zero, _CMP_GE_OQ));
    inside = _mm256_and_ps(inside, _mm256_cmp_ps(y, max_y, _CMP_LE_OQ));
    inside = _mm256_and_ps(inside, live);
    any_inside |= _mm256_movemask_ps(inside);

    // Outside lanes continue at pixel (0, 0), a valid address; their
    // values are replaced by the outside marker below.
    const __m256 xs = _mm256_and_ps(x, inside);
    const __m256 ys = _mm256_and_ps(y, inside);
    const __m256i x0 = _mm256_cvttps_epi32(xs);
    const __m256i y0 = _mm256_cvttps_epi32(ys);
    const __m256i y1 =
        _mm256_min_epi32(_mm256_add_epi32(y0, _mm256_set1_epi32(1)), last_row);
    // The pair starts at x0, or one column earlier on the last column, where
    // x1 = x0 and both neighbours are the right pixel of the pair.
    const __m256i pair = _mm256_min_epi32(x0, last_pair);
    const __m256 on_last_col =
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(x0, pair));
    const __m256i i0 = _mm256_add_epi32(_mm256_mullo_epi32(y0, v_cols), pair);
    const __m256i i1 = _mm256_add_epi32(_mm256_mullo_epi32(y1, v_cols), pair);

    const __m256 fx = _mm256_sub_ps(xs, _mm256_cvtepi32_ps(x0));
    const __m256 fy = _mm256_sub_ps(ys, _mm256_cvtepi32_ps(y0));
    const __m256 gx = _mm256_sub_ps(one, fx);
    const __m256 gy = _mm256_sub_ps(one, fy);
    const __m256 w00 = _mm256_mul_ps(gx, gy);
    const __m256 w10 = _mm256_mul_ps(fx, gy);
    const __m256 w01 = _mm256_mul_ps(gx, fy);
    const __m256 w11 = _mm256_mul_ps(fx, fy);

    __m256 v[2];
    const float* images[2] = {grad_x, grad_y};
    for (int p = 0; p < 2; ++p) {
      __m256 a, b, d, e;
      gather_pairs(images[p], i0, &a, &b);
      gather_pairs(images[p], i1, &d, &e);
      const __m256 p00 = _mm256_blendv_ps(a, b, on_last_col);
      const __m256 p01 = _mm256_blendv_ps(d, e, on_last_col);
      __m256 sum =
          _mm256_add_ps(_mm256_mul_ps(p00, w00), _mm256_mul_ps(b, w10));
      sum = _mm256_add_ps(sum, _mm256_mul_ps(p01, w01));
      v[p] = _mm256_add_ps(sum, _mm256_mul_ps(e, w11));
    }
    const __m256 g =
        _mm256_add_ps(_mm256_mul_ps(v[1], v_s), _mm256_mul_ps(v[0], v_c));

    const __m256i inside_bits = _mm256_castps_si256(inside);
    const __m256d in_lo = _mm256_castsi256_pd(
        _mm256_cvtepi32_epi64(_mm256_castsi256_si128(inside_bits)));
    const __m256d in_hi = _mm256_castsi256_pd(
        _mm256_cvtepi32_epi64(_mm256_extracti128_si256(inside_bits, 1)));
    const __m256d lo = _mm256_blendv_pd(
        minus_inf, _mm256_cvtps_pd(_mm256_castps256_ps128(g)), in_lo);
    const __m256d hi = _mm256_blendv_pd(
        minus_inf, _mm256_cvtps_pd(_mm256_extractf128_ps(g, 1)), in_hi);
    if (valid == kLanes) {
      _mm256_storeu_pd(profile + j0, lo);
      _mm256_storeu_pd(profile + j0 + 4, hi);
    } else {
      alignas(32) double tail[kLanes];
      _mm256_store_pd(tail, lo);
      _mm256_store_pd(tail + 4, hi);
      for (int32_t k = 0; k < valid; ++k) profile[j0 + k] = tail[k];
    }
  }
  return any_inside != 0;
}

}  // namespace avx2
}  // namespace pupil
