// Chooses among the reference kernels and their instruction-set twins.
#include "dispatch.h"

namespace pupil {

RayKernels scalar_ray_kernels() {
  return {"scalar", &sample_ray_profile, &filter_profile, &find_profile_peak};
}

RayKernels select_ray_kernels() { return scalar_ray_kernels(); }

}  // namespace pupil
