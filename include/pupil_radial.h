/*
 * pupil_radial.h - the public interface of core.so.
 *
 * One function: cast rays from a centre point through two gradient images,
 * smooth each ray's radial gradient profile with a caller-supplied kernel and
 * report, per ray, the radius of the strongest dark-to-bright edge.
 * Usable from C and C++; all arguments are plain arrays and numbers.
 */
#ifndef PUPIL_RADIAL_H
#define PUPIL_RADIAL_H

#include <stdint.h>

#define PUPIL_RADIAL_VERSION_MAJOR 1
#define PUPIL_RADIAL_VERSION_MINOR 0
#define PUPIL_RADIAL_VERSION_PATCH 0
#define PUPIL_RADIAL_VERSION_STRING "1.0.0"

/*
 * The library builds with hidden visibility and defines
 * PUPIL_RADIAL_BUILDING_LIBRARY; for everyone else the macro expands to
 * nothing.
 */
#if defined(PUPIL_RADIAL_BUILDING_LIBRARY) && defined(__GNUC__)
#define PUPIL_RADIAL_API __attribute__((visibility("default")))
#else
#define PUPIL_RADIAL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Finds, on each of `ray_count` rays cast from (center_x, center_y), the
 * radius where the smoothed radial gradient is largest.
 *
 * Conventions: x is the column, y the row; pixel (x, y) is element
 * y * cols + x. Ray i points at angle 2*pi*i / ray_count from +x toward +y
 * (ray 0 along increasing column, ray ray_count/4 along increasing row).
 * Sample j of ray i lies at radius j * step + radius_min[i], with
 * step = (radius_max[i] - radius_min[i]) / (sample_count - 1); samples are
 * interpolated bilinearly and samples outside the image are left out.
 * Single precision for positions and pixels, double for the filter.
 *
 *  grad_x       rows*cols floats, read only: gradient along x (columns).
 *  grad_y       rows*cols floats, read only: gradient along y (rows).
 *  rows, cols   image size. A size <= 0 leaves every sample outside.
 *  center_x     column coordinate of the rays' origin, in pixels.
 *  center_y     row coordinate of the rays' origin, in pixels. A NaN centre
 *               yields no result on any ray.
 *  ray_count    number of rays, spread evenly over the full circle.
 *  radius_min   ray_count floats, read only: start radius of each ray.
 *  radius_max   ray_count floats, read only: end radius of each ray. A ray
 *               whose end is not above its start (or either is NaN) gets
 *               no result.
 *  sample_count samples per ray, both ends included.
 *  kernel       kernel_len doubles, read only: correlation taps; tap
 *               kernel_len/2 lands on the sample being filtered.
 *  kernel_len   number of taps; <= 0 gives no result on any ray.
 *  out_radius   ray_count doubles, written: the peak radius of each ray, or
 *               -1.0 for a ray without a result.
 *
 * Returns the number of rays that got a radius. When sample_count < 2 or
 * ray_count <= 0 it returns 0 at once and writes nothing; it also returns 0
 * and writes nothing when its scratch memory (2 * sample_count doubles)
 * cannot be allocated. Otherwise every out_radius entry is written exactly
 * once. Null pointers and array sizes are not checked: that is the caller's
 * duty. The call keeps no state and is safe to run concurrently on shared
 * inputs as long as the out_radius arrays do not overlap.
 */
PUPIL_RADIAL_API int32_t pupil_guided_radial_search(
    const float* grad_x, const float* grad_y, int32_t rows, int32_t cols,
    float center_x, float center_y, int32_t ray_count, const float* radius_min,
    const float* radius_max, int32_t sample_count, const double* kernel,
    int32_t kernel_len, double* out_radius);

#ifdef __cplusplus
}
#endif

#endif /* PUPIL_RADIAL_H */
