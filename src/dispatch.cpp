// Chooses among the reference kernels and their instruction-set twins. The
// CPU's features come from the compiler runtime, which reads them once at
// load time and reports AVX only where the OS saves the vector registers.
#include "dispatch.h"

namespace pupil {

bool cpu_supports(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
      return true;
    case Isa::kAvx2:
      __builtin_cpu_init();  // a no-op once the runtime has done it
      return __builtin_cpu_supports("avx2");
    case Isa::kAvx512:
      // Only AVX-512 Foundation is used. The runtime reports it only where
      // the OS also saves the mask and upper vector registers.
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
  }
  return false;
}

RayKernels ray_kernels_for(Isa isa) {
  switch (isa) {
    case Isa::kAvx2:
      return avx2::kernels;
    case Isa::kAvx512:
      return avx512::kernels;
    case Isa::kScalar:
      break;
  }
  return {"scalar",        &ray_directions,    &sample_ray_profile,
          &filter_profile, &find_profile_peak, &filter_profile_peak};
}

RayKernels select_ray_kernels() {
  Isa best = Isa::kScalar;
  for (Isa isa : kAllIsas) {
    if (cpu_supports(isa)) best = isa;
  }
  return ray_kernels_for(best);
}

}  // namespace pupil
