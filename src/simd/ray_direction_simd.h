// Ray directions for the vector kernels, written once for every instruction
// set as templates over a traits type V (vector_traits.h), with internal
// linkage like ray_profile_simd.h: the C library's sincos rounded to single
// precision, bit for bit. A polynomial comes within 2^-50 of the cosine and
// sine, the library within one unit in the last place of a double (2^-52
// here); where everything within 2^-46 of the polynomial's value rounds to
// one float, that float is the library's too. Elsewhere (values near zero,
// or near a rounding boundary: a few rays in a million) the library is
// asked.
#ifndef PUPIL_RADIAL_SIMD_RAY_DIRECTION_SIMD_H
#define PUPIL_RADIAL_SIMD_RAY_DIRECTION_SIMD_H

#include <cstdint>

#include "ray_profile.h"
#include "simd/vector_traits.h"

namespace pupil::simd {
namespace {

// pi/2 as a 33-bit head, whose products with the quadrant (0 to 4) are
// exact, and the rest, from a long double pi.
constexpr double kHalfPiHead = 6746518852.0 / 4294967296.0;
constexpr double kHalfPiTail = static_cast<double>(
    3.14159265358979323846264338327950288L / 2 - 6746518852.0L / 4294967296.0L);
static_assert(kHalfPiHead < 1.5707963268 && kHalfPiHead > 1.5707963267,
              "the head of pi/2");
// Both errors together stay below this; past it, the library decides.
constexpr double kMargin = 1.0 / (1LL << 46);

// 1 / n!, rounded once: n! itself is exact in a double up to n = 18.
constexpr double inverse_factorial(int n) {
  double f = 1.0;
  for (int i = 2; i <= n; ++i) f *= i;
  return 1.0 / f;
}

// Cosine and sine of theta in [0, 2 pi] to within 2^-50: theta less the
// nearest multiple k of pi/2, then Taylor series to the 17th and 18th
// powers, whose remainders are below 2^-62 for |r| <= pi/4.
template <class V>
inline void cos_sin(typename V::D theta, typename V::D& cosine,
                    typename V::D& sine) {
  const auto k = V::dround(theta * V::dset1(2 / 3.141592653589793));
  const auto r =
      (theta - k * V::dset1(kHalfPiHead)) - k * V::dset1(kHalfPiTail);
  const auto z = r * r;
  // Horner's scheme in z for sin r / r - 1 and (cos r - 1 + z / 2) / z^2:
  // 1/17! z^7 - 1/15! z^6 + ... - 1/3! and -1/18! z^7 + 1/16! z^6 + ... +
  // 1/4!.
  auto ps = V::dset1(inverse_factorial(17));
  auto pc = V::dset1(-inverse_factorial(18));
  for (int n = 15; n >= 3; n -= 2) {
    const double sign = (n / 2) % 2 == 0 ? 1.0 : -1.0;
    ps = ps * z + V::dset1(sign * inverse_factorial(n));
    pc = pc * z + V::dset1(-sign * inverse_factorial(n + 1));
  }
  const auto sin_r = r + (r * z) * ps;
  const auto cos_r = (V::dset1(1.0) - z * V::dset1(0.5)) + (z * z) * pc;
  // Quadrant k: (cos, sin) = (cos r, sin r), (-sin r, cos r),
  // (-cos r, -sin r), (sin r, -cos r); k = 4 is k = 0.
  const auto q1 = V::deq(k, V::dset1(1.0));
  const auto q2 = V::deq(k, V::dset1(2.0));
  const auto q3 = V::deq(k, V::dset1(3.0));
  const auto odd = V::dor(q1, q3);
  const auto c = V::dselect(odd, cos_r, sin_r);
  const auto s = V::dselect(odd, sin_r, cos_r);
  cosine = V::dselect(V::dor(q1, q2), c, -c);
  sine = V::dselect(V::dor(q2, q3), s, -s);
}

// The lanes (bits) whose value rounds to the same single-precision number
// as everything within kMargin of it.
template <class V>
inline unsigned certain(typename V::D v) {
  return V::same_floats(v - V::dset1(kMargin), v + V::dset1(kMargin));
}

template <class V>
void ray_directions_simd(int32_t first, int32_t count, int32_t ray_count,
                         float* c, float* s) {
  const auto rays = V::dset1(static_cast<double>(ray_count));
  constexpr int32_t kLanes = V::kDoubles;
  for (int32_t at = 0; at < count; at += kLanes) {
    // Lanes past `count` are computed and dropped.
    const auto index = V::dset1(static_cast<double>(first + at)) + V::dindex();
    const auto theta = (index * V::dset1(kTwoPi)) / rays;
    typename V::D cosine, sine;
    cos_sin<V>(theta, cosine, sine);
    const unsigned sure = certain<V>(cosine) & certain<V>(sine);
    float lane_c[kLanes], lane_s[kLanes];
    V::to_floats(cosine, lane_c);
    V::to_floats(sine, lane_s);
    for (int32_t i = 0; i < kLanes && at + i < count; ++i) {
      c[at + i] = lane_c[i];
      s[at + i] = lane_s[i];
      if (!(sure >> i & 1))
        ray_directions(first + at + i, 1, ray_count, c + at + i, s + at + i);
    }
  }
}

}  // namespace
}  // namespace pupil::simd

#endif
