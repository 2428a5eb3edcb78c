// Behaviour of the exported call as a host sees it: worked examples, the
// gate, ray order and direction, image borders, non-finite inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "pupil_radial.h"

namespace {

const float kInfF = std::numeric_limits<float>::infinity();
const float kNanF = std::numeric_limits<float>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

// One call's inputs with convenient defaults; run() returns the count.
struct Call {
  std::vector<float> gx, gy;
  int32_t rows = 0, cols = 0;
  float cx = 0, cy = 0;
  std::vector<float> rmin, rmax;
  int32_t samples = 0;
  std::vector<double> kernel;
  std::optional<int32_t> kernel_len;  // default: the kernel's size
  std::optional<int32_t> ray_count;   // default: the number of radii
  std::vector<double> out;

  int32_t run() {
    const int32_t rays = ray_count.value_or(static_cast<int32_t>(rmin.size()));
    if (out.size() < rmin.size()) out.assign(rmin.size(), 7.0);
    return pupil_guided_radial_search(
        gx.data(), gy.data(), rows, cols, cx, cy, rays, rmin.data(),
        rmax.data(), samples, kernel.data(),
        kernel_len.value_or(static_cast<int32_t>(kernel.size())), out.data());
  }
};

// An image of rows x cols with zero gradient everywhere.
Call flat_image(int32_t rows, int32_t cols) {
  Call c;
  c.rows = rows;
  c.cols = cols;
  c.gx.assign(static_cast<size_t>(rows) * cols, 0);
  c.gy.assign(static_cast<size_t>(rows) * cols, 0);
  return c;
}

// The one-row image of five columns with gradient (0, 1, 3, 2, 0) along x.
Call five_column_row() {
  Call c;
  c.gx = {0, 1, 3, 2, 0};
  c.gy = {0, 0, 0, 0, 0};
  c.rows = 1;
  c.cols = 5;
  c.rmin = {0};
  c.rmax = {4};
  c.samples = 5;
  return c;
}

TEST(Search, WorkedExamplesOnAFiveColumnRow) {
  Call c = five_column_row();
  c.kernel = {1, 1, 1};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 2.0);

  c.kernel = {1, 1};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 3.0);

  c.kernel = {1, 1, 1};
  for (int32_t len : {0, -3}) {
    c.kernel_len = len;
    EXPECT_EQ(c.run(), 0);
    EXPECT_EQ(c.out[0], -1.0);
  }

  c = five_column_row();
  c.cx = 2;
  c.rmin = {-2};
  c.rmax = {2};
  c.kernel = {1};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 0.0);
}

TEST(Search, GateLeavesOutputUntouched) {
  for (int32_t samples : {-5, 0, 1}) {
    Call c = five_column_row();
    c.kernel = {1};
    c.samples = samples;
    EXPECT_EQ(c.run(), 0);
    EXPECT_EQ(c.out[0], 7.0) << samples;
  }
  for (int32_t rays : {0, -1, std::numeric_limits<int32_t>::min()}) {
    Call c = five_column_row();
    c.kernel = {1};
    c.ray_count = rays;
    EXPECT_EQ(c.run(), 0);
    EXPECT_EQ(c.out[0], 7.0) << rays;
  }
}

TEST(Search, EmptyReversedAndNanRangesGiveNoResult) {
  Call c = five_column_row();
  c.kernel = {1};
  c.ray_count = 1;
  const float pairs[][2] = {{2, 2}, {3, 1}, {kNanF, 4}, {0, kNanF}};
  for (const auto& p : pairs) {
    c.rmin = {p[0]};
    c.rmax = {p[1]};
    c.out.clear();
    EXPECT_EQ(c.run(), 0);
    EXPECT_EQ(c.out[0], -1.0);
  }
}

