// The set of per-ray kernels a search runs with, and the one place that
// chooses it for the CPU at hand.
#ifndef PUPIL_RADIAL_DISPATCH_H
#define PUPIL_RADIAL_DISPATCH_H

#include "profile_peak.h"
#include "ray_profile.h"

namespace pupil {

struct RayKernels {
  const char* name;
  SampleRayProfileFn sample_ray_profile;
  FilterProfileFn filter_profile;
  FindProfilePeakFn find_profile_peak;
};

// The plain reference kernels, valid on any x86-64 CPU.
RayKernels scalar_ray_kernels();

// The fastest kernels this CPU and OS support. Decided on every call from
// the feature bits the runtime cached at load time, so nothing of ours is
// stored.
RayKernels select_ray_kernels();

}  // namespace pupil

#endif
