// The vector filter and peak search, written once for every instruction
// set; included like ray_profile_simd.h (after "profile_peak.h"). The
// filter computes V::kDoubles outputs per vector, each lane summing its own
// taps in tap order, so every sum is formed exactly as in the reference
// loop; the peak is tracked as the outputs are produced.
//
// V provides double vectors D of V::kDoubles lanes (+ and * as in
// ray_profile_simd.h), their lane masks DM, and: dset1, dzero, dload,
// dstore, dgt (ordered), dfinite, dkeep (zero where not set),
// dselect(m, if_not, if_set), dand, dall, dall_set, dlanes(from, to) (lanes
// in [from, to)), dload_lanes (masked: the other lanes read 0.0 and touch no
// memory), dstore_lanes, dindex (lane i holds double(i)), dmax and dmin
// (lane-wise, no NaN), deq, and dmax_lanes and dmin_lanes (across lanes).

constexpr int64_t kLanes = V::kDoubles;
// Vectors of outputs filtered together: their sums are independent, so the
// CPU overlaps their additions instead of waiting on one running sum.
constexpr int kGroup = V::kGroup;

inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

// Lanes start + i with 0 <= start + i < n.
inline V::DM in_range(int64_t start, int64_t n) {
  return V::dlanes(min64(kLanes, max64(0, -start)),
                   max64(0, min64(kLanes, n - start)));
}

// The first largest output so far per lane of kGroup trackers: strict and
// ordered, so a lane keeps its earliest maximum and NaN never wins. Each
// lane sees its outputs in increasing order; merging the lanes by value
// and, among equals, by the earliest index gives the reference's peak.
struct Peak {
  // at: where the group that gave each lane its best starts; the lane's own
  // offset in the group is added once, at the end. total: the sum of the
  // groups' outputs, finite only if all of them are.
  V::D best[kGroup], at[kGroup], total = V::dzero();

