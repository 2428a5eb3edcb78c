// What an instruction set's translation unit includes: the shared vector
// bodies, the traits contract, and the table of per-ray functions built
// from a traits type V, checked against the contract first.
#ifndef PUPIL_RADIAL_SIMD_RAY_FUNCTIONS_SIMD_H
#define PUPIL_RADIAL_SIMD_RAY_FUNCTIONS_SIMD_H

#include "dispatch.h"
#include "simd/profile_peak_simd.h"
#include "simd/ray_direction_simd.h"
#include "simd/ray_profile_simd.h"
#include "simd/vector_traits.h"

namespace pupil::simd {
namespace {

// A constant expression, so that a set's table is data in its unit,
// initialised before any code runs: dispatch reads it on any CPU.
template <class V>
constexpr RayFunctions ray_functions(const char* name) {
  static_assert(vector_traits_complete<V>());
  return {name,
          &ray_directions_simd<V>,
          &sample_ray_profile_simd<V>,
          &filter_profile_simd<V>,
          &find_profile_peak_simd<V>,
          &filter_profile_peak_simd<V>};
}

}  // namespace
}  // namespace pupil::simd

#endif
