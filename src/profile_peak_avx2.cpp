// AVX2 twins of the reference filter and peak search. The filter runs four
// outputs at a time, each lane summing its own taps in tap order, so every
// sum is formed exactly as in the reference loop. Built with -mavx2 (never
// -mfma) and without contraction; uses only intrinsics and its own
// internal helpers.
#include <immintrin.h>

#include "profile_peak.h"

namespace pupil {
namespace avx2 {
namespace {

constexpr int64_t kLanes = 4;

inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

// Lane mask of the entries that are neither infinite nor NaN.
inline __m256d finite_mask(__m256d v) {
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), v);
  return _mm256_cmp_pd(magnitude, _mm256_set1_pd(__builtin_inf()), _CMP_LT_OQ);
}

bool all_finite(const double* v, int64_t n) {
  __m256d ok = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    ok = _mm256_and_pd(ok, finite_mask(_mm256_loadu_pd(v + i)));
  if (_mm256_movemask_pd(ok) != 0xF) return false;
  for (; i < n; ++i) {
    if (!__builtin_isfinite(v[i])) return false;
  }
  return true;
}

// profile[start .. start + 3], with 0.0 for entries off the profile. Only
// the first and last few taps of a block straddle an end.
inline __m256d load_window(const double* profile, int64_t n, int64_t start) {
  if (start >= 0 && start + kLanes <= n)
    return _mm256_loadu_pd(profile + start);
  double lanes[kLanes];
  for (int64_t i = 0; i < kLanes; ++i) {
    const int64_t l = start + i;
    lanes[i] = l >= 0 && l < n ? profile[l] : 0.0;
  }
  return _mm256_loadu_pd(lanes);
}

// Filters outputs k0 .. k0 + 4 * kVectors - 1 into `out` with the skip
// rule applied per lane by masks; this path takes kernels with infinite or
// NaN taps. Each vector of four outputs has its own running sum, so the
// additions of the group overlap instead of waiting on one another.
template <int kVectors>
inline void filter_group_masked(const double* profile, int64_t n,
                                const double* kernel, int64_t kernel_len,
                                int64_t half, int64_t k0, __m256d* out) {
  constexpr int64_t kWidth = kLanes * kVectors;
  // Lane i of vector v filters output k0 + 4v + i; tap t lands on
  // first + 4v + t + i.
  const int64_t first = k0 - half;
  // Taps that land on the profile for at least one lane of the group.
  const int64_t t_begin = max64(0, -(first + kWidth - 1));
  const int64_t t_end = min64(kernel_len, n - first);
  __m256d sum[kVectors];
  __m256d contributed[kVectors];
  for (int v = 0; v < kVectors; ++v) {
    sum[v] = _mm256_setzero_pd();
    contributed[v] = _mm256_setzero_pd();
  }
  const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
  const __m256i v_n = _mm256_set1_epi64x(n);
  const __m256i minus_one = _mm256_set1_epi64x(-1);
  for (int64_t t = t_begin; t < t_end; ++t) {
    const __m256d tap = _mm256_set1_pd(kernel[t]);
    for (int v = 0; v < kVectors; ++v) {
      const int64_t start = first + kLanes * v + t;
      const __m256d x = load_window(profile, n, start);
      const __m256i l = _mm256_add_epi64(_mm256_set1_epi64x(start), lane);
      const __m256i in_range = _mm256_and_si256(
          _mm256_cmpgt_epi64(l, minus_one), _mm256_cmpgt_epi64(v_n, l));
      const __m256d take =
          _mm256_and_pd(_mm256_castsi256_pd(in_range), finite_mask(x));
      const __m256d next = _mm256_add_pd(_mm256_mul_pd(x, tap), sum[v]);
      sum[v] = _mm256_blendv_pd(sum[v], next, take);
      contributed[v] = _mm256_or_pd(contributed[v], take);
    }
  }
  const __m256d minus_inf = _mm256_set1_pd(-__builtin_inf());
  for (int v = 0; v < kVectors; ++v)
    out[v] = _mm256_blendv_pd(minus_inf, sum[v], contributed[v]);
}

void filter_masked(const double* profile, int64_t n, const double* kernel,
                   int64_t kernel_len, double* filtered) {
  const int64_t half = kernel_len / 2;
  constexpr int kGroup = 4;
  int64_t k0 = 0;
  for (; k0 + kLanes * kGroup <= n; k0 += kLanes * kGroup) {
    __m256d out[kGroup];
    filter_group_masked<kGroup>(profile, n, kernel, kernel_len, half, k0, out);
    for (int v = 0; v < kGroup; ++v)
      _mm256_storeu_pd(filtered + k0 + kLanes * v, out[v]);
  }
  for (; k0 < n; k0 += kLanes) {
    __m256d out[1];
    filter_group_masked<1>(profile, n, kernel, kernel_len, half, k0, out);
    double lanes[kLanes];
    _mm256_storeu_pd(lanes, out[0]);
    for (int64_t i = 0; i < kLanes && k0 + i < n; ++i)
      filtered[k0 + i] = lanes[i];
  }
}

// Finite taps: the outputs are accumulated in place, a few taps at a time
// over every output they all reach, so each output still receives its taps
// in tap order, and the reach of a group of taps is a plain range with no
// masks. A non-finite sample is read as 0.0: with a finite tap its product
// is a zero, and adding a zero to a sum that started at +0.0 (and so is
// never -0.0) changes nothing. Outputs that no finite sample reaches are
// set apart afterwards.
void filter_finite_taps(const double* profile, int64_t n, const double* kernel,
                        int64_t kernel_len, double* filtered) {
  constexpr int64_t kTaps = 4;  // taps applied per pass over the outputs
  const int64_t half = kernel_len / 2;
  const bool clean = all_finite(profile, n);
  for (int64_t k = 0; k < n; ++k) filtered[k] = 0.0;
  for (int64_t t0 = 0; t0 < kernel_len; t0 += kTaps) {
    const int64_t taps = min64(kTaps, kernel_len - t0);
    // Tap t reaches outputs k with 0 <= k - half + t < n. `all` is the
    // range every tap of the group reaches, `any` the one some tap reaches.
    const int64_t any_begin = max64(0, half - t0 - taps + 1);
    const int64_t any_end = min64(n, n + half - t0);
    const int64_t all_begin = max64(0, half - t0);
    const int64_t all_end =
        max64(all_begin, min64(n, n + half - t0 - taps + 1));
    const double* src = profile - half + t0;  // src[k + g] is tap t0 + g's
    __m256d tap[kTaps];
    for (int64_t g = 0; g < taps; ++g) tap[g] = _mm256_set1_pd(kernel[t0 + g]);
    int64_t k = all_begin;
    for (; k + kLanes <= all_end; k += kLanes) {
      __m256d sum = _mm256_loadu_pd(filtered + k);
      for (int64_t g = 0; g < taps; ++g) {
        __m256d x = _mm256_loadu_pd(src + k + g);
        if (!clean) x = _mm256_and_pd(x, finite_mask(x));
        sum = _mm256_add_pd(_mm256_mul_pd(x, tap[g]), sum);
      }
      _mm256_storeu_pd(filtered + k, sum);
    }
    // The rest, one output at a time, each tap of the group in order.
    auto finish = [&](int64_t j) {
      double sum = filtered[j];
      for (int64_t g = 0; g < taps; ++g) {
        const int64_t l = j - half + t0 + g;
        if (l >= 0 && l < n && __builtin_isfinite(profile[l]))
          sum = profile[l] * kernel[t0 + g] + sum;
      }
      filtered[j] = sum;
    };
    for (int64_t j = any_begin; j < min64(all_begin, any_end); ++j) finish(j);
    for (int64_t j = k; j < any_end; ++j) finish(j);
  }
  if (clean) return;  // every output is reached by a finite sample
  // Output k reaches samples [k - half, k - half + kernel_len - 1]; both
  // ends only grow with k, so one forward scan finds the first finite sample
  // in reach.
  int64_t next_finite = 0;
  for (int64_t k = 0; k < n; ++k) {
    const int64_t lo = max64(0, k - half);
    const int64_t hi = min64(n - 1, k - half + kernel_len - 1);
    if (next_finite < lo) next_finite = lo;
    while (next_finite < n && !__builtin_isfinite(profile[next_finite]))
      ++next_finite;
    if (next_finite > hi) filtered[k] = -__builtin_inf();
  }
}

}  // namespace