// A 9x9 image whose gradient is large at a single pixel; the ray that passes
// over it finds it, and the ray index says where it points.
TEST(Search, RaysRunCounterClockwiseInImageCoordinatesFromPlusX) {
  const int n = 9;
  Call c = flat_image(n, n);
  c.cx = c.cy = 4;
  c.samples = 5;
  c.kernel = {1};
  c.rmin.assign(4, 0.0f);
  c.rmax.assign(4, 4.0f);
  // Radial gradient: gx = x - 4, gy = y - 4, stronger at radius 2.
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      c.gx[y * n + x] = static_cast<float>(x - 4);
      c.gy[y * n + x] = static_cast<float>(y - 4);
    }
  }
  // Ray 0 toward +x (column 7), ray 1 toward +y (row 7), ray 2 toward -x
  // (column 2), ray 3 toward -y (row 1): make each a different peak radius.
  c.gx[4 * n + 7] = 100;   // radius 3 on ray 0
  c.gy[7 * n + 4] = 100;   // radius 3 on ray 1
  c.gx[4 * n + 2] = -100;  // radius 2 on ray 2 (outward is -x)
  c.gy[1 * n + 4] = -100;  // radius 3 on ray 3
  EXPECT_EQ(c.run(), 4);
  EXPECT_EQ(c.out, (std::vector<double>{3, 3, 2, 3}));

  // A single ray points along +x.
  c.rmin.resize(1);
  c.rmax.resize(1);
  c.out.clear();
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 3.0);
}

// On a one-row image, the ray toward -x has a tiny positive sine (the float
// of sin(pi)), so every sample off radius 0 leaves row 0. Were the sine
// snapped to 0, that ray would find its peak at radius 4.
TEST(Search, SinesAreNotSnappedToZero) {
  Call c = flat_image(1, 9);
  c.gx = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  c.cx = 4;
  c.samples = 5;
  c.kernel = {1};
  c.rmin.assign(4, 0.0f);
  c.rmax.assign(4, 4.0f);
  EXPECT_EQ(c.run(), 4);
  // +x climbs to column 8; +y, -x and -y keep only their sample at radius 0.
  EXPECT_EQ(c.out, (std::vector<double>{4, 0, 0, 0}));
}

TEST(Search, BoundsAreInclusiveAndSinglePixelImagesWork) {
  // A ray along +x that ends exactly on the last column of a 3x4 image and
  // peaks there: the last pixel's value is taken whole.
  Call c = flat_image(3, 4);
  c.gx[2 * 4 + 3] = 5;  // (3, 2), the last pixel
  c.cy = 2;
  c.rmin = {0};
  c.rmax = {3};
  c.samples = 4;
  c.kernel = {1};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 3.0);
  // One step further out and the last sample lies beyond the last column.
  c.rmax = {4.5f};
  c.gx[2 * 4 + 3] = 0;
  c.gx[2 * 4 + 0] = -1;  // so that the peak is not at radius 0
  c.samples = 4;
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 1.5);

  // A 1x1 image: only the centre itself is inside.
  Call one;
  one.rows = one.cols = 1;
  one.gx = {2};
  one.gy = {3};
  one.rmin = {0, 0, 0, 0};
  one.rmax = {10, 10, 10, 10};
  one.samples = 11;
  one.kernel = {1};
  EXPECT_EQ(one.run(), 4);
  EXPECT_EQ(one.out, (std::vector<double>{0, 0, 0, 0}));
  // A centre just off the pixel leaves every sample outside.
  one.cx = 1e-6f;
  one.rmin = {0};
  one.rmax = {10};
  one.ray_count = 1;
  one.out.clear();
  EXPECT_EQ(one.run(), 0);
  EXPECT_EQ(one.out[0], -1.0);
}

TEST(Search, CentreFarOutsideGivesNoResultOnEveryRay) {
  Call c = five_column_row();
  c.kernel = {1};
  c.cx = 100;
  c.cy = 100;
  c.rmin.assign(16, 0.0f);
  c.rmax.assign(16, 10.0f);
  EXPECT_EQ(c.run(), 0);
  EXPECT_EQ(c.out, std::vector<double>(16, -1.0));
}

TEST(Search, PeakAtEitherEndOfTheRange) {
  // Peak at sample 0 is exactly radius_min; at the last sample it is
  // (n - 1) * step + r0, which need not equal radius_max.
  Call c = flat_image(1, 200);
  const float r0 = 0.1f, r1 = 0.7f;
  const int32_t n = 7;
  c.rmin = {r0};
  c.rmax = {r1};
  c.samples = n;
  c.kernel = {1};
  for (int x = 0; x < 200; ++x) c.gx[x] = -static_cast<float>(x);
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], static_cast<double>(r0));

  for (int x = 0; x < 200; ++x) c.gx[x] = static_cast<float>(x);
  const float step = (r1 - r0) / static_cast<float>(n - 1);
  const float last = static_cast<float>(n - 1) * step + r0;
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], static_cast<double>(last));
}

