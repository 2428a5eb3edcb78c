// AVX2 twin of the reference sampler: eight samples per step, each lane
// doing exactly the reference's single-precision operations in the same
// order. Built with -mavx2 (never -mfma) and without contraction; uses only
// intrinsics and its own internal helpers, so no inline code compiled for
// AVX2 can be merged into the code that runs on every CPU.
#include <immintrin.h>

#include <cstdint>

#include "ray_profile.h"

namespace pupil {
namespace avx2 {
namespace {

constexpr int32_t kLanes = 8;
// Samples are handled in chunks: first the geometry of every block of eight
// samples in the chunk (pure arithmetic), then the pixel loads and the
// interpolation.
// Keeping the two apart gives the CPU independent work to overlap with the
// loads, instead of one long chain per block.
constexpr int32_t kBlocksPerChunk = 8;
// The geometry of this many blocks is computed statement by statement
// together, so that their independent chains of arithmetic interleave.
constexpr int32_t kInterleave = 4;
static_assert(kBlocksPerChunk % kInterleave == 0, "whole groups per chunk");
// Images whose sides and pixel count fit here are sampled with 32-bit
// indices and exact float coordinates; anything larger goes to the
// reference code, which handles every size.
constexpr int32_t kMaxSide = 1 << 24;
constexpr int64_t kMaxPixels = int64_t{1} << 31;

// Where and how eight samples read the images.
struct BlockGeometry {
  alignas(32) int32_t top[kLanes];     // index of the pair in row y0
  alignas(32) int32_t bottom[kLanes];  // index of the pair in row y1
  __m256 w00, w10, w01, w11;           // bilinear weights
  __m256 on_last_col;                  // x1 = x0: take the pair's right pixel
  __m256 inside;
};

// Left and right pixels of the pairs at index[0..7] in two images.
struct Pairs {
  __m256 left_x, right_x, left_y, right_y;
};

// The horizontally adjacent pixels (index, index + 1) of eight samples in
// both images, as 64-bit loads: on many CPUs plain loads beat a hardware
// gather. Each index serves both images, and two indices come in one 64-bit
// load, since loads are the scarce resource here. The pairs of samples 0-1
// and 4-5 share one register, 2-3 and 6-7 the other, so that one shuffle
// per result leaves the samples in order.
inline Pairs load_pairs(const float* image_x, const float* image_y,
                        const int32_t* index) {
  // Two floats, (image[i], image[i + 1]), into the low or high half.
  auto two_floats = [](const float* at) {
    return reinterpret_cast<const __m64*>(at);
  };
  __m128 qx[4], qy[4];
  for (int h = 0; h < 4; ++h) {
    uint64_t two;
    __builtin_memcpy(&two, index + 2 * h, sizeof two);
    const int64_t i0 = static_cast<int32_t>(two);
    const int64_t i1 = static_cast<int32_t>(two >> 32);
    const __m128 zero = _mm_setzero_ps();
    qx[h] = _mm_loadh_pi(_mm_loadl_pi(zero, two_floats(image_x + i0)),
                         two_floats(image_x + i1));
    qy[h] = _mm_loadh_pi(_mm_loadl_pi(zero, two_floats(image_y + i0)),
                         two_floats(image_y + i1));
  }
  Pairs p;
  const __m256 ax = _mm256_set_m128(qx[2], qx[0]);
  const __m256 bx = _mm256_set_m128(qx[3], qx[1]);
  const __m256 ay = _mm256_set_m128(qy[2], qy[0]);
  const __m256 by = _mm256_set_m128(qy[3], qy[1]);
  // Per 128-bit half: (a0 a2 b0 b2) and (a1 a3 b1 b3).
  p.left_x = _mm256_shuffle_ps(ax, bx, 0x88);
  p.right_x = _mm256_shuffle_ps(ax, bx, 0xDD);
  p.left_y = _mm256_shuffle_ps(ay, by, 0x88);
  p.right_y = _mm256_shuffle_ps(ay, by, 0xDD);
  return p;
}

// ((p00 w00 + p10 w10) + p01 w01) + p11 w11, in that grouping.
inline __m256 interpolate(__m256 top_left, __m256 top_right, __m256 bottom_left,
                          __m256 bottom_right, const BlockGeometry& g) {
  const __m256 p00 = _mm256_blendv_ps(top_left, top_right, g.on_last_col);
  const __m256 p01 = _mm256_blendv_ps(bottom_left, bottom_right, g.on_last_col);
  __m256 sum =
      _mm256_add_ps(_mm256_mul_ps(p00, g.w00), _mm256_mul_ps(top_right, g.w10));
  sum = _mm256_add_ps(sum, _mm256_mul_ps(p01, g.w01));
  return _mm256_add_ps(sum, _mm256_mul_ps(bottom_right, g.w11));
}

// The ray's constants, broadcast once per call.
struct Ray {
  __m256 step, r0, c, s, center_x, center_y, max_x, max_y;
  __m256i last_row, last_pair, cols;
};

// Geometry of blocks j0, j0 + 8, ... (kInterleave of them) into g[]: the
// reference's radius, position, bound test, truncation, fractions and
// weights, lane by lane in the same order. Lanes at or past n are outside;
// their index arithmetic may wrap, but they are never stored.
inline int geometry(const Ray& ray, int64_t j0, int64_t n, BlockGeometry* g) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  __m256 r[kInterleave], x[kInterleave], y[kInterleave];
  __m256 inside[kInterleave];
  __m256i x0[kInterleave], y0[kInterleave];
  int any_inside = 0;
  for (int u = 0; u < kInterleave; ++u) {
    const int64_t first = j0 + int64_t{kLanes} * u;
    const int64_t left = n - first;
    const int32_t live = static_cast<int32_t>(left < 0        ? 0
                                              : left < kLanes ? left
                                                              : kLanes);
    inside[u] =
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(live), lane));
    const __m256 jf = _mm256_cvtepi32_ps(
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(first)), lane));
    r[u] = _mm256_add_ps(_mm256_mul_ps(jf, ray.step), ray.r0);
  }
  for (int u = 0; u < kInterleave; ++u) {
    x[u] = _mm256_add_ps(_mm256_mul_ps(ray.c, r[u]), ray.center_x);
    y[u] = _mm256_add_ps(_mm256_mul_ps(r[u], ray.s), ray.center_y);
  }
  for (int u = 0; u < kInterleave; ++u) {
    // Ordered comparisons: NaN positions are outside.
    __m256 in = _mm256_and_ps(_mm256_cmp_ps(x[u], zero, _CMP_GE_OQ),
                              _mm256_cmp_ps(x[u], ray.max_x, _CMP_LE_OQ));
    in = _mm256_and_ps(in, _mm256_cmp_ps(y[u], zero, _CMP_GE_OQ));
    in = _mm256_and_ps(in, _mm256_cmp_ps(y[u], ray.max_y, _CMP_LE_OQ));
    inside[u] = _mm256_and_ps(in, inside[u]);
    any_inside |= _mm256_movemask_ps(inside[u]);
    g[u].inside = inside[u];
    // Outside lanes continue at pixel (0, 0), a valid address; their
    // values are replaced by the outside marker when stored.
    x[u] = _mm256_and_ps(x[u], inside[u]);
    y[u] = _mm256_and_ps(y[u], inside[u]);
    x0[u] = _mm256_cvttps_epi32(x[u]);
    y0[u] = _mm256_cvttps_epi32(y[u]);
  }
  for (int u = 0; u < kInterleave; ++u) {
    const __m256i y1 = _mm256_min_epi32(
        _mm256_add_epi32(y0[u], _mm256_set1_epi32(1)), ray.last_row);
    // The pair starts at x0, or one column earlier on the last column,
    // where x1 = x0 and both neighbours are the right pixel of the pair.
    const __m256i pair = _mm256_min_epi32(x0[u], ray.last_pair);
    g[u].on_last_col = _mm256_castsi256_ps(_mm256_cmpgt_epi32(x0[u], pair));
    _mm256_store_si256(
        reinterpret_cast<__m256i*>(g[u].top),
        _mm256_add_epi32(_mm256_mullo_epi32(y0[u], ray.cols), pair));
    _mm256_store_si256(
        reinterpret_cast<__m256i*>(g[u].bottom),
        _mm256_add_epi32(_mm256_mullo_epi32(y1, ray.cols), pair));
  }
  for (int u = 0; u < kInterleave; ++u) {
    const __m256 fx = _mm256_sub_ps(x[u], _mm256_cvtepi32_ps(x0[u]));
    const __m256 fy = _mm256_sub_ps(y[u], _mm256_cvtepi32_ps(y0[u]));
    const __m256 gx = _mm256_sub_ps(one, fx);
    const __m256 gy = _mm256_sub_ps(one, fy);
    g[u].w00 = _mm256_mul_ps(gx, gy);
    g[u].w10 = _mm256_mul_ps(fx, gy);
    g[u].w01 = _mm256_mul_ps(gx, fy);
    g[u].w11 = _mm256_mul_ps(fx, fy);
  }
  return any_inside;
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
  Ray ray;
  ray.step = _mm256_set1_ps(step);
  ray.r0 = _mm256_set1_ps(r0);
  ray.c = _mm256_set1_ps(c);
  ray.s = _mm256_set1_ps(s);
  ray.center_x = _mm256_set1_ps(center_x);
  ray.center_y = _mm256_set1_ps(center_y);
  // Exact: both sides are at most 2^24 here.
  ray.max_x = _mm256_set1_ps(static_cast<float>(cols - 1));
  ray.max_y = _mm256_set1_ps(static_cast<float>(rows - 1));
  ray.last_row = _mm256_set1_epi32(rows - 1);
  ray.last_pair = _mm256_set1_epi32(cols - 2);
  ray.cols = _mm256_set1_epi32(cols);
  const __m256 outside = _mm256_set1_ps(static_cast<float>(kOutside));

  int any_inside = 0;
  BlockGeometry chunk[kBlocksPerChunk];
  const int64_t n = sample_count;
  for (int64_t chunk_start = 0; chunk_start < n;
       chunk_start += kLanes * kBlocksPerChunk) {
    const int64_t left = n - chunk_start;
    const int32_t blocks = static_cast<int32_t>(
        left >= kLanes * kBlocksPerChunk ? kBlocksPerChunk
                                         : (left + kLanes - 1) / kLanes);
    for (int32_t b = 0; b < blocks; b += kInterleave) {
      any_inside |=
          geometry(ray, chunk_start + int64_t{kLanes} * b, n, chunk + b);
    }
    for (int32_t b = 0; b < blocks; ++b) {
      const BlockGeometry& g = chunk[b];
      const int64_t j0 = chunk_start + int64_t{kLanes} * b;
      const Pairs top = load_pairs(grad_x, grad_y, g.top);
      const Pairs bottom = load_pairs(grad_x, grad_y, g.bottom);
      const __m256 vx = interpolate(top.left_x, top.right_x, bottom.left_x,
                                    bottom.right_x, g);
      const __m256 vy = interpolate(top.left_y, top.right_y, bottom.left_y,
                                    bottom.right_y, g);
      const __m256 response =
          _mm256_add_ps(_mm256_mul_ps(vy, ray.s), _mm256_mul_ps(vx, ray.c));

      // The marker goes in as a float: widening keeps -infinity exact.
      const __m256 marked = _mm256_blendv_ps(outside, response, g.inside);
      const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(marked));
      const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(marked, 1));
      if (n - j0 >= kLanes) {
        _mm256_storeu_pd(profile + j0, lo);
        _mm256_storeu_pd(profile + j0 + 4, hi);
      } else {
        alignas(32) double tail[kLanes];
        _mm256_store_pd(tail, lo);
        _mm256_store_pd(tail + 4, hi);
        for (int64_t k = 0; j0 + k < n; ++k) profile[j0 + k] = tail[k];
      }
    }
  }
  return any_inside != 0;
}

}  // namespace avx2
}  // namespace pupil
