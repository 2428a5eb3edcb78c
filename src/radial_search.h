// The search over all rays, run with a given table of per-ray functions;
// the exported entry point runs it with the table chosen for this CPU.
#ifndef PUPIL_RADIAL_RADIAL_SEARCH_H
#define PUPIL_RADIAL_RADIAL_SEARCH_H

#include <cstdint>

#include "dispatch.h"

namespace pupil {

int32_t radial_search(const RayFunctions& functions, const float* grad_x,
                      const float* grad_y, int32_t rows, int32_t cols,
                      float center_x, float center_y, int32_t ray_count,
                      const float* radius_min, const float* radius_max,
                      int32_t sample_count, const double* taps,
                      int32_t tap_count, double* out_radius);

}  // namespace pupil

#endif