TEST(Search, NegativeRadiiLookBehindTheCentreAndMinusOneCounts) {
  // The ray along +x from -3 to 1 on a row: samples at columns 1..5 for a
  // centre at column 4. The peak at column 3 is radius -1.0: a real result.
  Call c = flat_image(1, 8);
  c.gx[3] = 9;
  c.cx = 4;
  c.rmin = {-3};
  c.rmax = {1};
  c.samples = 5;
  c.kernel = {1};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], -1.0);
}

TEST(Search, NonFiniteInputsAreSkippedOrGiveNoResult) {
  // A NaN pixel: its sample is left out of the filter, the rest still count.
  Call c = five_column_row();
  c.gx = {0, 1, kNanF, 2, 0};
  c.kernel = {1};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 3.0);
  // An infinite pixel is skipped too.
  c.gx = {0, 1, kInfF, 2, 0};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 3.0);

  // Overflow to +infinity in the filter: no result, even though finite
  // values exist elsewhere.
  c = five_column_row();
  c.gx = {0, 1, 3e38f, 3e38f, 0};
  c.kernel = {1e300, 1e300};
  EXPECT_EQ(c.run(), 0);
  EXPECT_EQ(c.out[0], -1.0);

  // An infinite tap: +inf times a positive sample is +inf (no result); a NaN
  // tap makes every sum it touches NaN, and NaN is never a peak.
  c.kernel = {kInf};
  c.gx = {0, 1, 3, 2, 0};
  EXPECT_EQ(c.run(), 0);
  c.kernel = {kNan};
  EXPECT_EQ(c.run(), 0);
  EXPECT_EQ(c.out[0], -1.0);
  // An all-zero kernel reaches every sample: the peak is the first one.
  c.kernel = {0, 0, 0};
  EXPECT_EQ(c.run(), 1);
  EXPECT_EQ(c.out[0], 0.0);

  // An infinite bound makes the step infinite, and 0 * step + r0 NaN: every
  // position is NaN or infinite, hence outside.
  c = five_column_row();
  c.kernel = {1};
  c.rmin = {2};
  c.rmax = {kInfF};
  EXPECT_EQ(c.run(), 0);
  EXPECT_EQ(c.out[0], -1.0);
  c.rmin = {-kInfF};
  c.rmax = {0};
  EXPECT_EQ(c.run(), 0);
  EXPECT_EQ(c.out[0], -1.0);
  // A range too wide for a float also overflows the step.
  c.rmin = {-3e38f};
  c.rmax = {3e38f};
  EXPECT_EQ(c.run(), 0);

  // A NaN centre puts every sample outside.
  c = five_column_row();
  c.kernel = {1};
  c.cx = kNanF;
  c.rmin.assign(3, 0.0f);
  c.rmax.assign(3, 4.0f);
  EXPECT_EQ(c.run(), 0);
  EXPECT_EQ(c.out, std::vector<double>(3, -1.0));
}

// Only the taps that land on the profile matter, however many there are:
// a kernel of four million taps, zero but for its middle, filters five
// samples like its middle three taps alone.
TEST(Search, KernelsFarLongerThanTheProfile) {
  Call c = five_column_row();
  const int32_t half = 1 << 21;
  c.kernel.assign(2 * half + 1, 0.0);
  c.kernel[half - 1] = 1.0;
  c.kernel[half] = -1.0;
  c.kernel[half + 1] = 2.0;
  Call short_kernel = five_column_row();
  short_kernel.kernel = {1.0, -1.0, 2.0};
  EXPECT_EQ(c.run(), short_kernel.run());
  EXPECT_EQ(c.out, short_kernel.out);
  EXPECT_EQ(c.out[0], 1.0);  // filtered (2, 5, 2, 1, 2)
}

TEST(Search, NonPositiveSizesLeaveEverySampleOutside) {
  const int32_t sizes[] = {0, -1, std::numeric_limits<int32_t>::min()};
  for (int32_t rows : sizes) {
    for (int32_t cols : {rows, int32_t{5}}) {
      Call c = five_column_row();
      c.kernel = {1};
      c.rows = rows;
      c.cols = cols;
      EXPECT_EQ(c.run(), 0) << rows << " x " << cols;
      EXPECT_EQ(c.out[0], -1.0);
    }
  }
}

}  // namespace
