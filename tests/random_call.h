// Seeded random calls that lean on the awkward corners: degenerate and
// negative image sizes, centres outside or NaN, reversed, equal, NaN,
// infinite and huge radii, sample counts from -2 to thousands, kernels
// longer than the profile, non-finite and huge taps and pixels.
#ifndef PUPIL_RADIAL_TESTS_RANDOM_CALL_H
#define PUPIL_RADIAL_TESTS_RANDOM_CALL_H

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "kernel_cases.h"
#include "reference_search.h"

// How many random cases a test runs: `n`, scaled by the environment
// variable PUPIL_RADIAL_TEST_SCALE (for slow checkers such as valgrind).
inline int scaled_count(int n) {
  const char* scale = std::getenv("PUPIL_RADIAL_TEST_SCALE");
  if (scale == nullptr) return n;
  const double f = std::atof(scale);
  return f > 0 ? std::max(1, static_cast<int>(n * f)) : n;
}

class RandomCalls {
 public:
  explicit RandomCalls(uint64_t seed) : rng_(seed) {}

  ReferenceCall next() {
    ReferenceCall c;
    c.rows = size();
    c.cols = size();
    const int64_t pixels =
        c.rows > 0 && c.cols > 0 ? int64_t{c.rows} * c.cols : 0;
    const float style = uniform(0, 1);
    for (int64_t i = 0; i < pixels; ++i) {
      c.grad_x.push_back(pixel(style));
      c.grad_y.push_back(pixel(style));
    }
    c.center_x = coordinate(c.cols);
    c.center_y = coordinate(c.rows);
    c.ray_count = chance(0.03) ? int_in(-3, 0) : int_in(1, 24);
    const int32_t rays = c.ray_count > 0 ? c.ray_count : 0;
    const float reach = static_cast<float>(std::max(c.rows, c.cols));
    for (int32_t i = 0; i < rays; ++i) {
      float r0 = uniform(-0.3f * reach, 0.8f * reach);
      float r1 = r0 + uniform(0, 1.2f * reach + 1);
      if (chance(0.05)) std::swap(r0, r1);
      if (chance(0.03)) r1 = r0;
      if (chance(0.02)) r0 = odd_float();
      if (chance(0.02)) r1 = odd_float();
      c.radius_min.push_back(r0);
      c.radius_max.push_back(r1);
    }
    if (chance(0.04)) {
      c.sample_count = int_in(-2, 1);
    } else if (chance(0.03)) {
      c.sample_count = int_in(1000, 3000);
    } else {
      c.sample_count = int_in(2, 90);
    }
    if (chance(0.04)) {
      c.kernel_len = int_in(-3, 0);
    } else {
      const int32_t longest = std::max(c.sample_count, 1) * 2 + 3;
      c.kernel_len = chance(0.7) ? int_in(1, 15) : int_in(1, longest);
    }
    for (int32_t t = 0; t < c.kernel_len; ++t) c.kernel.push_back(tap());
    return c;
  }

 private:
  // The same draws with every standard library.
  bool chance(double p) { return rng_.chance(p); }
  int32_t int_in(int32_t lo, int32_t hi) { return rng_.between(lo, hi); }
  float uniform(float lo, float hi) {
    return static_cast<float>(rng_.uniform(lo, hi));
  }
  int32_t size() {
    if (chance(0.03)) return std::numeric_limits<int32_t>::min();
    if (chance(0.05)) return int_in(-2, 0);
    if (chance(0.15)) return 1;
    return int_in(2, 48);
  }
  float odd_float() {
    const float values[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            3.0e38f,
                            -3.0e38f,
                            1e-40f,
                            -0.0f,
                            16777217.0f};
    return values[int_in(0, 7)];
  }
  float pixel(float style) {
    if (chance(style < 0.2f ? 0.05 : 0.002)) return odd_float();
    if (style > 0.9f) return static_cast<float>(int_in(-3, 3));
    return uniform(-50, 50);
  }
  float coordinate(int32_t size) {
    if (chance(0.02)) return std::numeric_limits<float>::quiet_NaN();
    const float extent = static_cast<float>(std::max(size, 1));
    if (chance(0.1)) return uniform(-extent, 2 * extent);
    if (chance(0.1))
      return static_cast<float>(int_in(0, std::max(size, 1) - 1));
    return uniform(0, extent - 1);
  }
  double tap() {
    if (chance(0.01)) {
      const double values[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               1e300,
                               -1e300,
                               4.9e-324};
      return values[int_in(0, 5)];
    }
    if (chance(0.1)) return 0.0;
    return rng_.uniform(-1, 2);
  }

  cases::Random rng_;
};

#endif
