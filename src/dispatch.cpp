// Chooses among the reference per-ray functions and their instruction-set
// twins, per architecture. On x86-64 the CPU's features come from the
// compiler runtime, which reads them once at load time and reports AVX only
// where the OS saves the vector registers; every aarch64 CPU has NEON.
#include "dispatch.h"

namespace pupil {

bool cpu_supports(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
      return true;
#if defined(__x86_64__)
    case Isa::kAvx2:
      __builtin_cpu_init();  // a no-op once the runtime has done it
      return __builtin_cpu_supports("avx2");
    case Isa::kAvx512:
      // Only AVX-512 Foundation is used. The runtime reports it only where
      // the OS also saves the mask and upper vector registers.
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
#elif defined(__aarch64__)
    case Isa::kNeon:
      return true;
#endif
    default:
      return false;
  }
}

RayFunctions ray_functions_for(Isa isa) {
  switch (isa) {
#if defined(__x86_64__)
    case Isa::kAvx2:
      return x86::avx2;
    case Isa::kAvx512:
      return x86::avx512;
#elif defined(__aarch64__)
    case Isa::kNeon:
      return arm::neon;
#endif
    default:
      break;
  }
  return {"scalar",        &ray_directions,    &sample_ray_profile,
          &filter_profile, &find_profile_peak, &filter_profile_peak};
}

RayFunctions select_ray_functions() {
  Isa best = Isa::kScalar;
  for (Isa isa : kIsas) {
    if (cpu_supports(isa)) best = isa;
  }
  return ray_functions_for(best);
}

}  // namespace pupil
