// The set of per-ray kernels a search runs with, and the one place that
// chooses it for the CPU at hand.
#ifndef PUPIL_RADIAL_DISPATCH_H
#define PUPIL_RADIAL_DISPATCH_H

#include "profile_peak.h"
#include "ray_profile.h"

namespace pupil {

// One instruction set's kernels. The search runs ray_directions,
// sample_ray_profile and filter_profile_peak; filter_profile and
// find_profile_peak are the two halves of the latter, for tests.
struct RayKernels {
  const char* name;
  RayDirectionsFn ray_directions;
  SampleRayProfileFn sample_ray_profile;
  FilterProfileFn filter_profile;
  FindProfilePeakFn find_profile_peak;
  FilterProfilePeakFn filter_profile_peak;
};

// The vector kernels, bit-identical to the reference ones, each set's in
// its own translation unit; constants, so that reading them runs none of
// that unit's code.
namespace avx2 {
extern const RayKernels kernels;
}
namespace avx512 {
extern const RayKernels kernels;
}

// Instruction sets with kernels of their own, slowest first.
enum class Isa { kScalar, kAvx2, kAvx512 };
constexpr Isa kAllIsas[] = {Isa::kScalar, Isa::kAvx2, Isa::kAvx512};

// Whether this CPU, and the OS's saving of vector state, allow `isa`.
bool cpu_supports(Isa isa);

// The kernels for `isa`; call them only where cpu_supports(isa).
RayKernels ray_kernels_for(Isa isa);

// The fastest kernels this CPU supports. Decided on every call from the
// feature bits the runtime cached at load time, so nothing of ours is stored.
RayKernels select_ray_kernels();

}  // namespace pupil

#endif
