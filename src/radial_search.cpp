// The exported entry point: the gate, the scratch memory and each ray's
// geometry; sampling and peak picking are left to the per-ray functions.
#include "radial_search.h"

#include <stdlib.h>

#include "pupil_radial.h"

namespace pupil {

namespace {
constexpr double kNoResult = -1.0;
}  // namespace

int32_t radial_search(const RayFunctions& functions, const float* grad_x,
                      const float* grad_y, int32_t rows, int32_t cols,
                      float center_x, float center_y, int32_t ray_count,
                      const float* radius_min, const float* radius_max,
                      int32_t sample_count, const double* taps,
                      int32_t tap_count, double* out_radius) {
  if (sample_count < 2) return 0;
  if (ray_count <= 0) return 0;

  // Two separate arrays, sized in 64 bits, the profile with the zeros the
  // vector filters read around it. If either cannot be had the call fails
  // as a whole: nothing written, nothing kept.
  const size_t bytes = static_cast<size_t>(sample_count) * sizeof(double);
  const size_t pad_bytes = static_cast<size_t>(kProfilePad) * sizeof(double);
  double* profile_block =
      static_cast<double*>(malloc(pad_bytes + bytes + pad_bytes));
  double* filtered = static_cast<double*>(malloc(bytes));
  if (profile_block == nullptr || filtered == nullptr) {
    free(profile_block);
    free(filtered);
    return 0;
  }
  double* profile = profile_block + kProfilePad;
  for (int64_t i = 1; i <= kProfilePad; ++i) {
    profile[-i] = 0.0;
    profile[sample_count - 1 + i] = 0.0;
  }

  const float last_sample = static_cast<float>(sample_count - 1);
  int32_t found = 0;
  // Directions come a batch of rays at a time; a ray's depends only on its
  // index, whether or not it has a range.
  constexpr int32_t kBatch = 64;
  float batch_c[kBatch];
  float batch_s[kBatch];
  for (int32_t i = 0; i < ray_count; ++i) {
    if (i % kBatch == 0) {
      const int32_t left = ray_count - i;
      functions.ray_directions(i, left < kBatch ? left : kBatch, ray_count,
                               batch_c, batch_s);
    }
    const float r0 = radius_min[i];
    const float r1 = radius_max[i];
    if (!(r1 > r0)) {  // ordered: NaN bounds and empty ranges fail
      out_radius[i] = kNoResult;
      continue;
    }
    const float step = (r1 - r0) / last_sample;
    const float c = batch_c[i % kBatch];
    const float s = batch_s[i % kBatch];

    if (!functions.sample_ray_profile(grad_x, grad_y, rows, cols, center_x,
                                      center_y, r0, step, c, s, sample_count,
                                      profile)) {
      out_radius[i] = kNoResult;
      continue;
    }
    const int32_t peak = functions.filter_profile_peak(
        profile, sample_count, taps, tap_count, filtered);
    if (peak < 0) {
      out_radius[i] = kNoResult;
      continue;
    }
    // The same formula that placed the sample, so the radius is exact.
    const float radius = static_cast<float>(peak) * step + r0;
    out_radius[i] = static_cast<double>(radius);
    ++found;
  }

  free(profile_block);
  free(filtered);
  return found;
}

}  // namespace pupil

extern "C" int32_t pupil_guided_radial_search(
    const float* grad_x, const float* grad_y, int32_t rows, int32_t cols,
    float center_x, float center_y, int32_t ray_count, const float* radius_min,
    const float* radius_max, int32_t sample_count, const double* kernel,
    int32_t kernel_len, double* out_radius) {
  return pupil::radial_search(pupil::select_ray_functions(), grad_x, grad_y,
                              rows, cols, center_x, center_y, ray_count,
                              radius_min, radius_max, sample_count, kernel,
                              kernel_len, out_radius);
}
