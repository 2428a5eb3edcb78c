// The oracle: written from the library's contract alone, as plainly as
// possible, and not shared with the library's code.
#include "reference_search.h"

#include <math.h>

#include <limits>

namespace {
const double kMinusInf = -std::numeric_limits<double>::infinity();
}

bool reference_ray_profile(const float* gx, const float* gy, int32_t rows,
                           int32_t cols, float cx, float cy, float r0,
                           float step, float c, float s, int32_t n,
                           double* profile) {
  bool any_inside = false;
  for (int32_t j = 0; j < n; ++j) {
    float fj = (float)j;
    float jstep = fj * step;
    float r = jstep + r0;
    float cr = c * r;
    float x = cr + cx;
    float rs = r * s;
    float y = rs + cy;
    profile[j] = kMinusInf;
    if (isnan(x) || isnan(y)) continue;
    if (rows <= 0 || cols <= 0) continue;
    if (x < 0.0f || y < 0.0f) continue;
    if (x > (float)((int64_t)cols - 1) || y > (float)((int64_t)rows - 1))
      continue;
    int64_t x0 = (int64_t)x;
    int64_t y0 = (int64_t)y;
    if (x0 > (int64_t)cols - 1 || y0 > (int64_t)rows - 1) continue;
    int64_t x1 = x0 + 1;
    if (x1 >= cols) x1 = x0;
    int64_t y1 = y0 + 1;
    if (y1 >= rows) y1 = y0;
    float fx = x - (float)x0;
    float fy = y - (float)y0;
    float gfx = 1.0f - fx;
    float gfy = 1.0f - fy;
    float w00 = gfx * gfy;
    float w10 = fx * gfy;
    float w01 = gfx * fy;
    float w11 = fx * fy;
    float v[2];
    const float* images[2] = {gx, gy};
    for (int p = 0; p < 2; ++p) {
      const float* im = images[p];
      float a = im[y0 * (int64_t)cols + x0] * w00;
      float b = im[y0 * (int64_t)cols + x1] * w10;
      float ab = a + b;
      float d = im[y1 * (int64_t)cols + x0] * w01;
      float abd = ab + d;
      float e = im[y1 * (int64_t)cols + x1] * w11;
      v[p] = abd + e;
    }
    float radial_y = v[1] * s;
    float radial_x = v[0] * c;
    float g = radial_y + radial_x;
    profile[j] = (double)g;
    any_inside = true;
  }
  return any_inside;
}

void reference_filter(const double* profile, int32_t n, const double* kernel,
                      int32_t kernel_len, double* filtered) {
  int64_t half = kernel_len / 2;
  for (int64_t k = 0; k < n; ++k) {
    if (kernel_len <= 0) {
      filtered[k] = kMinusInf;
      continue;
    }
    double sum = 0.0;
    bool contributed = false;
    for (int64_t t = 0; t < kernel_len; ++t) {
      int64_t l = k - half + t;
      if (l < 0 || l >= n) continue;
      if (isinf(profile[l]) || isnan(profile[l])) continue;
      double product = profile[l] * kernel[t];
      sum = product + sum;
      contributed = true;
    }
    filtered[k] = contributed ? sum : kMinusInf;
  }
}

int32_t reference_peak(const double* filtered, int32_t n) {
  int32_t best = -1;
  double m = kMinusInf;
  for (int32_t l = 0; l < n; ++l) {
    if (filtered[l] > m) {
      best = l;
      m = filtered[l];
    }
  }
  if (best == -1) return -1;
  if (isinf(m) || isnan(m)) return -1;
  return best;
}

int32_t reference_search(const ReferenceCall& call, std::vector<double>& out) {
  if (call.sample_count < 2 || call.ray_count <= 0) return 0;
  const int32_t n = call.sample_count;
  std::vector<double> profile(n), filtered(n);
  out.assign(call.ray_count, 0.0);
  int32_t found = 0;
  for (int32_t i = 0; i < call.ray_count; ++i) {
    float r0 = call.radius_min[i];
    float r1 = call.radius_max[i];
    out[i] = -1.0;
    if (isnan(r0) || isnan(r1) || r1 <= r0) continue;
    float span = r1 - r0;
    float step = span / (float)(n - 1);
    double angle = (double)i * 6.283185307179586;
    angle = angle / (double)call.ray_count;
    double sn, cs;
    sincos(angle, &sn, &cs);
    if (!reference_ray_profile(call.grad_x.data(), call.grad_y.data(),
                               call.rows, call.cols, call.center_x,
                               call.center_y, r0, step, (float)cs, (float)sn, n,
                               profile.data()))
      continue;
    reference_filter(profile.data(), n, call.kernel.data(), call.kernel_len,
                     filtered.data());
    int32_t p = reference_peak(filtered.data(), n);
    if (p < 0) continue;
    float pstep = (float)p * step;
    float radius = pstep + r0;
    out[i] = (double)radius;
    ++found;
  }
  return found;
}
