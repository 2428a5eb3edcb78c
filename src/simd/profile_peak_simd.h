// The vector filter and peak search, written once for every instruction
// set as templates over a traits type V (vector_traits.h), with internal
// linkage like ray_profile_simd.h. The filter computes V::kDoubles outputs
// per vector, each lane summing its own taps in tap order, so every sum is
// formed exactly as in the reference loop; the peak is tracked as the
// outputs are produced.
#ifndef PUPIL_RADIAL_SIMD_PROFILE_PEAK_SIMD_H
#define PUPIL_RADIAL_SIMD_PROFILE_PEAK_SIMD_H

#include <cstdint>

#include "profile_peak.h"
#include "simd/vector_traits.h"

namespace pupil::simd {
namespace {

inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

// The samples a stack window holds.
constexpr int64_t kWindow = 2048;

// The filter's geometry for V: kGroup vectors of outputs are filtered
// together, their sums independent, so the CPU overlaps their additions
// instead of waiting on one running sum.
template <class V>
struct Lanes {
  static constexpr int64_t kLanes = V::kDoubles;
  static constexpr int kGroup = V::kGroup;
  static constexpr int64_t kWidth = kLanes * kGroup;
  // A group's lanes read at most kWidth - 1 samples past either end, a copy
  // into a window kWidth + kLanes - 2 past the end.
  static_assert(kWidth + kLanes <= kProfilePad,
                "too few zeros around a profile");

  // Lanes start + i with 0 <= start + i < n.
  static typename V::DM in_range(int64_t start, int64_t n) {
    return V::dlanes(min64(kLanes, max64(0, -start)),
                     max64(0, min64(kLanes, n - start)));
  }
};

// The first largest output so far per lane of kGroup trackers: strict and
// ordered, so a lane keeps its earliest maximum and NaN never wins. Each
// lane sees its outputs in increasing order; merging the lanes by value
// and, among equals, by the earliest index gives the reference's peak.
template <class V>
struct Peak {
  using D = typename V::D;
  using DM = typename V::DM;
  static constexpr int kGroup = Lanes<V>::kGroup;
  static constexpr int64_t kLanes = Lanes<V>::kLanes;
  // at: where the group that gave each lane its best starts; the lane's own
  // offset in the group is added once, at the end. total: the sum of the
  // groups' outputs, finite only if all of them are.
  D best[kGroup], at[kGroup], total = V::dzero();

