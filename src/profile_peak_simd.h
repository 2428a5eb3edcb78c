// The vector filter and peak search, written once for every instruction
// set; included like ray_profile_simd.h (after "profile_peak.h"). The
// filter computes V::kDoubles outputs per vector, each lane summing its own
// taps in tap order, so every sum is formed exactly as in the reference
// loop; the peak is tracked as the outputs are produced.
//
// V provides double vectors D of V::kDoubles lanes (+ and * as in
// ray_profile_simd.h), their lane masks DM, and: dset1, dzero, dload,
// dstore, dgt and dge (ordered), dfinite, dkeep (zero where not set),
// dselect(m, if_not, if_set), dadd_where(m, sum, term) (term + sum in the
// lanes set), dand, dor, dnone, dall, dall_set, dlanes(from, to) (lanes in
// [from, to)),
// dload_lanes (masked: the other lanes read 0.0 and touch no memory),
// dstore_lanes, and dindex (lane i holds double(i)).

constexpr int64_t kLanes = V::kDoubles;
// Vectors of outputs filtered together: their sums are independent, so the
// CPU overlaps their additions instead of waiting on one running sum.
constexpr int kGroup = 4;

inline int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

// Lanes start + i with 0 <= start + i < n.
inline V::DM in_range(int64_t start, int64_t n) {
  return V::dlanes(min64(kLanes, max64(0, -start)),
                   max64(0, min64(kLanes, n - start)));
}

bool all_finite(const double* v, int64_t n) {
  auto ok = V::dall();
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    ok = V::dand(ok, V::dfinite(V::dload(v + i)));
  // Lanes past the end read 0.0, which is finite.
  if (i < n)
    ok = V::dand(ok, V::dfinite(V::dload_lanes(v + i, in_range(i, n))));
  return V::dall_set(ok);
}

// profile[start .. start + kLanes - 1], with 0.0 in lanes off the profile;
// those lanes are never read from memory.
inline V::D load_window(const double* profile, int64_t n, int64_t start) {
  if (start >= 0 && start + kLanes <= n) return V::dload(profile + start);
  // The address may lie outside the array; only in-range lanes touch it.
  const double* at = reinterpret_cast<const double*>(
      reinterpret_cast<uintptr_t>(profile) +
      static_cast<uintptr_t>(start) * sizeof(double));
  return V::dload_lanes(at, in_range(start, n));
}

// The first largest output so far per lane of kGroup trackers: strict and
// ordered, so a lane keeps its earliest maximum and NaN never wins. Each
// lane sees its outputs in increasing order; merging the lanes by value
// and, among equals, by the earliest index gives the reference's peak.
struct Peak {
  V::D best[kGroup], at[kGroup], offset[kGroup];

  Peak() {
    for (int v = 0; v < kGroup; ++v) {
      best[v] = V::dset1(kOutside);
      at[v] = V::dset1(-1.0);
      offset[v] = V::dset1(static_cast<double>(kLanes * v)) + V::dindex();
    }
  }
  // Outputs k0 .. k0 + kLanes * kGroup - 1, all real.
  void see_group(const V::D* out, int64_t k0) {
    const auto base = V::dset1(static_cast<double>(k0));
    for (int v = 0; v < kGroup; ++v) {
      const auto greater = V::dgt(out[v], best[v]);
      best[v] = V::dselect(greater, best[v], out[v]);
      at[v] = V::dselect(greater, at[v], base + offset[v]);
    }
  }
  // Outputs k0 .. k0 + kLanes - 1, the lanes in `live` real.
  void see(V::D out, int64_t k0, V::DM live) {
    const auto greater = V::dand(live, V::dgt(out, best[0]));
    best[0] = V::dselect(greater, best[0], out);
    at[0] = V::dselect(greater, at[0],
                       V::dset1(static_cast<double>(k0)) + offset[0]);
  }
  int32_t result() {
    // The trackers merged lane by lane (larger, or as large and earlier),
    // then the lanes.
    for (int v = 1; v < kGroup; ++v) {
      const auto take =
          V::dor(V::dgt(best[v], best[0]),
                 V::dand(V::dge(best[v], best[0]), V::dgt(at[0], at[v])));
      best[0] = V::dselect(take, best[0], best[v]);
      at[0] = V::dselect(take, at[0], at[v]);
    }
    double lane_best[kLanes], lane_at[kLanes];
    V::dstore(lane_best, best[0]);
    V::dstore(lane_at, at[0]);
    double top = kOutside;
    for (int64_t i = 0; i < kLanes; ++i) {
      if (lane_best[i] > top) top = lane_best[i];
    }
    if (!(top > kOutside) || !__builtin_isfinite(top)) return -1;
    double first = -1.0;
    for (int64_t i = 0; i < kLanes; ++i) {
      if (lane_best[i] == top && (first < 0 || lane_at[i] < first))
        first = lane_at[i];
    }
    return static_cast<int32_t>(first);
  }
};

