// Reference ray directions and sampler: one at a time, in the exact order
// of operations that every faster variant must reproduce bit for bit.
#include "ray_profile.h"

#include <math.h>  // sincos, a GNU extension of the C library

namespace pupil {

void ray_directions(int32_t first, int32_t count, int32_t ray_count, float* c,
                    float* s) {
  for (int32_t k = 0; k < count; ++k) {
    const double theta = (static_cast<double>(first + k) * kTwoPi) /
                         static_cast<double>(ray_count);
    double sin_theta;
    double cos_theta;
    sincos(theta, &sin_theta, &cos_theta);
    c[k] = static_cast<float>(cos_theta);
    s[k] = static_cast<float>(sin_theta);
  }
}

bool sample_ray_profile(const float* grad_x, const float* grad_y, int32_t rows,
                        int32_t cols, float center_x, float center_y, float r0,
                        float step, float c, float s, int32_t sample_count,
                        double* profile) {
  // The last column and row as floats, from 64-bit sizes so that a size of
  // INT32_MIN cannot overflow; a size <= 0 leaves a negative bound that no
  // position passes.
  const float max_x = static_cast<float>(int64_t{cols} - 1);
  const float max_y = static_cast<float>(int64_t{rows} - 1);
  bool any_inside = false;
  for (int32_t j = 0; j < sample_count; ++j) {
    const float r = static_cast<float>(j) * step + r0;
    const float x = c * r + center_x;
    const float y = r * s + center_y;
    // Written so that a NaN position fails the test and counts as outside.
    if (!(x >= 0.0f && x <= max_x && y >= 0.0f && y <= max_y)) {
      profile[j] = kOutside;
      continue;
    }
    const int64_t x0 = static_cast<int64_t>(x);
    const int64_t y0 = static_cast<int64_t>(y);
    // Past 2^24 the float bound can round up beyond the last column or row;
    // such a position would truncate onto a pixel that does not exist.
    if (x0 >= cols || y0 >= rows) {
      profile[j] = kOutside;
      continue;
    }
    const int64_t x1 = x0 + 1 < cols ? x0 + 1 : x0;
    const int64_t y1 = y0 + 1 < rows ? y0 + 1 : y0;
    const float fx = x - static_cast<float>(x0);
    const float fy = y - static_cast<float>(y0);
    const float w00 = (1.0f - fx) * (1.0f - fy);
    const float w10 = fx * (1.0f - fy);
    const float w01 = (1.0f - fx) * fy;
    const float w11 = fx * fy;
    const int64_t i00 = y0 * cols + x0;
    const int64_t i10 = y0 * cols + x1;
    const int64_t i01 = y1 * cols + x0;
    const int64_t i11 = y1 * cols + x1;
    const float vx =
        ((grad_x[i00] * w00 + grad_x[i10] * w10) + grad_x[i01] * w01) +
        grad_x[i11] * w11;
    const float vy =
        ((grad_y[i00] * w00 + grad_y[i10] * w10) + grad_y[i01] * w01) +
        grad_y[i11] * w11;
    const float g = vy * s + vx * c;
    profile[j] = static_cast<double>(g);
    any_inside = true;
  }
  return any_inside;
}

}  // namespace pupil
