// Every instruction set's per-ray functions against the reference ones on
// seeded random rays, bit for bit ("deviations are not tolerated"), with every
// array ending right before an inaccessible page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "guarded_buffer.h"
#include "isa_param.h"
#include "kernel_cases.h"
#include "radial_search.h"
#include "random_call.h"
#include "reference_search.h"

namespace {

using cases::same;

// Buffers for one case, each ending right before an inaccessible page, made
// read-only once the case is drawn.
template <class T>
class CaseBuffers {
 public:
  T* operator()(int k, int64_t count) {
    buffers_[k] = std::make_unique<GuardedBuffer<T>>(size_t(count));
    return buffers_[k]->data();
  }
  void make_read_only() {
    for (auto& b : buffers_) b->make_read_only();
  }

 private:
  std::unique_ptr<GuardedBuffer<T>> buffers_[2];
};

class Equivalence : public PerIsa {
 protected:
  pupil::RayFunctions scalar_ = pupil::ray_functions_for(pupil::Isa::kScalar);
};

// Every ray of every count up to 1500, in batches of every length and
// offset, and rays of the largest count: the same single-precision cosine
// and sine as the C library's sincos, including the axes, where the values
// are tiny and the library itself must decide.
TEST_P(Equivalence, RayDirectionsMatchTheLibrary) {
  std::vector<float> want_c(1500), want_s(1500), got_c(1500), got_s(1500);
  int64_t differing = 0;
  auto compare = [&](int32_t first, int32_t count, int32_t ray_count) {
    scalar_.ray_directions(first, count, ray_count, want_c.data(),
                           want_s.data());
    functions_.ray_directions(first, count, ray_count, got_c.data(),
                              got_s.data());
    for (int32_t k = 0; k < count; ++k) {
      differing += !same(want_c[k], got_c[k]) || !same(want_s[k], got_s[k]);
    }
  };
  for (int32_t rays = 1; rays <= 1500; ++rays) {
    const int32_t batch = 1 + rays % 67;
    for (int32_t first = 0; first < rays; first += batch)
      compare(first, std::min(batch, rays - first), rays);
  }
  const int32_t most = std::numeric_limits<int32_t>::max();
  compare(most - 1000, 1000, most);
  compare(0, 1000, most);
  EXPECT_EQ(differing, 0);
}

TEST_P(Equivalence, SamplingMatchesTheReference) {
  cases::Random rng(11);
  int rays = 0, border_rays = 0;
  for (int trial = 0; trial < scaled_count(3000); ++trial) {
    CaseBuffers<float> buffers;
    const cases::Ray r = cases::ray(rng, std::ref(buffers));
    buffers.make_read_only();
    const int32_t n = r.samples;
    GuardedBuffer<double> want(n), got(n);
    const bool want_inside = scalar_.sample_ray_profile(
        r.grad_x, r.grad_y, r.rows, r.cols, r.center_x, r.center_y, r.r0,
        r.step, r.c, r.s, n, want.data());
    const bool got_inside = functions_.sample_ray_profile(
        r.grad_x, r.grad_y, r.rows, r.cols, r.center_x, r.center_y, r.r0,
        r.step, r.c, r.s, n, got.data());
    ASSERT_EQ(want_inside, got_inside) << "trial " << trial;
    for (int32_t j = 0; j < n; ++j)
      ASSERT_TRUE(same(want[j], got[j])) << "trial " << trial << " sample " << j
                                         << ": " << want[j] << " vs " << got[j];
    ++rays;
    if (want_inside && std::isinf(want[n - 1])) ++border_rays;
  }
  EXPECT_GT(border_rays, rays / 10);
}

// Past 2^24 samples the sample index itself rounds when made a float; both
// paths must round it the same way.
TEST_P(Equivalence, SamplingPastTwoToTheTwentyFourSamples) {
  const int32_t n = (1 << 24) + 37;
  std::vector<float> gx(24 * 24), gy(24 * 24);
  for (size_t i = 0; i < gx.size(); ++i) {
    gx[i] = static_cast<float>(i % 7) - 3.0f;
    gy[i] = static_cast<float>(i % 5) * 0.25f;
  }
  std::vector<double> want(n), got(n);
  const float step = 1.2e-6f, c = 0.8f, s = 0.6f;
  ASSERT_EQ(
      scalar_.sample_ray_profile(gx.data(), gy.data(), 24, 24, 0.5f, 0.25f,
                                 0.0f, step, c, s, n, want.data()),
      functions_.sample_ray_profile(gx.data(), gy.data(), 24, 24, 0.5f, 0.25f,
                                    0.0f, step, c, s, n, got.data()));
  int differing = 0;
  for (int32_t j = 0; j < n; ++j) differing += !same(want[j], got[j]);
  EXPECT_EQ(differing, 0);
  EXPECT_FALSE(std::isinf(want[n - 1]));  // the last samples are inside
}

TEST_P(Equivalence, FilterAndPeakMatchTheReference) {
  cases::Random rng(29);
  for (int trial = 0; trial < scaled_count(6000); ++trial) {
    CaseBuffers<double> buffers;
    const cases::Filter f =
        cases::filter(rng, std::ref(buffers), pupil::kProfilePad);
    buffers.make_read_only();
    const int32_t n = f.samples, len = f.kernel_len;
    GuardedBuffer<double> want(n), got(n);
    scalar_.filter_profile(f.profile, n, f.kernel, len, want.data());
    // The peak as found while filtering, and the filtered profile.
    ASSERT_EQ(
        scalar_.find_profile_peak(want.data(), n),
        functions_.filter_profile_peak(f.profile, n, f.kernel, len, got.data()))
        << "trial " << trial;
    for (int32_t k = 0; k < n; ++k)
      ASSERT_TRUE(same(want[k], got[k]))
          << "trial " << trial << " output " << k << " of " << n << ", " << len
          << " taps: " << want[k] << " vs " << got[k];
    // Peaks on raw profiles too: NaN, +inf and tie patterns the filter
    // rarely makes.
    ASSERT_EQ(scalar_.find_profile_peak(f.profile, n),
              functions_.find_profile_peak(f.profile, n))
        << "trial " << trial;
  }
}

TEST_P(Equivalence, WholeSearchMatchesTheOracle) {
  RandomCalls calls(777);
  for (int trial = 0; trial < scaled_count(4000); ++trial) {
    const ReferenceCall c = calls.next();
    std::vector<double> want, got(c.radius_min.size(), -7.0);
    const int32_t want_count = reference_search(c, want);
    const int32_t got_count = pupil::radial_search(
        functions_, c.grad_x.data(), c.grad_y.data(), c.rows, c.cols,
        c.center_x, c.center_y, c.ray_count, c.radius_min.data(),
        c.radius_max.data(), c.sample_count, c.kernel.data(), c.kernel_len,
        got.data());
    ASSERT_EQ(want_count, got_count) << "trial " << trial;
    if (want.empty()) continue;
    ASSERT_EQ(
        0, std::memcmp(want.data(), got.data(), want.size() * sizeof(double)))
        << "trial " << trial;
  }
}

INSTANTIATE_PER_VECTOR_ISA(Equivalence);

}  // namespace
