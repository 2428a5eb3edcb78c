// The vector sampler, written once for every instruction set as templates
// over a traits type V (vector_traits.h). Internal linkage: each set's
// translation unit compiles its own instances with its own flags, so no code
// built for one set can be merged into another or into the code that runs
// on every CPU. Each lane does exactly the reference's single-precision
// operations in the same order.
#ifndef PUPIL_RADIAL_SIMD_RAY_PROFILE_SIMD_H
#define PUPIL_RADIAL_SIMD_RAY_PROFILE_SIMD_H

#include <cstdint>

#include "ray_profile.h"
#include "simd/vector_traits.h"

namespace pupil::simd {
namespace {

// Images whose sides and pixel count fit here are sampled with 32-bit
// indices and exact float coordinates; anything larger goes to the
// reference code, which handles every size.
constexpr int32_t kMaxSide = 1 << 24;
constexpr int64_t kMaxPixels = int64_t{1} << 31;

// The ray's constants, broadcast once per call.
template <class V>
struct Ray {
  typename V::F step, r0, c, s, center_x, center_y, max_x, max_y;
  typename V::I last_row, last_pair, cols;
};

// Where and how one block of lanes reads the images.
template <class V>
struct Block {
  typename V::Index top, bottom;  // the pairs in rows y0 and y1
  typename V::F w00, w10, w01, w11;
  typename V::M on_last_col;  // x1 = x0: take the pair's right pixel
  typename V::M inside;
};

// Geometry of the kBlocks blocks from sample j0 on: the reference's
// radius, position, bound test, truncation, fractions and weights, lane by
// lane in the same order, statement by statement across the blocks so
// that their independent chains interleave. Lanes at or past n are
// outside; their index arithmetic may wrap, but they are never loaded or
// stored. Returns whether any lane is inside.
template <class V, int kBlocks>
inline bool geometry(const Ray<V>& ray, int64_t j0, int64_t n, Block<V>* g) {
  using F = typename V::F;
  using I = typename V::I;
  using M = typename V::M;
  const F zero = V::set1(0.0f);
  const F one = V::set1(1.0f);
  F r[kBlocks], x[kBlocks], y[kBlocks];
  M inside[kBlocks];
  I x0[kBlocks], y0[kBlocks];
  bool any_inside = false;
  for (int u = 0; u < kBlocks; ++u) {
    const int64_t first = j0 + int64_t{V::kFloats} * u;
    const int64_t left = n - first;
    inside[u] = V::first_lanes(left < 0            ? 0
                               : left < V::kFloats ? static_cast<int32_t>(left)
                                                   : V::kFloats);
    const F jf =
        V::to_float(V::iadd(V::iset1(static_cast<int32_t>(first)), V::iota()));
    r[u] = jf * ray.step + ray.r0;
  }
  for (int u = 0; u < kBlocks; ++u) {
    x[u] = ray.c * r[u] + ray.center_x;
    y[u] = r[u] * ray.s + ray.center_y;
  }
  for (int u = 0; u < kBlocks; ++u) {
    // Ordered comparisons: NaN positions are outside.
    M in = V::both(V::ge(x[u], zero), V::le(x[u], ray.max_x));
    in = V::both(in, V::ge(y[u], zero));
    in = V::both(in, V::le(y[u], ray.max_y));
    inside[u] = V::both(in, inside[u]);
    any_inside |= V::any(inside[u]);
    g[u].inside = inside[u];
    // Outside lanes continue at pixel (0, 0), a valid address; their
    // values are replaced by the outside marker when stored.
    x[u] = V::zero_unless(inside[u], x[u]);
    y[u] = V::zero_unless(inside[u], y[u]);
    x0[u] = V::truncate(x[u]);
    y0[u] = V::truncate(y[u]);
  }
  for (int u = 0; u < kBlocks; ++u) {
    const I y1 = V::imin(V::iadd(y0[u], V::iset1(1)), ray.last_row);
    // The pair starts at x0, or one column earlier on the last column,
    // where x1 = x0 and both neighbours are the right pixel of the pair.
    const I pair = V::imin(x0[u], ray.last_pair);
    g[u].on_last_col = V::igt(x0[u], pair);
    g[u].top = V::index(V::iadd(V::imullo(y0[u], ray.cols), pair));
    g[u].bottom = V::index(V::iadd(V::imullo(y1, ray.cols), pair));
  }
  for (int u = 0; u < kBlocks; ++u) {
    const F fx = x[u] - V::to_float(x0[u]);
    const F fy = y[u] - V::to_float(y0[u]);
    const F gx = one - fx;
    const F gy = one - fy;
    g[u].w00 = gx * gy;
    g[u].w10 = fx * gy;
    g[u].w01 = gx * fy;
    g[u].w11 = fx * fy;
  }
  return any_inside;
}

// ((p00 w00 + p10 w10) + p01 w01) + p11 w11, in that grouping.
template <class V>
inline typename V::F interpolate(typename V::F top_left,
                                 typename V::F top_right,
                                 typename V::F bottom_left,
                                 typename V::F bottom_right,
                                 const Block<V>& g) {
  const auto p00 = V::select(g.on_last_col, top_left, top_right);
  const auto p01 = V::select(g.on_last_col, bottom_left, bottom_right);
  return ((p00 * g.w00 + top_right * g.w10) + p01 * g.w01) +
         bottom_right * g.w11;
}

template <class V>
bool sample_ray_profile_simd(const float* grad_x, const float* grad_y,
                             int32_t rows, int32_t cols, float center_x,
                             float center_y, float r0, float step, float c,
                             float s, int32_t sample_count, double* profile) {
  // Pair fetches need two columns; see kMaxSide for the rest.
  if (rows < 1 || cols < 2 || rows > kMaxSide || cols > kMaxSide ||
      int64_t{rows} * cols >= kMaxPixels) {
    return sample_ray_profile(grad_x, grad_y, rows, cols, center_x, center_y,
                              r0, step, c, s, sample_count, profile);
  }
  // Exact: both sides are at most 2^24 here.
  const float max_x = static_cast<float>(cols - 1);
  const float max_y = static_cast<float>(rows - 1);
  const Ray<V> ray = {V::set1(step),      V::set1(r0),       V::set1(c),
                      V::set1(s),         V::set1(center_x), V::set1(center_y),
                      V::set1(max_x),     V::set1(max_y),    V::iset1(rows - 1),
                      V::iset1(cols - 2), V::iset1(cols)};
  const auto outside = V::set1(static_cast<float>(kOutside));

  // Samples go in chunks: first the geometry of every block in the chunk
  // (pure arithmetic), then the pixel fetches and the interpolation, which
  // gives the CPU independent work to overlap with the loads.
  constexpr int64_t kChunk = int64_t{V::kFloats} * V::kBlocksPerChunk;
  bool any_inside = false;
  Block<V> chunk[V::kBlocksPerChunk];
  const int64_t n = sample_count;
  for (int64_t chunk_start = 0; chunk_start < n; chunk_start += kChunk) {
    const int64_t left = n - chunk_start;
    const int32_t blocks = static_cast<int32_t>(
        left >= kChunk ? V::kBlocksPerChunk
                       : (left + V::kFloats - 1) / V::kFloats);
    // kInterleave blocks at a time, and the last ones one by one (a short
    // ray would otherwise pay for blocks past its end).
    int32_t b = 0;
    for (; b + V::kInterleave <= blocks; b += V::kInterleave) {
      any_inside |= geometry<V, V::kInterleave>(
          ray, chunk_start + int64_t{V::kFloats} * b, n, chunk + b);
    }
    for (; b < blocks; ++b) {
      any_inside |= geometry<V, 1>(ray, chunk_start + int64_t{V::kFloats} * b,
                                   n, chunk + b);
    }
    for (int32_t b = 0; b < blocks; ++b) {
      const Block<V>& g = chunk[b];
      const int64_t j0 = chunk_start + int64_t{V::kFloats} * b;
      // Outside lanes read pixel pair (0, 1), which exists.
      typename V::F top_left_x, top_right_x, top_left_y, top_right_y;
      typename V::F bottom_left_x, bottom_right_x, bottom_left_y,
          bottom_right_y;
      V::pairs(grad_x, grad_y, g.top, top_left_x, top_right_x, top_left_y,
               top_right_y);
      V::pairs(grad_x, grad_y, g.bottom, bottom_left_x, bottom_right_x,
               bottom_left_y, bottom_right_y);
      const auto vx = interpolate<V>(top_left_x, top_right_x, bottom_left_x,
                                     bottom_right_x, g);
      const auto vy = interpolate<V>(top_left_y, top_right_y, bottom_left_y,
                                     bottom_right_y, g);
      const auto response = vy * ray.s + vx * ray.c;
      // The marker goes in as a float: widening keeps -infinity exact.
      V::store_widened(profile + j0, V::select(g.inside, outside, response),
                       n - j0);
    }
  }
  return any_inside;
}

}  // namespace
}  // namespace pupil::simd

#endif
