// The exported call on inputs that sit right before inaccessible pages and
// are mapped read-only: an overread or a write into an input crashes the
// test. Random calls are compared bit for bit with the oracle.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "guarded_buffer.h"
#include "pupil_radial.h"
#include "random_call.h"
#include "reference_search.h"

namespace {

// All inputs of one call, guarded and read-only; the output guarded and
// filled with a sentinel so untouched entries can be told apart.
struct GuardedCall {
  explicit GuardedCall(const ReferenceCall& c)
      : call(c),
        gx(c.grad_x),
        gy(c.grad_y),
        rmin(c.radius_min),
        rmax(c.radius_max),
        kernel(c.kernel),
        out(c.radius_min.size()) {
    gx.make_read_only();
    gy.make_read_only();
    rmin.make_read_only();
    rmax.make_read_only();
    kernel.make_read_only();
    for (size_t i = 0; i < out.size(); ++i) out[i] = kSentinel;
  }
  int32_t run() {
    return pupil_guided_radial_search(
        gx.data(), gy.data(), call.rows, call.cols, call.center_x,
        call.center_y, call.ray_count, rmin.data(), rmax.data(),
        call.sample_count, kernel.data(), call.kernel_len, out.data());
  }
  static constexpr double kSentinel = 12345.678;
  const ReferenceCall& call;
  GuardedBuffer<float> gx, gy, rmin, rmax;
  GuardedBuffer<double> kernel, out;
};

TEST(Guarded, RandomCallsMatchTheOracleBitForBit) {
  RandomCalls calls(20261207);
  int gated = 0, rays_found = 0, rays_missed = 0;
  const int calls_to_make = scaled_count(20000);
  for (int n = 0; n < calls_to_make; ++n) {
    const ReferenceCall c = calls.next();
    GuardedCall g(c);
    const int32_t count = g.run();
    std::vector<double> expected;
    const int32_t expected_count = reference_search(c, expected);
    ASSERT_EQ(count, expected_count) << "call " << n;
    if (expected.empty()) {
      ++gated;
      for (size_t i = 0; i < g.out.size(); ++i)
        ASSERT_EQ(g.out[i], GuardedCall::kSentinel) << "call " << n;
      continue;
    }
    ASSERT_EQ(std::memcmp(expected.data(), g.out.data(),
                          expected.size() * sizeof(double)),
              0)
        << "call " << n;
    rays_found += count;
    rays_missed += c.ray_count - count;
  }
  // The generator must exercise all three outcomes in earnest.
  EXPECT_GT(gated, calls_to_make / 40);
  EXPECT_GT(rays_found, calls_to_make * 5 / 2);
  EXPECT_GT(rays_missed, calls_to_make);
}

// Past 2^24 columns the float bound test rounds the last column up to
// `cols` itself: such samples are outside, and nothing beyond the image (on
// its last row, the end of the array) is read.
TEST(Guarded, WideAndTallImagesNeverReadPastTheLastPixel) {
  const int32_t wide = 16777220;
  {
    GuardedBuffer<float> gx(wide), gy(wide);
    for (int32_t x = 0; x < wide; ++x) gx[x] = gy[x] = 0.0f;
    gx[wide - 2] = 5.0f;  // column 16777218, radius 6 from the centre
    gx.make_read_only();
    gy.make_read_only();
    const float rmin = 0, rmax = 16;
    double out = 0;
    EXPECT_EQ(pupil_guided_radial_search(gx.data(), gy.data(), 1, wide,
                                         16777212.0f, 0.0f, 1, &rmin, &rmax, 17,
                                         &(const double&)1.0, 1, &out),
              1);
    EXPECT_EQ(out, 6.0);
    // With nothing inside but the rounded-up positions there is no result.
    const float rmin2 = 7, rmax2 = 9;
    EXPECT_EQ(pupil_guided_radial_search(gx.data(), gy.data(), 1, wide,
                                         16777212.0f, 0.0f, 1, &rmin2, &rmax2,
                                         3, &(const double&)1.0, 1, &out),
              0);
    EXPECT_EQ(out, -1.0);
  }
  {
    // Two columns, 2^24 + 4 rows; ray 1 of 4 runs down column 0.5.
    GuardedBuffer<float> gx(int64_t{wide} * 2), gy(int64_t{wide} * 2);
    for (int64_t i = 0; i < int64_t{wide} * 2; ++i) gx[i] = gy[i] = 0.0f;
    gy[int64_t{wide - 2} * 2] = 5.0f;
    gy[int64_t{wide - 2} * 2 + 1] = 5.0f;
    gx.make_read_only();
    gy.make_read_only();
    const float rmin[4] = {0, 0, 0, 0}, rmax[4] = {0, 16, 0, 0};
    double out[4];
    EXPECT_EQ(pupil_guided_radial_search(gx.data(), gy.data(), wide, 2, 0.5f,
                                         16777212.0f, 4, rmin, rmax, 17,
                                         &(const double&)1.0, 1, out),
              1);
    EXPECT_EQ(out[1], 6.0);
  }
}

}  // namespace
