// AVX2 twins of the reference filter and peak search. The filter computes
// four outputs per vector, each lane summing its own taps in tap order, so
// every sum is formed exactly as in the reference loop. Built with -mavx2
// (never -mfma) and without contraction; uses only intrinsics and its own
// internal helpers.
#include <immintrin.h>

#include <cstdint>

#include "profile_peak.h"

namespace pupil {
namespace avx2 {
namespace {

constexpr int64_t kLanes = 4;
// Vectors of outputs filtered together: their sums are independent, so the
// CPU overlaps their additions instead of waiting on one running sum.
constexpr int kGroup = 4;

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

// Lanes l = start .. start + 3 with 0 <= l < n.
inline __m256i in_range(int64_t start, int64_t n) {
  const __m256i l = _mm256_add_epi64(_mm256_set1_epi64x(start),
                                     _mm256_setr_epi64x(0, 1, 2, 3));
  return _mm256_and_si256(_mm256_cmpgt_epi64(l, _mm256_set1_epi64x(-1)),
                          _mm256_cmpgt_epi64(_mm256_set1_epi64x(n), l));
}

// profile[start .. start + 3], with 0.0 in lanes off the profile; those
// lanes are never read from memory.
inline __m256d load_window(const double* profile, int64_t n, int64_t start) {
  if (start >= 0 && start + kLanes <= n)
    return _mm256_loadu_pd(profile + start);
  // The address may lie outside the array; only in-range lanes touch it.
  const double* at = reinterpret_cast<const double*>(
      reinterpret_cast<uintptr_t>(profile) +
      static_cast<uintptr_t>(start) * sizeof(double));
  return _mm256_maskload_pd(at, in_range(start, n));
}

// Finite taps: outputs k0 .. k0 + 4 * kVectors - 1 into `out`. A tap that
// lands off the profile reads 0.0, and so does a non-finite sample (unless
// kClean says there is none): with a finite tap its product is a zero, and
// adding a zero to a sum that started at +0.0 (and so is never -0.0) changes
// nothing. No per-lane masks are needed.
template <int kVectors, bool kClean>
inline void filter_group(const double* profile, int64_t n, const double* kernel,
                         int64_t kernel_len, int64_t half, int64_t k0,
                         __m256d* out) {
  constexpr int64_t kWidth = kLanes * kVectors;
  // Lane i of vector v filters output k0 + 4v + i; tap t lands on
  // first + 4v + t + i.
  const int64_t first = k0 - half;
  // Taps that land on the profile for some lane that is a real output (the
  // last group may run past the end); in [full_begin, full_end) every
  // lane's tap does. Only these taps were checked to be finite.
  const int64_t t_begin =
      max64(0, max64(-(first + kWidth - 1), half - (n - 1)));
  const int64_t t_end = min64(kernel_len, n - first);
  const int64_t full_begin = min64(t_end, max64(t_begin, -first));
  const int64_t full_end =
      max64(full_begin, min64(t_end, n - first - kWidth + 1));
  __m256d sum[kVectors];
  for (int v = 0; v < kVectors; ++v) sum[v] = _mm256_setzero_pd();

  auto accumulate = [&](int64_t t, bool full) {
    const __m256d tap = _mm256_set1_pd(kernel[t]);
    for (int v = 0; v < kVectors; ++v) {
      const int64_t start = first + kLanes * v + t;
      // A window wholly off the profile would add exact zeros.
      if (!full && (start + kLanes <= 0 || start >= n)) continue;
      __m256d x = full ? _mm256_loadu_pd(profile + start)
                       : load_window(profile, n, start);
      if (!kClean) x = _mm256_and_pd(x, finite_mask(x));
      sum[v] = _mm256_add_pd(_mm256_mul_pd(x, tap), sum[v]);
    }
  };
  for (int64_t t = t_begin; t < full_begin; ++t) accumulate(t, false);
  for (int64_t t = full_begin; t < full_end; ++t) accumulate(t, true);
  for (int64_t t = full_end; t < t_end; ++t) accumulate(t, false);
  for (int v = 0; v < kVectors; ++v) out[v] = sum[v];
}

// Any taps, infinite or NaN included: the reference's skip rule applied per
// lane with masks, and the outputs no tap contributed to set apart.
template <int kVectors>
inline void filter_group_masked(const double* profile, int64_t n,
                                const double* kernel, int64_t kernel_len,
                                int64_t half, int64_t k0, __m256d* out) {
  constexpr int64_t kWidth = kLanes * kVectors;
  const int64_t first = k0 - half;
  const int64_t t_begin = max64(0, -(first + kWidth - 1));
  const int64_t t_end = min64(kernel_len, n - first);
  __m256d sum[kVectors];
  __m256d contributed[kVectors];
  for (int v = 0; v < kVectors; ++v) {
    sum[v] = _mm256_setzero_pd();
    contributed[v] = _mm256_setzero_pd();
  }
  for (int64_t t = t_begin; t < t_end; ++t) {
    const __m256d tap = _mm256_set1_pd(kernel[t]);
    for (int v = 0; v < kVectors; ++v) {
      const int64_t start = first + kLanes * v + t;
      const __m256d x = load_window(profile, n, start);
      const __m256d take = _mm256_and_pd(
          _mm256_castsi256_pd(in_range(start, n)), finite_mask(x));
      const __m256d next = _mm256_add_pd(_mm256_mul_pd(x, tap), sum[v]);
      sum[v] = _mm256_blendv_pd(sum[v], next, take);
      contributed[v] = _mm256_or_pd(contributed[v], take);
    }
  }
  const __m256d outside = _mm256_set1_pd(kOutside);
  for (int v = 0; v < kVectors; ++v)
    out[v] = _mm256_blendv_pd(outside, sum[v], contributed[v]);
}

// Runs Group over all outputs: whole groups of kGroup vectors, then single
// vectors, the last one stored only as far as the profile goes.
template <template <int, bool> class Group, bool kFlag>
void filter_all(const double* profile, int64_t n, const double* kernel,
                int64_t kernel_len, double* filtered) {
  const int64_t half = kernel_len / 2;
  int64_t k0 = 0;
  for (; k0 + kLanes * kGroup <= n; k0 += kLanes * kGroup) {
    __m256d out[kGroup];
    Group<kGroup, kFlag>::run(profile, n, kernel, kernel_len, half, k0, out);
    for (int v = 0; v < kGroup; ++v)
      _mm256_storeu_pd(filtered + k0 + kLanes * v, out[v]);
  }
  for (; k0 < n; k0 += kLanes) {
    __m256d out[1];
    Group<1, kFlag>::run(profile, n, kernel, kernel_len, half, k0, out);
    if (k0 + kLanes <= n) {
      _mm256_storeu_pd(filtered + k0, out[0]);
    } else {
      double lanes[kLanes];
      _mm256_storeu_pd(lanes, out[0]);
      for (int64_t i = 0; k0 + i < n; ++i) filtered[k0 + i] = lanes[i];
    }
  }
}

template <int kVectors, bool kClean>
struct FiniteTaps {
  static void run(const double* profile, int64_t n, const double* kernel,
                  int64_t kernel_len, int64_t half, int64_t k0, __m256d* out) {
    filter_group<kVectors, kClean>(profile, n, kernel, kernel_len, half, k0,
                                   out);
  }
};

template <int kVectors, bool kUnused>  // one signature with FiniteTaps
struct AnyTaps {
  static void run(const double* profile, int64_t n, const double* kernel,
                  int64_t kernel_len, int64_t half, int64_t k0, __m256d* out) {
    filter_group_masked<kVectors>(profile, n, kernel, kernel_len, half, k0,
                                  out);
  }
};

}  // namespace

void filter_profile_avx2(const double* profile, int32_t sample_count,
                         const double* kernel, int32_t kernel_len,
                         double* filtered) {
  const int64_t n = sample_count;
  if (kernel_len <= 0) {
    for (int64_t k = 0; k < n; ++k) filtered[k] = kOutside;
    return;
  }
  // Only taps that land on the profile for some output matter; a kernel far
  // longer than the profile costs no more than one as long as it.
  const int64_t half = kernel_len / 2;
  const int64_t reach_begin = max64(0, half - (n - 1));
  const int64_t reach_end = min64(kernel_len, n + half);
  if (!all_finite(kernel + reach_begin, reach_end - reach_begin)) {
    filter_all<AnyTaps, false>(profile, n, kernel, kernel_len, filtered);
  } else if (all_finite(profile, n)) {
    // Every output reaches some sample, and every sample is finite.
    filter_all<FiniteTaps, true>(profile, n, kernel, kernel_len, filtered);
  } else {
    filter_all<FiniteTaps, false>(profile, n, kernel, kernel_len, filtered);
    // An output whose reach holds no finite sample came out as 0.0.
    mark_unreached(profile, sample_count, kernel_len, filtered);
  }
}

int32_t find_profile_peak_avx2(const double* filtered, int32_t sample_count) {
  // Each lane of two accumulators keeps the first largest entry of its own
  // column (strict, ordered: NaN never wins); the lanes are then merged by
  // value and, among equals, by the earliest index.
  const __m256d outside = _mm256_set1_pd(kOutside);
  __m256d m[2] = {outside, outside};
  __m256d at[2] = {_mm256_set1_pd(-1.0), _mm256_set1_pd(-1.0)};
  __m256d index[2] = {_mm256_setr_pd(0, 1, 2, 3), _mm256_setr_pd(4, 5, 6, 7)};
  const __m256d step = _mm256_set1_pd(2 * kLanes);
  int64_t l = 0;
  for (; l + 2 * kLanes <= sample_count; l += 2 * kLanes) {
    for (int a = 0; a < 2; ++a) {
      const __m256d v = _mm256_loadu_pd(filtered + l + kLanes * a);
      const __m256d greater = _mm256_cmp_pd(v, m[a], _CMP_GT_OQ);
      m[a] = _mm256_blendv_pd(m[a], v, greater);
      at[a] = _mm256_blendv_pd(at[a], index[a], greater);
      index[a] = _mm256_add_pd(index[a], step);
    }
  }
  double lane_max[2 * kLanes], lane_at[2 * kLanes];
  for (int a = 0; a < 2; ++a) {
    _mm256_storeu_pd(lane_max + kLanes * a, m[a]);
    _mm256_storeu_pd(lane_at + kLanes * a, at[a]);
  }
  double best_value = kOutside;
  for (int64_t i = 0; i < 2 * kLanes; ++i) {
    if (lane_max[i] > best_value) best_value = lane_max[i];
  }
  int64_t best = -1;
  if (best_value > kOutside) {
    for (int64_t i = 0; i < 2 * kLanes; ++i) {
      const int64_t candidate = static_cast<int64_t>(lane_at[i]);
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
  return static_cast<int32_t>(best);
}

}  // namespace avx2
}  // namespace pupil
