// The per-ray functions on hand-made rays, for every instruction set: the
// filter's tap alignment and skipping rules, the peak's tie and NaN rules,
// and the sampler at the image border.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "isa_param.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

class PerRayFunctions : public PerIsa {
 protected:
  std::vector<double> filter(const std::vector<double>& profile,
                             const std::vector<double>& kernel,
                             std::optional<int32_t> kernel_len = {}) {
    // The profile between the zeros the vector filters may read.
    std::vector<double> padded(pupil::kProfilePad, 0.0);
    padded.insert(padded.end(), profile.begin(), profile.end());
    padded.resize(padded.size() + pupil::kProfilePad, 0.0);
    std::vector<double> out(profile.size(), 123.0);
    functions_.filter_profile(
        padded.data() + pupil::kProfilePad,
        static_cast<int32_t>(profile.size()), kernel.data(),
        kernel_len.value_or(static_cast<int32_t>(kernel.size())), out.data());
    return out;
  }
  int32_t peak(const std::vector<double>& filtered) {
    return functions_.find_profile_peak(filtered.data(),
                                        static_cast<int32_t>(filtered.size()));
  }
};

using V = std::vector<double>;

TEST_P(PerRayFunctions, FilterAlignsTapsAndSkipsMissingSamples) {
  const V p = {0, 1, 3, 2, 0};
  EXPECT_EQ(filter(p, {1, 1, 1}), (V{1, 4, 6, 5, 2}));
  EXPECT_EQ(filter(p, {1, 1}), (V{0, 1, 4, 5, 2}));
  EXPECT_EQ(filter(p, {1, 0}), (V{0, 0, 1, 3, 2}));
  EXPECT_EQ(filter(p, {1}), p);
  EXPECT_EQ(filter(p, {1}, 0), V(5, -kInf));
  EXPECT_EQ(filter(p, {1}, -7), V(5, -kInf));
  // Taps are not reversed and, in the middle, summed in tap order.
  EXPECT_EQ(filter({1, 10, 100}, {1, 2, 3}), (V{32, 321, 210}));
  // A kernel longer than the profile: only taps landing on it count.
  EXPECT_EQ(filter({1, 2}, {1, 10, 100, 1000, 10000, 100000, 1000000}),
            (V{21000, 2100}));
  // Outside markers, NaN and infinities are left out, not renormalised; an
  // entry no finite sample reaches is -infinity, and a zero tap on a finite
  // sample still counts.
  EXPECT_EQ(filter({-kInf, 2, kNan, kInf, -kInf}, {1}),
            (V{-kInf, 2, -kInf, -kInf, -kInf}));
  EXPECT_EQ(filter({-kInf, 2, kNan, kInf, -kInf}, {0, 0, 0}),
            (V{0, 0, 0, -kInf, -kInf}));
  // Finite samples whose sum overflows: +infinity, as in the reference.
  EXPECT_EQ(filter({1e308, 1e308, 0}, {1, 1}), (V{1e308, kInf, 1e308}));
  // Sums run in tap order: two tiny terms survive when they come first.
  const double tiny = std::ldexp(1.0, -53);
  EXPECT_EQ(filter({tiny, tiny, 1.0}, {1, 1, 1})[1], 1.0 + 2 * tiny);
  EXPECT_EQ(filter({1.0, tiny, tiny}, {1, 1, 1})[1], 1.0);
  // Each product is rounded before it is added: a fused multiply-add would
  // leave 2^-60 here instead of 0.
  const double a = 1.0 + std::ldexp(1.0, -30);
  EXPECT_EQ(filter({-(1.0 + std::ldexp(1.0, -29)), a}, {1.0, a})[1], 0.0);
}

TEST_P(PerRayFunctions, PeakTakesTheEarliestFiniteMaximum) {
  EXPECT_EQ(peak({1, 4, 6, 5, 2}), 2);
  EXPECT_EQ(peak({0, 1, 4, 5, 2}), 3);
  EXPECT_EQ(peak({-5, -2, -3}), 1);
  EXPECT_EQ(peak({7, 7, 1, 7}), 0);
  EXPECT_EQ(peak({-kInf, -kInf}), -1);
  EXPECT_EQ(peak({kNan, 3, kNan, 2}), 1);
  EXPECT_EQ(peak({kNan, kNan}), -1);
  EXPECT_EQ(peak({1, kInf, 2}), -1);
  EXPECT_EQ(peak({-kInf, 0.0, -0.0}), 1);
}

