// Smoothing a ray profile with the caller's filter taps and picking its
// peak.
#ifndef PUPIL_RADIAL_PROFILE_PEAK_H
#define PUPIL_RADIAL_PROFILE_PEAK_H

#include <cstdint>

#include "ray_profile.h"  // kOutside

namespace pupil {

// The vector filters read up to kProfilePad entries before and
// after a profile, which must hold 0.0: the lanes that fall off the profile
// then need no test. The reference filter reads only the profile.
constexpr int64_t kProfilePad = 32;

// Correlates profile with the taps (tap tap_count/2 on the sample itself),
// leaving out taps off the profile or on non-finite samples. An entry no tap
// reached, and every entry when tap_count <= 0, is -infinity.
void filter_profile(const double* profile, int32_t sample_count,
                    const double* taps, int32_t tap_count, double* filtered);

// Index of the first largest entry, or -1 when there is none or it is
// +infinity. NaN entries are never chosen.
int32_t find_profile_peak(const double* filtered, int32_t sample_count);

// Both of the above: fills filtered and returns its peak. The vector
// filters find the peak while they filter.
int32_t filter_profile_peak(const double* profile, int32_t sample_count,
                            const double* taps, int32_t tap_count,
                            double* filtered);

// For the vector filters, which treat every tap as finite and every
// non-finite sample as 0.0: gives the outside marker to each output whose
// reach (tap_count >= 1 taps) holds no finite sample. Returns whether it
// marked any.
bool mark_unreached(const double* profile, int32_t sample_count,
                    int32_t tap_count, double* filtered);

using FilterProfileFn = decltype(&filter_profile);
using FindProfilePeakFn = decltype(&find_profile_peak);
using FilterProfilePeakFn = decltype(&filter_profile_peak);

}  // namespace pupil

#endif
