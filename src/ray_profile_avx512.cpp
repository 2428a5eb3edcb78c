// AVX-512 twin of the reference sampler: sixteen samples per step, each lane
// doing exactly the reference's single-precision operations in the same
// order. Built with -mavx512f (never FMA) and without contraction; uses only
// intrinsics and its own internal helpers, so no inline code compiled for
// AVX-512 can be merged into the code that runs on every CPU.
#include <immintrin.h>

#include <cstdint>

#include "ray_profile.h"

namespace pupil {
namespace avx512 {
namespace {

constexpr int32_t kLanes = 16;
// Images whose sides and pixel count fit here are sampled with 32-bit
// indices and exact float coordinates; anything larger goes to the
// reference code, which handles every size.
constexpr int32_t kMaxSide = 1 << 24;
constexpr int64_t kMaxPixels = int64_t{1} << 31;

// The ray's constants, broadcast once per call.
struct Ray {
  __m512 step, r0, c, s, center_x, center_y, max_x, max_y;
  __m512i last_row, last_pair, cols;
};

// Where and how sixteen samples read the images.
struct BlockGeometry {
  __m512i top, bottom;        // index of the pair in row y0 and in row y1
  __m512 w00, w10, w01, w11;  // bilinear weights
  __mmask16 on_last_col;      // x1 = x0: take the pair's right pixel
  __mmask16 inside;
};

// Left and right pixels of sixteen pairs.
struct Pairs {
  __m512 left, right;
};

// The horizontally adjacent pixels (index, index + 1) of sixteen samples,
// each pair gathered as one 64-bit element: half the loads of gathering the
// pixels one by one. Lanes outside the image are not loaded at all.
inline Pairs gather_pairs(const float* image, __m512i index, __mmask16 inside) {
  const __m512d none = _mm512_setzero_pd();
  const __m512 low = _mm512_castpd_ps(
      _mm512_mask_i32gather_pd(none, static_cast<__mmask8>(inside),
                               _mm512_castsi512_si256(index), image, 4));
  const __m512 high = _mm512_castpd_ps(
      _mm512_mask_i32gather_pd(none, static_cast<__mmask8>(inside >> 8),
                               _mm512_extracti64x4_epi64(index, 1), image, 4));
  // low and high hold (left, right) of samples 0-7 and 8-15 side by side.
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20,
                                         22, 24, 26, 28, 30);
  const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21,
                                        23, 25, 27, 29, 31);
  return {_mm512_permutex2var_ps(low, even, high),
          _mm512_permutex2var_ps(low, odd, high)};
}

// ((p00 w00 + p10 w10) + p01 w01) + p11 w11, in that grouping.
inline __m512 interpolate(const Pairs& top, const Pairs& bottom,
                          const BlockGeometry& g) {
  const __m512 p00 = _mm512_mask_blend_ps(g.on_last_col, top.left, top.right);
  const __m512 p01 =
      _mm512_mask_blend_ps(g.on_last_col, bottom.left, bottom.right);
  __m512 sum =
      _mm512_add_ps(_mm512_mul_ps(p00, g.w00), _mm512_mul_ps(top.right, g.w10));
  sum = _mm512_add_ps(sum, _mm512_mul_ps(p01, g.w01));
  return _mm512_add_ps(sum, _mm512_mul_ps(bottom.right, g.w11));
}

// Geometry of samples first .. first + 15: the reference's radius,
// position, bound test, truncation, fractions and weights, lane by lane in
// the same order. Lanes at or past n are outside; their index arithmetic
// may wrap, but they are never loaded or stored.
inline BlockGeometry geometry(const Ray& ray, int64_t first, int64_t n) {
  const __m512i lane =
      _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512 zero = _mm512_setzero_ps();
  const __m512 one = _mm512_set1_ps(1.0f);
  const int64_t left = n - first;
  const __mmask16 live = left >= kLanes
                             ? __mmask16{0xFFFF}
                             : static_cast<__mmask16>((1u << left) - 1u);
  const __m512 jf = _mm512_cvtepi32_ps(
      _mm512_add_epi32(_mm512_set1_epi32(static_cast<int32_t>(first)), lane));
  const __m512 r = _mm512_add_ps(_mm512_mul_ps(jf, ray.step), ray.r0);
  const __m512 x = _mm512_add_ps(_mm512_mul_ps(ray.c, r), ray.center_x);
  const __m512 y = _mm512_add_ps(_mm512_mul_ps(r, ray.s), ray.center_y);

  BlockGeometry g;
  // Ordered comparisons: NaN positions are outside.
  __mmask16 in = _mm512_mask_cmp_ps_mask(live, x, zero, _CMP_GE_OQ);
  in = _mm512_mask_cmp_ps_mask(in, x, ray.max_x, _CMP_LE_OQ);
  in = _mm512_mask_cmp_ps_mask(in, y, zero, _CMP_GE_OQ);
  g.inside = _mm512_mask_cmp_ps_mask(in, y, ray.max_y, _CMP_LE_OQ);

  const __m512i x0 = _mm512_cvttps_epi32(x);
  const __m512i y0 = _mm512_cvttps_epi32(y);
  const __m512i y1 = _mm512_min_epi32(
      _mm512_add_epi32(y0, _mm512_set1_epi32(1)), ray.last_row);
  // The pair starts at x0, or one column earlier on the last column, where
  // x1 = x0 and both neighbours are the right pixel of the pair.
  const __m512i pair = _mm512_min_epi32(x0, ray.last_pair);
  g.on_last_col = _mm512_cmpgt_epi32_mask(x0, pair);
  g.top = _mm512_add_epi32(_mm512_mullo_epi32(y0, ray.cols), pair);
  g.bottom = _mm512_add_epi32(_mm512_mullo_epi32(y1, ray.cols), pair);

  const __m512 fx = _mm512_sub_ps(x, _mm512_cvtepi32_ps(x0));
  const __m512 fy = _mm512_sub_ps(y, _mm512_cvtepi32_ps(y0));
  const __m512 gx = _mm512_sub_ps(one, fx);
  const __m512 gy = _mm512_sub_ps(one, fy);
  g.w00 = _mm512_mul_ps(gx, gy);
  g.w10 = _mm512_mul_ps(fx, gy);
  g.w01 = _mm512_mul_ps(gx, fy);
  g.w11 = _mm512_mul_ps(fx, fy);
  return g;
}

}  // namespace