  Peak() {
    for (int v = 0; v < kGroup; ++v) {
      best[v] = V::dset1(kOutside);
      at[v] = V::dset1(-1.0);
    }
  }
  // The group of outputs from k0, the lanes in live[v] real.
  void see(const V::D* out, int64_t k0, const V::DM* live) {
    const auto start = V::dset1(static_cast<double>(k0));
    V::D seen[kGroup];
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
  static V::D sum_of(const V::D* out) {
    V::D part[kGroup];
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

// Outputs filtered together, and the samples a stack window holds.
constexpr int64_t kWidth = kLanes * kGroup;
constexpr int64_t kWindow = 2048;
// A group's lanes read at most kWidth - 1 samples past either end, a copy
// into a window kWidth + kLanes - 2 past the end.
static_assert(kWidth + kLanes <= kProfilePad, "too few zeros around a profile");

// The taps [t_begin, t_end) of the group of outputs from k0 that land on
// the profile for some lane that is a real output. For real outputs these
// are taps within the kernel's reach, the only ones checked to be finite.
struct TapRange {
  int64_t begin, end;
  TapRange(int64_t k0, int64_t n, int64_t kernel_len) {
    const int64_t first = k0 - kernel_len / 2;
    begin = max64(0, max64(-(first + kWidth - 1), kernel_len / 2 - (n - 1)));
    end = min64(kernel_len, n - first);
  }
};

// Finite taps: the groups from k0 on, as long as their reads end before
// sample `end`, from `samples` (which holds sample `origin` first), in
// which samples off the profile and non-finite ones are 0.0. With a finite tap
// such a product is a zero, and adding a zero to a sum that started at +0.0
// (and so is never -0.0) changes nothing: no tap needs a test or a mask.
// Returns where it stopped.
int64_t filter_groups(const double* samples, int64_t origin, int64_t end,
                      int64_t n, const double* kernel, int64_t kernel_len,
                      int64_t k0, double* filtered, Peak& peak) {
  const int64_t half = kernel_len / 2;
  for (; k0 < n; k0 += kWidth) {
    const TapRange taps(k0, n, kernel_len);
    if (k0 - half + taps.end + kWidth - 1 > end) break;
    // Tap t of vector v reads sample k0 - half + kLanes v + t, which is
    // samples[start + kLanes v + t]; start itself may be negative.
    const int64_t start = k0 - half - origin;
    V::D sum[kGroup];
    for (int v = 0; v < kGroup; ++v) sum[v] = V::dzero();
    for (int64_t t = taps.begin; t < taps.end; ++t) {
      const auto tap = V::dset1(kernel[t]);
      for (int v = 0; v < kGroup; ++v)
        sum[v] = V::dload(samples + (start + kLanes * v + t)) * tap + sum[v];
    }
    // A copy, so that the sums themselves can stay in registers.
    V::D out[kGroup];
    for (int v = 0; v < kGroup; ++v) out[v] = sum[v];
    // Only the last group has lanes past the end of the profile.
    const bool whole = k0 + kWidth <= n;
    V::DM live[kGroup];
    for (int v = 0; v < kGroup; ++v) {
      live[v] = whole ? V::dall() : in_range(k0 + kLanes * v, n);
      if (whole)
        V::dstore(filtered + k0 + kLanes * v, out[v]);
      else
        V::dstore_lanes(filtered + k0 + kLanes * v, live[v], out[v]);
    }
    peak.see(out, k0, live);
  }
  return k0;
}

// Finite taps on a profile with a non-finite sample: the groups read
// copies of the profile, a stack window at a time, with those samples as
// zeros. Outputs that reached no finite sample are marked afterwards.
void filter_from_windows(const double* profile, int64_t n, const double* kernel,
                         int64_t kernel_len, double* filtered, Peak& peak) {
  alignas(64) double window[kWindow + kLanes];
  for (int64_t k0 = 0; k0 < n;) {
    // The window starts at the first sample this group reads and holds
    // every group whose reads end inside it (at least this one).
    const int64_t w0 = k0 - kernel_len / 2 + TapRange(k0, n, kernel_len).begin;
    const int64_t w1 = min64(w0 + kWindow, n + kWidth);
    for (int64_t i = w0; i < w1; i += kLanes) {
      const auto x = V::dload(profile + i);
      V::dstore(window + (i - w0), V::dkeep(V::dfinite(x), x));
    }
    k0 = filter_groups(window, w0, w1, n, kernel, kernel_len, k0, filtered,
                       peak);
  }
}

int32_t find_profile_peak_simd(const double* filtered, int32_t sample_count) {
  Peak peak;
  for (int64_t k0 = 0; k0 < sample_count; k0 += kWidth) {
    V::D out[kGroup];
    V::DM live[kGroup];
    for (int v = 0; v < kGroup; ++v) {
      live[v] = in_range(k0 + kLanes * v, sample_count);
      out[v] = V::dload_lanes(filtered + k0 + kLanes * v, live[v]);
    }
    peak.see(out, k0, live);
  }
  return peak.result();
}

int32_t filter_profile_peak_simd(const double* profile, int32_t sample_count,
                                 const double* kernel, int32_t kernel_len,
                                 double* filtered) {
  const int64_t n = sample_count;
  if (kernel_len <= 0) {
    for (int64_t k = 0; k < n; ++k) filtered[k] = kOutside;
    return -1;
  }
  // First as if every tap and sample in reach were finite, reading the
  // zeros around the profile where lanes fall off it. If every output then
  // is finite, they all were: a non-finite tap or sample in some output's
  // reach makes its product, and so the output, infinite or NaN, and sums
  // keep it so. The outputs are then the reference's.
  Peak peak;
  filter_groups(profile, 0, n + kProfilePad, n, kernel, kernel_len, 0, filtered,
                peak);
  if (peak.groups_finite()) return peak.result();
  // Only taps that land on the profile for some output matter. A group
  // reads at most their span and its width more, which a window must hold.
  // Infinite or NaN taps, and kernels too long for a window, are no case
  // to tune for: the reference code takes them.
  const int64_t half = kernel_len / 2;
  const int64_t reach_begin = max64(0, half - (n - 1));
  const int64_t reach_end = min64(kernel_len, n + half);
  bool windowed = min64(reach_end - reach_begin, n) + 2 * kWidth <= kWindow;
  for (int64_t t = reach_begin; t < reach_end && windowed; ++t)
    windowed = __builtin_isfinite(kernel[t]);
  if (!windowed) {
    return filter_profile_peak(profile, sample_count, kernel, kernel_len,
                               filtered);
  }
  peak = Peak();
  filter_from_windows(profile, n, kernel, kernel_len, filtered, peak);
  // An output whose reach holds no finite sample came out as 0.0 and was
  // seen as such; once marked, the peak is searched for again.
  if (mark_unreached(profile, sample_count, kernel_len, filtered))
    return find_profile_peak_simd(filtered, sample_count);
  return peak.result();
}

void filter_profile_simd(const double* profile, int32_t sample_count,
                         const double* kernel, int32_t kernel_len,
                         double* filtered) {
  filter_profile_peak_simd(profile, sample_count, kernel, kernel_len, filtered);
}