// Finite taps: outputs k0 .. k0 + kLanes * kVectors - 1 into `out`. A tap
// that lands off the profile reads 0.0, and so does a non-finite sample
// (unless kClean says there is none): with a finite tap its product is a
// zero, and adding a zero to a sum that started at +0.0 (and so is never
// -0.0) changes nothing. No per-lane masks are needed.
template <int kVectors, bool kClean>
inline void filter_group(const double* profile, int64_t n, const double* kernel,
                         int64_t kernel_len, int64_t half, int64_t k0,
                         V::D* out) {
  constexpr int64_t kWidth = kLanes * kVectors;
  // Lane i of vector v filters output k0 + kLanes v + i; tap t lands on
  // first + kLanes v + t + i.
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
  V::D sum[kVectors];
  for (int v = 0; v < kVectors; ++v) sum[v] = V::dzero();

  auto accumulate = [&](int64_t t, bool full) {
    const auto tap = V::dset1(kernel[t]);
    for (int v = 0; v < kVectors; ++v) {
      const int64_t start = first + kLanes * v + t;
      // A window wholly off the profile would add exact zeros.
      if (!full && (start + kLanes <= 0 || start >= n)) continue;
      auto x =
          full ? V::dload(profile + start) : load_window(profile, n, start);
      if (!kClean) x = V::dkeep(V::dfinite(x), x);
      sum[v] = x * tap + sum[v];
    }
  };
  for (int64_t t = t_begin; t < full_begin; ++t) accumulate(t, false);
  for (int64_t t = full_begin; t < full_end; ++t) accumulate(t, true);
  for (int64_t t = full_end; t < t_end; ++t) accumulate(t, false);
  for (int v = 0; v < kVectors; ++v) out[v] = sum[v];
}

// Any taps, infinite or NaN included: the reference's skip rule applied per
// lane with masks, and the outputs no tap contributed to set apart.
template <int kVectors, bool kUnused>  // one signature with filter_group
inline void filter_group_masked(const double* profile, int64_t n,
                                const double* kernel, int64_t kernel_len,
                                int64_t half, int64_t k0, V::D* out) {
  constexpr int64_t kWidth = kLanes * kVectors;
  const int64_t first = k0 - half;
  const int64_t t_begin = max64(0, -(first + kWidth - 1));
  const int64_t t_end = min64(kernel_len, n - first);
  V::D sum[kVectors];
  V::DM contributed[kVectors];
  for (int v = 0; v < kVectors; ++v) {
    sum[v] = V::dzero();
    contributed[v] = V::dnone();
  }
  for (int64_t t = t_begin; t < t_end; ++t) {
    const auto tap = V::dset1(kernel[t]);
    for (int v = 0; v < kVectors; ++v) {
      const int64_t start = first + kLanes * v + t;
      const auto x = load_window(profile, n, start);
      const auto take = V::dand(in_range(start, n), V::dfinite(x));
      sum[v] = V::dadd_where(take, sum[v], x * tap);
      contributed[v] = V::dor(contributed[v], take);
    }
  }
  const auto outside = V::dset1(kOutside);
  for (int v = 0; v < kVectors; ++v)
    out[v] = V::dselect(contributed[v], outside, sum[v]);
}

