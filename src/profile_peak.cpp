// Reference filter and peak search: plain loops in the exact order of
// operations that every faster variant must reproduce bit for bit.
#include "profile_peak.h"

#include <algorithm>
#include <cmath>  // std::isfinite

namespace pupil {

void filter_profile(const double* profile, int32_t sample_count,
                    const double* taps, int32_t tap_count, double* filtered) {
  const int64_t half = tap_count / 2;
  for (int64_t k = 0; k < sample_count; ++k) {
    if (tap_count <= 0) {
      filtered[k] = kOutside;
      continue;
    }
    // Tap t lands on sample k - half + t. Taps that land off the profile
    // contribute nothing, so only the range that lands on it is visited; this
    // keeps a filter far longer than the profile cheap. 64-bit throughout, as
    // k - half + t can leave the 32-bit range.
    const int64_t t_begin = std::max<int64_t>(0, half - k);
    const int64_t t_end = std::min<int64_t>(tap_count, sample_count + half - k);
    double sum = 0.0;
    bool contributed = false;
    for (int64_t t = t_begin; t < t_end; ++t) {
      const double v = profile[k - half + t];
      if (std::isfinite(v)) {
        sum = v * taps[t] + sum;
        contributed = true;
      }
    }
    filtered[k] = contributed ? sum : kOutside;
  }
}

int32_t find_profile_peak(const double* filtered, int32_t sample_count) {
  int32_t best = -1;
  double m = kOutside;
  for (int32_t l = 0; l < sample_count; ++l) {
    // Strict and ordered: the earliest of equal maxima wins, NaN never does.
    if (filtered[l] > m) {
      best = l;
      m = filtered[l];
    }
  }
  if (best < 0 || !std::isfinite(m)) return -1;
  return best;
}

int32_t filter_profile_peak(const double* profile, int32_t sample_count,
                            const double* taps, int32_t tap_count,
                            double* filtered) {
  filter_profile(profile, sample_count, taps, tap_count, filtered);
  return find_profile_peak(filtered, sample_count);
}

bool mark_unreached(const double* profile, int32_t sample_count,
                    int32_t tap_count, double* filtered) {
  // Output k reaches samples [k - half, k - half + tap_count - 1]; both
  // ends only grow with k, so one forward scan finds the first finite
  // sample in reach.
  const int64_t n = sample_count;
  const int64_t half = tap_count / 2;
  int64_t next_finite = 0;
  bool marked = false;
  for (int64_t k = 0; k < n; ++k) {
    const int64_t lo = std::max<int64_t>(0, k - half);
    const int64_t hi = std::min<int64_t>(n - 1, k - half + tap_count - 1);
    if (next_finite < lo) next_finite = lo;
    while (next_finite < n && !std::isfinite(profile[next_finite]))
      ++next_finite;
    if (next_finite > hi) {
      filtered[k] = kOutside;
      marked = true;
    }
  }
  return marked;
}

}  // namespace pupil