  Peak() {
    for (int v = 0; v < kGroup; ++v) {
      best[v] = V::dset1(kOutside);
      at[v] = V::dset1(-1.0);
    }
  }
  // The group of outputs from k0, the lanes in live[v] real.
  void see(const D* out, int64_t k0, const DM* live) {
    const auto start = V::dset1(static_cast<double>(k0));
    D seen[kGroup];
    for (int v = 0; v < kGroup; ++v) {
      const auto greater = V::dand(live[v], V::dgt(out[v], best[v]));
      best[v] = V::dselect(greater, best[v], out[v]);
      at[v] = V::dselect(greater, at[v], start);
      seen[v] = V::dkeep(live[v], out[v]);
    }
    total = total + sum_of(seen);
  }
  // Whether every output the groups gave was finite (a false no when
  // their sum overflows).
  bool groups_finite() const { return V::dall_set(V::dfinite(total)); }
  // A group's outputs added pairwise, keeping the running total's chain
  // one addition long per group.
  static D sum_of(const D* out) {
    D part[kGroup];
    for (int v = 0; v < kGroup; ++v) part[v] = out[v];
    for (int width = kGroup / 2; width > 0; width /= 2) {
      for (int v = 0; v < width; ++v) part[v] = part[v] + part[v + width];
    }
    return part[0];
  }
  int32_t result() {
    // No lane holds NaN: the largest value, then the earliest index among
    // the lanes that hold it, without branches on the data.
    auto most = best[0];
    for (int v = 1; v < kGroup; ++v) most = V::dmax(most, best[v]);
    const double top = V::dmax_lanes(most);
    if (!(top > kOutside) || !__builtin_isfinite(top)) return -1;
    const auto none = V::dset1(__builtin_inf());
    auto first = none;
    for (int v = 0; v < kGroup; ++v) {
      const auto index =
          at[v] + (V::dset1(static_cast<double>(kLanes * v)) + V::dindex());
      first = V::dmin(first,
                      V::dselect(V::deq(best[v], V::dset1(top)), none, index));
    }
    return static_cast<int32_t>(V::dmin_lanes(first));
  }
};

// The taps [begin, end) of the group of outputs from k0 that land on the
// profile for some lane that is a real output. For real outputs these are
// taps within the filter's reach, the only ones checked to be finite.
template <class V>
struct TapRange {
  int64_t begin, end;
  TapRange(int64_t k0, int64_t n, int64_t tap_count) {
    const int64_t first = k0 - tap_count / 2;
    begin = max64(
        0, max64(-(first + Lanes<V>::kWidth - 1), tap_count / 2 - (n - 1)));
    end = min64(tap_count, n - first);
  }
};

// Finite taps: the groups from k0 on, as long as their reads end before
// sample `end`, from `samples` (which holds sample `origin` first), in
// which samples off the profile and non-finite ones are 0.0. With a finite
// tap such a product is a zero, and adding a zero to a sum that started at
// +0.0 (and so is never -0.0) changes nothing: no tap needs a test or a
// mask. Returns where it stopped.
template <class V>
int64_t filter_groups(const double* samples, int64_t origin, int64_t end,
                      int64_t n, const double* taps, int64_t tap_count,
                      int64_t k0, double* filtered, Peak<V>& peak) {
  using L = Lanes<V>;
  const int64_t half = tap_count / 2;
  for (; k0 < n; k0 += L::kWidth) {
    const TapRange<V> reach(k0, n, tap_count);
    if (k0 - half + reach.end + L::kWidth - 1 > end) break;
    // Tap t of vector v reads sample k0 - half + kLanes v + t, which is
    // samples[start + kLanes v + t]; start itself may be negative.
    const int64_t start = k0 - half - origin;
    typename V::D sum[L::kGroup];
    for (int v = 0; v < L::kGroup; ++v) sum[v] = V::dzero();
    for (int64_t t = reach.begin; t < reach.end; ++t) {
      const auto tap = V::dset1(taps[t]);
      for (int v = 0; v < L::kGroup; ++v)
        sum[v] = V::dload(samples + (start + L::kLanes * v + t)) * tap + sum[v];
    }
    // A copy, so that the sums themselves can stay in registers.
    typename V::D out[L::kGroup];
    for (int v = 0; v < L::kGroup; ++v) out[v] = sum[v];
    // Only the last group has lanes past the end of the profile.
    const bool whole = k0 + L::kWidth <= n;
    typename V::DM live[L::kGroup];
    for (int v = 0; v < L::kGroup; ++v) {
      live[v] = whole ? V::dall() : L::in_range(k0 + L::kLanes * v, n);
      if (whole)
        V::dstore(filtered + k0 + L::kLanes * v, out[v]);
      else
        V::dstore_lanes(filtered + k0 + L::kLanes * v, live[v], out[v]);
    }
    peak.see(out, k0, live);
  }
  return k0;
}

// Finite taps on a profile with a non-finite sample: the groups read
// copies of the profile, a stack window at a time, with those samples as
// zeros. Outputs that reached no finite sample are marked afterwards.
template <class V>
void filter_from_windows(const double* profile, int64_t n, const double* taps,
                         int64_t tap_count, double* filtered, Peak<V>& peak) {
  using L = Lanes<V>;
  alignas(64) double window[kWindow + L::kLanes];
  for (int64_t k0 = 0; k0 < n;) {
    // The window starts at the first sample this group reads and holds
    // every group whose reads end inside it (at least this one).
    const int64_t w0 = k0 - tap_count / 2 + TapRange<V>(k0, n, tap_count).begin;
    const int64_t w1 = min64(w0 + kWindow, n + L::kWidth);
    for (int64_t i = w0; i < w1; i += L::kLanes) {
      const auto x = V::dload(profile + i);
      V::dstore(window + (i - w0), V::dkeep(V::dfinite(x), x));
    }
    k0 = filter_groups<V>(window, w0, w1, n, taps, tap_count, k0, filtered,
                          peak);
  }
}

template <class V>
int32_t find_profile_peak_simd(const double* filtered, int32_t sample_count) {
  using L = Lanes<V>;
  Peak<V> peak;
  for (int64_t k0 = 0; k0 < sample_count; k0 += L::kWidth) {
    typename V::D out[L::kGroup];
    typename V::DM live[L::kGroup];
    for (int v = 0; v < L::kGroup; ++v) {
      live[v] = L::in_range(k0 + L::kLanes * v, sample_count);
      out[v] = V::dload_lanes(filtered + k0 + L::kLanes * v, live[v]);
    }
    peak.see(out, k0, live);
  }
  return peak.result();
}

template <class V>
int32_t filter_profile_peak_simd(const double* profile, int32_t sample_count,
                                 const double* taps, int32_t tap_count,
                                 double* filtered) {
  using L = Lanes<V>;
  const int64_t n = sample_count;
  if (tap_count <= 0) {
    for (int64_t k = 0; k < n; ++k) filtered[k] = kOutside;
    return -1;
  }
  // First as if every tap and sample in reach were finite, reading the
  // zeros around the profile where lanes fall off it. If every output then
  // is finite, they all were: a non-finite tap or sample in some output's
  // reach makes its product, and so the output, infinite or NaN, and sums
  // keep it so. The outputs are then the reference's.
  Peak<V> peak;
  filter_groups<V>(profile, 0, n + kProfilePad, n, taps, tap_count, 0, filtered,
                   peak);
  if (peak.groups_finite()) return peak.result();
  // Only taps that land on the profile for some output matter. A group
  // reads at most their span and its width more, which a window must hold.
  // Infinite or NaN taps, and filters too long for a window, are no case
  // to tune for: the reference code takes them.
  const int64_t half = tap_count / 2;
  const int64_t reach_begin = max64(0, half - (n - 1));
  const int64_t reach_end = min64(tap_count, n + half);
  bool windowed = min64(reach_end - reach_begin, n) + 2 * L::kWidth <= kWindow;
  for (int64_t t = reach_begin; t < reach_end && windowed; ++t)
    windowed = __builtin_isfinite(taps[t]);
  if (!windowed) {
    return filter_profile_peak(profile, sample_count, taps, tap_count,
                               filtered);
  }
  peak = Peak<V>();
  filter_from_windows<V>(profile, n, taps, tap_count, filtered, peak);
  // An output whose reach holds no finite sample came out as 0.0 and was
  // seen as such; once marked, the peak is searched for again.
  if (mark_unreached(profile, sample_count, tap_count, filtered))
    return find_profile_peak_simd<V>(filtered, sample_count);
  return peak.result();
}

template <class V>
void filter_profile_simd(const double* profile, int32_t sample_count,
                         const double* taps, int32_t tap_count,
                         double* filtered) {
  filter_profile_peak_simd<V>(profile, sample_count, taps, tap_count, filtered);
}

}  // namespace
}  // namespace pupil::simd

#endif