void filter_profile_avx2(const double* profile, int32_t sample_count,
                         const double* kernel, int32_t kernel_len,
                         double* filtered) {
  const int64_t n = sample_count;
  if (kernel_len <= 0) {
    for (int64_t k = 0; k < n; ++k) filtered[k] = -__builtin_inf();
    return;
  }
  if (all_finite(kernel, kernel_len)) {
    filter_finite_taps(profile, n, kernel, kernel_len, filtered);
  } else {
    filter_masked(profile, n, kernel, kernel_len, filtered);
  }
}

int32_t find_profile_peak_avx2(const double* filtered, int32_t sample_count) {
  // Each lane keeps the first largest entry of its own column (strict,
  // ordered: NaN never wins); the lanes are then merged by value and, among
  // equals, by the earliest index.
  __m256d m = _mm256_set1_pd(-__builtin_inf());
  __m256d at = _mm256_set1_pd(-1.0);
  __m256d index = _mm256_setr_pd(0, 1, 2, 3);
  const __m256d step = _mm256_set1_pd(kLanes);
  int32_t l = 0;
  for (; l + kLanes <= sample_count; l += kLanes) {
    const __m256d v = _mm256_loadu_pd(filtered + l);
    const __m256d greater = _mm256_cmp_pd(v, m, _CMP_GT_OQ);
    m = _mm256_blendv_pd(m, v, greater);
    at = _mm256_blendv_pd(at, index, greater);
    index = _mm256_add_pd(index, step);
  }
  double lane_max[kLanes], lane_at[kLanes];
  _mm256_storeu_pd(lane_max, m);
  _mm256_storeu_pd(lane_at, at);
  double best_value = -__builtin_inf();
  for (int64_t i = 0; i < kLanes; ++i) {
    if (lane_max[i] > best_value) best_value = lane_max[i];
  }
  int32_t best = -1;
  if (best_value > -__builtin_inf()) {
    for (int64_t i = 0; i < kLanes; ++i) {
      const int32_t candidate = static_cast<int32_t>(lane_at[i]);
      if (lane_max[i] == best_value && (best < 0 || candidate < best))
        best = candidate;
    }
  }
  // The tail follows every vector index, so strict comparison keeps the
  // earliest of equal maxima.
  for (; l < sample_count; ++l) {
    if (filtered[l] > best_value) {
      best = l;
      best_value = filtered[l];
    }
  }
  if (best < 0 || !__builtin_isfinite(best_value)) return -1;
  return best;
}

}  // namespace avx2
}  // namespace pupil
