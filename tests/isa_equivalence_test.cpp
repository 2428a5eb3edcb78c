// Every instruction set's kernels against the reference kernels on seeded
// random rays, bit for bit ("deviations are not tolerated"), with every
// array ending right before an inaccessible page.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "guarded_buffer.h"
#include "isa_param.h"
#include "radial_search.h"
#include "random_call.h"
#include "reference_search.h"

namespace {

// Same bits, except that any NaN matches any NaN: NaN payloads are not part
// of the contract and compilers may order a product's operands either way.
bool same(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class Equivalence : public PerIsa {
 protected:
  pupil::RayKernels scalar_ = pupil::ray_kernels_for(pupil::Isa::kScalar);
  std::mt19937_64 rng_{static_cast<uint64_t>(GetParam()) + 2};

  double draw(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
  }
  int draw_int(int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng_);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  double odd_value() {
    const double v[] = {std::nan(""), INFINITY, -INFINITY, 1e300, -1e300, 0.0};
    return v[draw_int(0, 5)];
  }
};

TEST_P(Equivalence, SamplingMatchesTheReference) {
  int rays = 0, border_rays = 0;
  for (int trial = 0; trial < scaled_count(3000); ++trial) {
    const int32_t rows = chance(0.1) ? 1 : draw_int(1, 40);
    const int32_t cols = chance(0.1) ? draw_int(1, 2) : draw_int(1, 40);
    GuardedBuffer<float> gx(size_t(rows) * cols), gy(size_t(rows) * cols);
    const double odd_rate = chance(0.2) ? 0.05 : 0.0;
    for (size_t i = 0; i < gx.size(); ++i) {
      gx[i] = chance(odd_rate) ? float(odd_value()) : float(draw(-9, 9));
      gy[i] = chance(odd_rate) ? float(odd_value()) : float(draw(-9, 9));
    }
    gx.make_read_only();
    gy.make_read_only();
    // Every tail length: sample counts 2..40 cover all remainders.
    const int32_t n = chance(0.9) ? draw_int(2, 40) : draw_int(41, 700);
    const float cx = chance(0.02) ? NAN : float(draw(-3, cols + 2));
    const float cy =
        chance(0.3) ? float(draw_int(0, rows - 1)) : float(draw(-3, rows + 2));
    const double theta = draw(0, 6.283185307179586);
    float c = float(std::cos(theta)), s = float(std::sin(theta));
    if (chance(0.2)) {  // exact axis directions hit columns and rows exactly
      const int q = draw_int(0, 3);
      c = q == 0 ? 1.f : q == 2 ? -1.f : 0.f;
      s = q == 1 ? 1.f : q == 3 ? -1.f : 0.f;
    }
    const float r0 = float(draw(-20, 20));
    float step = float(draw(0.01, 3));
    if (chance(0.05)) step = chance(0.5) ? INFINITY : 1.0f;
    GuardedBuffer<double> want(n), got(n);
    const bool want_inside =
        scalar_.sample_ray_profile(gx.data(), gy.data(), rows, cols, cx, cy, r0,
                                   step, c, s, n, want.data());
    const bool got_inside =
        kernels_.sample_ray_profile(gx.data(), gy.data(), rows, cols, cx, cy,
                                    r0, step, c, s, n, got.data());
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
      kernels_.sample_ray_profile(gx.data(), gy.data(), 24, 24, 0.5f, 0.25f,
                                  0.0f, step, c, s, n, got.data()));
  int differing = 0;
  for (int32_t j = 0; j < n; ++j) differing += !same(want[j], got[j]);
  EXPECT_EQ(differing, 0);
  EXPECT_FALSE(std::isinf(want[n - 1]));  // the last samples are inside
}

TEST_P(Equivalence, FilterAndPeakMatchTheReference) {
  for (int trial = 0; trial < scaled_count(6000); ++trial) {
    const int32_t n = chance(0.9) ? draw_int(2, 40) : draw_int(41, 400);
    const int32_t len = chance(0.05)  ? draw_int(-2, 0)
                        : chance(0.7) ? draw_int(1, 17)
                                      : draw_int(1, 2 * n + 5);
    GuardedBuffer<double> profile(n), kernel(len > 0 ? len : 0);
    // Clean rays, rays that leave the image, and rays with odd samples.
    const int kind = draw_int(0, 2);
    const int32_t outside_from = kind == 1 ? draw_int(0, n) : n;
    for (int32_t j = 0; j < n; ++j) {
      profile[j] = j >= outside_from           ? -INFINITY
                   : kind == 2 && chance(0.15) ? odd_value()
                                               : draw(-5, 5);
      // Ties, also between entries that a vector path keeps in one lane.
      const int32_t back = draw_int(1, 40);
      if (chance(0.05)) profile[j] = profile[j >= back ? j - back : 0];
    }
    for (int32_t t = 0; t < len; ++t) {
      kernel[t] = chance(0.01) ? odd_value() : chance(0.1) ? 0.0 : draw(-1, 2);
    }
    profile.make_read_only();
    kernel.make_read_only();
    GuardedBuffer<double> want(n), got(n);
    scalar_.filter_profile(profile.data(), n, kernel.data(), len, want.data());
    // The peak as found while filtering, and the filtered profile.
    ASSERT_EQ(scalar_.find_profile_peak(want.data(), n),
              kernels_.filter_profile_peak(profile.data(), n, kernel.data(),
                                           len, got.data()))
        << "trial " << trial;
    for (int32_t k = 0; k < n; ++k)
      ASSERT_TRUE(same(want[k], got[k]))
          << "trial " << trial << " output " << k << " of " << n << ", " << len
          << " taps: " << want[k] << " vs " << got[k];
    ASSERT_EQ(scalar_.find_profile_peak(want.data(), n),
              kernels_.find_profile_peak(want.data(), n))
        << "trial " << trial;
    // Peaks on raw profiles too: NaN, +inf and tie patterns the filter
    // rarely makes.
    ASSERT_EQ(scalar_.find_profile_peak(profile.data(), n),
              kernels_.find_profile_peak(profile.data(), n))
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
        kernels_, c.grad_x.data(), c.grad_y.data(), c.rows, c.cols, c.center_x,
        c.center_y, c.ray_count, c.radius_min.data(), c.radius_max.data(),
        c.sample_count, c.kernel.data(), c.kernel_len, got.data());
    ASSERT_EQ(want_count, got_count) << "trial " << trial;
    if (want.empty()) continue;
    ASSERT_EQ(
        0, std::memcmp(want.data(), got.data(), want.size() * sizeof(double)))
        << "trial " << trial;
  }
}

INSTANTIATE_PER_ISA(Equivalence);

}  // namespace
