// Sampling one ray: its direction, and the radial gradient at evenly spaced
// radii, bilinearly interpolated, with -infinity for samples that fall
// outside the image.
#ifndef PUPIL_RADIAL_RAY_PROFILE_H
#define PUPIL_RADIAL_RAY_PROFILE_H

#include <cstdint>

namespace pupil {

// The value of a ray profile entry whose sample lies outside the image, and
// of a filtered entry that no sample reached.
constexpr double kOutside = -__builtin_inf();

// Ray i of ray_count points at angle (i * kTwoPi) / ray_count, in double
// precision, from +x toward +y.
constexpr double kTwoPi = 6.283185307179586;

// The directions of rays first .. first + count - 1 of ray_count: c[k] and
// s[k] are the cosine and sine of ray first + k's angle, computed together
// by the C library's sincos and rounded to single precision.
void ray_directions(int32_t first, int32_t count, int32_t ray_count, float* c,
                    float* s);

// Writes profile[0 .. sample_count-1] for the ray through (center_x,
// center_y) with direction (c, s): sample j sits at radius j * step + r0.
// Returns whether any sample lay inside the image.
bool sample_ray_profile(const float* grad_x, const float* grad_y, int32_t rows,
                        int32_t cols, float center_x, float center_y, float r0,
                        float step, float c, float s, int32_t sample_count,
                        double* profile);

using RayDirectionsFn = decltype(&ray_directions);
using SampleRayProfileFn = decltype(&sample_ray_profile);

}  // namespace pupil

#endif
