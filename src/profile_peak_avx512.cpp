// AVX-512 twins of the reference filter and peak search. The filter computes
// eight outputs per vector, each lane summing its own taps in tap order, so
// every sum is formed exactly as in the reference loop. Built with
// -mavx512f (never FMA) and without contraction; uses only intrinsics and
// its own internal helpers.
#include <immintrin.h>

#include <cstdint>

#include "profile_peak.h"

namespace pupil {
namespace avx512 {
namespace {

constexpr int64_t kLanes = 8;
// Vectors of outputs filtered together: their sums are independent, so the
// CPU overlaps their additions instead of waiting on one running sum.
constexpr int kGroup = 4;

inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

// Lanes of the entries that are neither infinite nor NaN.
inline __mmask8 finite_lanes(__m512d v) {
  return _mm512_cmp_pd_mask(_mm512_abs_pd(v), _mm512_set1_pd(__builtin_inf()),
                            _CMP_LT_OQ);
}

// Lanes start + i (0 <= i < 8) with 0 <= start + i < n.
inline __mmask8 in_range(int64_t start, int64_t n) {
  const int64_t lo = max64(0, -start);
  const int64_t hi = min64(kLanes, n - start);
  if (hi <= lo) return 0;
  return static_cast<__mmask8>(((1u << hi) - 1u) & ~((1u << lo) - 1u));
}

bool all_finite(const double* v, int64_t n) {
  __mmask8 ok = 0xFF;
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    ok &= finite_lanes(_mm512_loadu_pd(v + i));
  // Lanes past the end read 0.0, which is finite.
  if (i < n) ok &= finite_lanes(_mm512_maskz_loadu_pd(in_range(i, n), v + i));
  return ok == 0xFF;
}

// profile[start .. start + 7], with 0.0 in lanes off the profile; masked
// lanes are never read from memory.
inline __m512d load_window(const double* profile, int64_t n, int64_t start) {
  if (start >= 0 && start + kLanes <= n)
    return _mm512_loadu_pd(profile + start);
  // The address may lie outside the array; only in-range lanes touch it.
  const double* at = reinterpret_cast<const double*>(
      reinterpret_cast<uintptr_t>(profile) +
      static_cast<uintptr_t>(start) * sizeof(double));
  return _mm512_maskz_loadu_pd(in_range(start, n), at);
}

// Finite taps: outputs k0 .. k0 + 8 * kVectors - 1 into `out`. A tap that
// lands off the profile reads 0.0, and so does a non-finite sample (unless
// kClean says there is none): with a finite tap its product is a zero, and
// adding a zero to a sum that started at +0.0 (and so is never -0.0) changes
// nothing. No per-tap masks are needed on whole windows.
template <int kVectors, bool kClean>
inline void filter_group(const double* profile, int64_t n, const double* kernel,
                         int64_t kernel_len, int64_t half, int64_t k0,
                         __m512d* out) {
  constexpr int64_t kWidth = kLanes * kVectors;
  // Lane i of vector v filters output k0 + 8v + i; tap t lands on
  // first + 8v + t + i.
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
  __m512d sum[kVectors];
  for (int v = 0; v < kVectors; ++v) sum[v] = _mm512_setzero_pd();

  auto accumulate = [&](int64_t t, bool full) {
    const __m512d tap = _mm512_set1_pd(kernel[t]);
    for (int v = 0; v < kVectors; ++v) {
      const int64_t start = first + kLanes * v + t;
      // A window wholly off the profile would add exact zeros.
      if (!full && (start + kLanes <= 0 || start >= n)) continue;
      __m512d x = full ? _mm512_loadu_pd(profile + start)
                       : load_window(profile, n, start);
      if (!kClean) x = _mm512_maskz_mov_pd(finite_lanes(x), x);
      sum[v] = _mm512_add_pd(_mm512_mul_pd(x, tap), sum[v]);
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
                                int64_t half, int64_t k0, __m512d* out) {
  constexpr int64_t kWidth = kLanes * kVectors;
  const int64_t first = k0 - half;
  const int64_t t_begin = max64(0, -(first + kWidth - 1));
  const int64_t t_end = min64(kernel_len, n - first);
  __m512d sum[kVectors];
  __mmask8 contributed[kVectors];
  for (int v = 0; v < kVectors; ++v) {
    sum[v] = _mm512_setzero_pd();
    contributed[v] = 0;
  }
  for (int64_t t = t_begin; t < t_end; ++t) {
    const __m512d tap = _mm512_set1_pd(kernel[t]);
    for (int v = 0; v < kVectors; ++v) {
      const int64_t start = first + kLanes * v + t;
      const __m512d x = load_window(profile, n, start);
      const __mmask8 take = in_range(start, n) & finite_lanes(x);
      sum[v] = _mm512_mask_add_pd(sum[v], take, _mm512_mul_pd(x, tap), sum[v]);
      contributed[v] |= take;
    }
  }
  const __m512d outside = _mm512_set1_pd(kOutside);
  for (int v = 0; v < kVectors; ++v)
    out[v] = _mm512_mask_blend_pd(contributed[v], outside, sum[v]);
}

template <int kVectors, bool kClean>
struct FiniteTaps {
  static void run(const double* profile, int64_t n, const double* kernel,
                  int64_t kernel_len, int64_t half, int64_t k0, __m512d* out) {
    filter_group<kVectors, kClean>(profile, n, kernel, kernel_len, half, k0,
                                   out);
  }
};

template <int kVectors, bool kUnused>  // one signature with FiniteTaps
struct AnyTaps {
  static void run(const double* profile, int64_t n, const double* kernel,
                  int64_t kernel_len, int64_t half, int64_t k0, __m512d* out) {
    filter_group_masked<kVectors>(profile, n, kernel, kernel_len, half, k0,
                                  out);
  }
};

// Runs Group over all outputs: whole groups of kGroup vectors, then single
// vectors, the last one stored only as far as the profile goes.
template <template <int, bool> class Group, bool kFlag>
void filter_all(const double* profile, int64_t n, const double* kernel,
                int64_t kernel_len, double* filtered) {
  const int64_t half = kernel_len / 2;
  int64_t k0 = 0;
  for (; k0 + kLanes * kGroup <= n; k0 += kLanes * kGroup) {
    __m512d out[kGroup];
    Group<kGroup, kFlag>::run(profile, n, kernel, kernel_len, half, k0, out);
    for (int v = 0; v < kGroup; ++v)
      _mm512_storeu_pd(filtered + k0 + kLanes * v, out[v]);
  }
  for (; k0 < n; k0 += kLanes) {
    __m512d out[1];
    Group<1, kFlag>::run(profile, n, kernel, kernel_len, half, k0, out);
    _mm512_mask_storeu_pd(filtered + k0, in_range(k0, n), out[0]);
  }
}

}  // namespace

void filter_profile_avx512(const double* profile, int32_t sample_count,
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

int32_t find_profile_peak_avx512(const double* filtered, int32_t sample_count) {
  // Each lane of two accumulators keeps the first largest entry of its own
  // column (strict, ordered: NaN never wins); the lanes are then merged by
  // value and, among equals, by the earliest index.
  const __m512d outside = _mm512_set1_pd(kOutside);
  __m512d m[2] = {outside, outside};
  __m512i at[2] = {_mm512_set1_epi64(-1), _mm512_set1_epi64(-1)};
  __m512i index[2] = {_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7),
                      _mm512_setr_epi64(8, 9, 10, 11, 12, 13, 14, 15)};
  const __m512i step = _mm512_set1_epi64(2 * kLanes);
  int64_t l = 0;
  for (; l + 2 * kLanes <= sample_count; l += 2 * kLanes) {
    for (int a = 0; a < 2; ++a) {
      const __m512d v = _mm512_loadu_pd(filtered + l + kLanes * a);
      const __mmask8 greater = _mm512_cmp_pd_mask(v, m[a], _CMP_GT_OQ);
      m[a] = _mm512_mask_mov_pd(m[a], greater, v);
      at[a] = _mm512_mask_mov_epi64(at[a], greater, index[a]);
      index[a] = _mm512_add_epi64(index[a], step);
    }
  }
  double lane_max[2 * kLanes];
  int64_t lane_at[2 * kLanes];
  for (int a = 0; a < 2; ++a) {
    _mm512_storeu_pd(lane_max + kLanes * a, m[a]);
    _mm512_storeu_si512(lane_at + kLanes * a, at[a]);
  }
  double best_value = kOutside;
  for (int64_t i = 0; i < 2 * kLanes; ++i) {
    if (lane_max[i] > best_value) best_value = lane_max[i];
  }
  int64_t best = -1;
  if (best_value > kOutside) {
    for (int64_t i = 0; i < 2 * kLanes; ++i) {
      if (lane_max[i] == best_value && (best < 0 || lane_at[i] < best))
        best = lane_at[i];
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

}  // namespace avx512
}  // namespace pupil