bool sample_ray_profile_avx512(const float* grad_x, const float* grad_y,
                               int32_t rows, int32_t cols, float center_x,
                               float center_y, float r0, float step, float c,
                               float s, int32_t sample_count, double* profile) {
  // Pair loads need two columns; see kMaxSide for the rest.
  if (rows < 1 || cols < 2 || rows > kMaxSide || cols > kMaxSide ||
      int64_t{rows} * cols >= kMaxPixels) {
    return sample_ray_profile(grad_x, grad_y, rows, cols, center_x, center_y,
                              r0, step, c, s, sample_count, profile);
  }
  Ray ray;
  ray.step = _mm512_set1_ps(step);
  ray.r0 = _mm512_set1_ps(r0);
  ray.c = _mm512_set1_ps(c);
  ray.s = _mm512_set1_ps(s);
  ray.center_x = _mm512_set1_ps(center_x);
  ray.center_y = _mm512_set1_ps(center_y);
  // Exact: both sides are at most 2^24 here.
  ray.max_x = _mm512_set1_ps(static_cast<float>(cols - 1));
  ray.max_y = _mm512_set1_ps(static_cast<float>(rows - 1));
  ray.last_row = _mm512_set1_epi32(rows - 1);
  ray.last_pair = _mm512_set1_epi32(cols - 2);
  ray.cols = _mm512_set1_epi32(cols);
  const __m512 outside = _mm512_set1_ps(static_cast<float>(kOutside));

  __mmask16 any_inside = 0;
  const int64_t n = sample_count;
  for (int64_t j0 = 0; j0 < n; j0 += kLanes) {
    const BlockGeometry g = geometry(ray, j0, n);
    any_inside |= g.inside;
    const Pairs top_x = gather_pairs(grad_x, g.top, g.inside);
    const Pairs bottom_x = gather_pairs(grad_x, g.bottom, g.inside);
    const Pairs top_y = gather_pairs(grad_y, g.top, g.inside);
    const Pairs bottom_y = gather_pairs(grad_y, g.bottom, g.inside);
    const __m512 vx = interpolate(top_x, bottom_x, g);
    const __m512 vy = interpolate(top_y, bottom_y, g);
    const __m512 response =
        _mm512_add_ps(_mm512_mul_ps(vy, ray.s), _mm512_mul_ps(vx, ray.c));

    // The marker goes in as a float: widening keeps -infinity exact.
    const __m512 marked = _mm512_mask_blend_ps(g.inside, outside, response);
    const __m512d lo = _mm512_cvtps_pd(_mm512_castps512_ps256(marked));
    const __m512d hi = _mm512_cvtps_pd(
        _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(marked), 1)));
    const int64_t left = n - j0;
    if (left >= kLanes) {
      _mm512_storeu_pd(profile + j0, lo);
      _mm512_storeu_pd(profile + j0 + 8, hi);
    } else {
      // Masked stores touch only the lanes that exist.
      const unsigned live = (1u << left) - 1u;
      _mm512_mask_storeu_pd(profile + j0, static_cast<__mmask8>(live), lo);
      _mm512_mask_storeu_pd(profile + j0 + 8, static_cast<__mmask8>(live >> 8),
                            hi);
    }
  }
  return any_inside != 0;
}

}  // namespace avx512
}  // namespace pupil
