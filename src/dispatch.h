// The per-ray functions a search runs with, one table per instruction set,
// and the one place that chooses a table for the CPU at hand.
#ifndef PUPIL_RADIAL_DISPATCH_H
#define PUPIL_RADIAL_DISPATCH_H

#include "profile_peak.h"
#include "ray_profile.h"

namespace pupil {

// One instruction set's per-ray functions. The search runs ray_directions,
// sample_ray_profile and filter_profile_peak; filter_profile and
// find_profile_peak are the two halves of the latter, for tests.
struct RayFunctions {
  const char* name;
  RayDirectionsFn ray_directions;
  SampleRayProfileFn sample_ray_profile;
  FilterProfileFn filter_profile;
  FindProfilePeakFn find_profile_peak;
  FilterProfilePeakFn filter_profile_peak;
};

// The vector functions, bit-identical to the reference ones, each set's in
// its own translation unit; constants, so that reading them runs none of
// that unit's code.
#if defined(__x86_64__)
namespace x86 {
extern const RayFunctions avx2;
extern const RayFunctions avx512;
}  // namespace x86
#elif defined(__aarch64__)
namespace arm {
extern const RayFunctions neon;
}  // namespace arm
#endif

// Instruction sets with functions of their own. kIsas lists those this
// architecture builds, slowest first; the reference is on every one.
enum class Isa { kScalar, kAvx2, kAvx512, kNeon };
#if defined(__x86_64__)
constexpr Isa kIsas[] = {Isa::kScalar, Isa::kAvx2, Isa::kAvx512};
#elif defined(__aarch64__)
constexpr Isa kIsas[] = {Isa::kScalar, Isa::kNeon};
#else
constexpr Isa kIsas[] = {Isa::kScalar};
#endif

// Whether this build has `isa` and this CPU, and the OS's saving of vector
// state, allow it.
bool cpu_supports(Isa isa);

// The functions for `isa`; call them only where cpu_supports(isa). An
// instruction set this build lacks gets the reference functions.
RayFunctions ray_functions_for(Isa isa);

// The fastest functions this CPU supports. Decided on every call from the
// feature bits the runtime cached at load time, so nothing of ours is stored.
RayFunctions select_ray_functions();

}  // namespace pupil

#endif