// Runs Group over all outputs, whole groups of kGroup vectors, then single
// vectors, the last one stored only as far as the profile goes; the peak
// is tracked on the way.
template <template <int, bool> class Group, bool kFlag>
void filter_all(const double* profile, int64_t n, const double* kernel,
                int64_t kernel_len, double* filtered, Peak& peak) {
  const int64_t half = kernel_len / 2;
  int64_t k0 = 0;
  for (; k0 + kLanes * kGroup <= n; k0 += kLanes * kGroup) {
    V::D out[kGroup];
    Group<kGroup, kFlag>::run(profile, n, kernel, kernel_len, half, k0, out);
    for (int v = 0; v < kGroup; ++v)
      V::dstore(filtered + k0 + kLanes * v, out[v]);
    peak.see_group(out, k0);
  }
  for (; k0 < n; k0 += kLanes) {
    V::D out[1];
    Group<1, kFlag>::run(profile, n, kernel, kernel_len, half, k0, out);
    const auto live = in_range(k0, n);
    V::dstore_lanes(filtered + k0, live, out[0]);
    peak.see(out[0], k0, live);
  }
}

template <int kVectors, bool kClean>
struct FiniteTaps {
  static void run(const double* profile, int64_t n, const double* kernel,
                  int64_t kernel_len, int64_t half, int64_t k0, V::D* out) {
    filter_group<kVectors, kClean>(profile, n, kernel, kernel_len, half, k0,
                                   out);
  }
};

template <int kVectors, bool kUnused>
struct AnyTaps {
  static void run(const double* profile, int64_t n, const double* kernel,
                  int64_t kernel_len, int64_t half, int64_t k0, V::D* out) {
    filter_group_masked<kVectors, kUnused>(profile, n, kernel, kernel_len, half,
                                           k0, out);
  }
};

int32_t find_profile_peak_simd(const double* filtered, int32_t sample_count) {
  Peak peak;
  const int64_t n = sample_count;
  int64_t l = 0;
  for (; l + kLanes * kGroup <= n; l += kLanes * kGroup) {
    V::D values[kGroup];
    for (int v = 0; v < kGroup; ++v)
      values[v] = V::dload(filtered + l + kLanes * v);
    peak.see_group(values, l);
  }
  for (; l < n; l += kLanes) {
    const auto live = in_range(l, n);
    peak.see(V::dload_lanes(filtered + l, live), l, live);
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
  // Only taps that land on the profile for some output matter; a kernel far
  // longer than the profile costs no more than one as long as it.
  const int64_t half = kernel_len / 2;
  const int64_t reach_begin = max64(0, half - (n - 1));
  const int64_t reach_end = min64(kernel_len, n + half);
  Peak peak;
  if (!all_finite(kernel + reach_begin, reach_end - reach_begin)) {
    filter_all<AnyTaps, false>(profile, n, kernel, kernel_len, filtered, peak);
  } else if (all_finite(profile, n)) {
    // Every output reaches some sample, and every sample is finite.
    filter_all<FiniteTaps, true>(profile, n, kernel, kernel_len, filtered,
                                 peak);
  } else {
    filter_all<FiniteTaps, false>(profile, n, kernel, kernel_len, filtered,
                                  peak);
    // An output whose reach holds no finite sample came out as 0.0 and was
    // seen as such; once marked, the peak is searched for again.
    if (mark_unreached(profile, sample_count, kernel_len, filtered))
      return find_profile_peak_simd(filtered, sample_count);
  }
  return peak.result();
}

void filter_profile_simd(const double* profile, int32_t sample_count,
                         const double* kernel, int32_t kernel_len,
                         double* filtered) {
  filter_profile_peak_simd(profile, sample_count, kernel, kernel_len, filtered);
}
