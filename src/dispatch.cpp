// Chooses among the reference kernels and their instruction-set twins.
#include "dispatch.h"

namespace pupil {

bool cpu_supports(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
      return true;
    case Isa::kAvx2:
    case Isa::kAvx512:
      return false;
  }
  return false;
}

RayKernels ray_kernels_for(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
    case Isa::kAvx2:
    case Isa::kAvx512:
      break;
  }
  return {"scalar", &sample_ray_profile, &filter_profile, &find_profile_peak};
}

RayKernels select_ray_kernels() {
  Isa best = Isa::kScalar;
  for (Isa isa : kAllIsas) {
    if (cpu_supports(isa)) best = isa;
  }
  return ray_kernels_for(best);
}

}  // namespace pupil