// A 3 x 4 image with distinct pixel values (gy is 100 times gx).
class Sampler : public PerIsa {
 protected:
  std::vector<float> gx{0, 1, 2, 3, 10, 11, 12, 13, 20, 21, 22, 23};
  std::vector<float> gy{0,    100,  200,  300,  1000, 1100,
                        1200, 1300, 2000, 2100, 2200, 2300};
  bool sample(int32_t rows, int32_t cols, float cx, float cy, float r0,
              float step, float c, float s, std::vector<double>& out) {
    return functions_.sample_ray_profile(
        gx.data(), gy.data(), rows, cols, cx, cy, r0, step, c, s,
        static_cast<int32_t>(out.size()), out.data());
  }
};

TEST_P(Sampler, InterpolatesInsideAndMarksOutside) {
  // Along +x on row 1 from column 0.5 in steps of 1: the last two samples
  // (3.5, 4.5) are outside.
  std::vector<double> p(5);
  EXPECT_TRUE(sample(3, 4, 0, 1, 0.5f, 1, 1, 0, p));
  EXPECT_EQ(p, (V{10.5, 11.5, 12.5, -kInf, -kInf}));
  // Along +y: response is gy; the last row is inside and exact.
  p.assign(3, 0);
  EXPECT_TRUE(sample(3, 4, 3, 0, 0, 1, 0, 1, p));
  EXPECT_EQ(p, (V{300, 1300, 2300}));
  // Diagonal through the middle of four pixels: bilinear weights 1/4.
  p.assign(1, 0);
  EXPECT_TRUE(sample(3, 4, 1.5f, 0.5f, 0, 1, 1, 0, p));
  EXPECT_EQ(p[0], (1 + 2 + 11 + 12) / 4.0);
  // Nothing inside: all markers, and no sample reported inside.
  p.assign(4, 0);
  EXPECT_FALSE(sample(3, 4, -1, -1, 0, 0.1f, 1, 0, p));
  EXPECT_EQ(p, V(4, -kInf));
  EXPECT_FALSE(sample(0, 4, 0, 0, 0, 1, 1, 0, p));
  EXPECT_FALSE(
      sample(3, std::numeric_limits<int32_t>::min(), 0, 0, 0, 1, 1, 0, p));
  EXPECT_FALSE(sample(3, 4, std::nanf(""), 1, 0, 1, 1, 0, p));
  EXPECT_EQ(p, V(4, -kInf));
}

TEST_P(Sampler, OneRowAndOneColumnImagesClampTheFarNeighbour) {
  // One column: x must be exactly 0; the far column is the same column.
  std::vector<double> p(3);
  EXPECT_TRUE(sample(3, 1, 0, 0, 0, 0.5f, 0, 1, p));
  // The image read as 3 x 1 is gx = (0, 1, 2), gy = (0, 100, 200).
  EXPECT_EQ(p, (V{0, 50, 100}));
  EXPECT_FALSE(sample(3, 1, 0.001f, 0, 0, 0.5f, 0, 1, p));
  // One row: y must be exactly 0.
  EXPECT_TRUE(sample(1, 4, 0, 0, 0, 1.5f, 1, 0, p));
  EXPECT_EQ(p, (V{0, 1.5, 3}));
}

TEST_P(Sampler, NonFinitePixelsReachOnlyTheSamplesThatTouchThem) {
  gx[5] = std::nanf("");  // pixel (1, 1)
  std::vector<double> p(4);
  EXPECT_TRUE(sample(3, 4, 0, 1, 0, 1, 1, 0, p));
  // Column 0 has weight 1 on (0,1) and weight 0 on (1,1): 0 * NaN is NaN.
  EXPECT_TRUE(std::isnan(p[0]));
  EXPECT_TRUE(std::isnan(p[1]));
  EXPECT_EQ(p[2], 12.0);
  EXPECT_EQ(p[3], 13.0);
}

INSTANTIATE_PER_ISA(PerRayFunctions);
INSTANTIATE_PER_ISA(Sampler);

}  // namespace
