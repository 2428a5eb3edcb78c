// An independent, deliberately naive oracle for the whole search: one
// function, every step written out, every tap tested one by one. Tests
// compare the library against it bit for bit.
#ifndef PUPIL_RADIAL_TESTS_REFERENCE_SEARCH_H
#define PUPIL_RADIAL_TESTS_REFERENCE_SEARCH_H

#include <cstdint>
#include <vector>

struct ReferenceCall {
  std::vector<float> grad_x, grad_y;
  int32_t rows = 0, cols = 0;
  float center_x = 0, center_y = 0;
  int32_t ray_count = 0;
  std::vector<float> radius_min, radius_max;
  int32_t sample_count = 0;
  std::vector<double> kernel;
  int32_t kernel_len = 0;
};

// Returns the count and fills out (resized to ray_count) unless gated.
int32_t reference_search(const ReferenceCall& call, std::vector<double>& out);

// The profile of one ray, and the filter and peak of one profile, as the
// oracle computes them.
bool reference_ray_profile(const float* gx, const float* gy, int32_t rows,
                           int32_t cols, float cx, float cy, float r0,
                           float step, float c, float s, int32_t n,
                           double* profile);
void reference_filter(const double* profile, int32_t n, const double* kernel,
                      int32_t kernel_len, double* filtered);
int32_t reference_peak(const double* filtered, int32_t n);

#endif
