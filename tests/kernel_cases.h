// Seeded random cases for comparing an instruction set's per-ray functions with
// the reference ones: rays through small images, and profiles with kernels. No
// standard library, so that the GoogleTest suites and the bare-metal
// harness run exactly the same cases.
#ifndef PUPIL_RADIAL_TESTS_KERNEL_CASES_H
#define PUPIL_RADIAL_TESTS_KERNEL_CASES_H

#include <stdint.h>

namespace cases {

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {  // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * static_cast<double>(next() >> 11) * 0x1p-53;
  }
  int32_t between(int32_t lo, int32_t hi) {  // inclusive
    return lo + static_cast<int32_t>(next() % uint64_t(hi - lo + 1));
  }
  bool chance(double p) { return uniform(0, 1) < p; }
  double odd_value() {
    const double v[] = {__builtin_nan(""),
                        __builtin_inf(),
                        -__builtin_inf(),
                        1e300,
                        -1e300,
                        0.0};
    return v[between(0, 5)];
  }

 private:
  uint64_t state_;
};

// Same bits, except that any NaN matches any NaN: NaN payloads are not part
// of the contract and compilers may order a product's operands either way.
inline bool same(double a, double b) {
  if (a != a && b != b) return true;
  uint64_t x, y;
  __builtin_memcpy(&x, &a, 8);
  __builtin_memcpy(&y, &b, 8);
  return x == y;
}

// One ray: an image (in the caller's buffers 0 and 1), a centre, a
// direction, a start, a step and a sample count.
struct Ray {
  int32_t rows, cols;
  const float *grad_x, *grad_y;
  float center_x, center_y, r0, step, c, s;
  int32_t samples;
};

// Small images, with NaN and infinite pixels now and then; rays across
// borders, from NaN centres, along exact axes, with infinite steps; sample
// counts that leave every tail length. `buffer(k, count)` gives the
// caller's buffer k with room for count floats.
template <class Buffer>
Ray ray(Random& rng, Buffer buffer) {
  Ray r;
  r.rows = rng.chance(0.1) ? 1 : rng.between(1, 40);
  r.cols = rng.chance(0.1) ? rng.between(1, 2) : rng.between(1, 40);
  const int64_t pixels = int64_t{r.rows} * r.cols;
  float* gx = buffer(0, pixels);
  float* gy = buffer(1, pixels);
  const double odd_rate = rng.chance(0.2) ? 0.05 : 0.0;
  for (int64_t i = 0; i < pixels; ++i) {
    gx[i] = float(rng.chance(odd_rate) ? rng.odd_value() : rng.uniform(-9, 9));
    gy[i] = float(rng.chance(odd_rate) ? rng.odd_value() : rng.uniform(-9, 9));
  }
  r.grad_x = gx;
  r.grad_y = gy;
  r.samples = rng.chance(0.9) ? rng.between(2, 40) : rng.between(41, 700);
  r.center_x = rng.chance(0.02) ? __builtin_nanf("")
                                : float(rng.uniform(-3, r.cols + 2));
  r.center_y = rng.chance(0.3) ? float(rng.between(0, r.rows - 1))
                               : float(rng.uniform(-3, r.rows + 2));
  r.c = float(rng.uniform(-1, 1));
  r.s = float(__builtin_sqrt(1.0 - double(r.c) * r.c));
  if (rng.chance(0.5)) r.s = -r.s;
  if (rng.chance(0.2)) {  // axis directions hit columns and rows exactly
    const int q = rng.between(0, 3);
    r.c = q == 0 ? 1.f : q == 2 ? -1.f : 0.f;
    r.s = q == 1 ? 1.f : q == 3 ? -1.f : 0.f;
  }
  r.r0 = float(rng.uniform(-20, 20));
  r.step = float(rng.uniform(0.01, 3));
  if (rng.chance(0.05)) r.step = rng.chance(0.5) ? __builtin_inff() : 1.0f;
  return r;
}

// One profile and one kernel (in the caller's buffers 0 and 1).
struct Filter {
  int32_t samples, kernel_len;
  const double *profile, *kernel;
};

// Clean profiles, profiles that leave the image, profiles with odd samples
// and ties (also between entries a vector path keeps in one lane); kernels
// from none and one tap to longer than the profile, with zero and odd taps;
// rarely, profiles of a few thousand samples.
// `buffer(k, count)` gives the caller's buffer k with room for count
// doubles; the profile has `pad` zeros on either side.
template <class Buffer>
Filter filter(Random& rng, Buffer buffer, int64_t pad) {
  Filter f;
  // Now and then a profile longer than the vector filters' stack window
  // (2048 samples), so that they go through several, with kernels that fit
  // the window and kernels that do not.
  const bool long_profile = rng.chance(0.02);
  const int32_t n = long_profile      ? rng.between(1900, 4300)
                    : rng.chance(0.9) ? rng.between(2, 40)
                                      : rng.between(41, 400);
  const int32_t len =
      rng.chance(0.05)  ? rng.between(-2, 0)
      : rng.chance(0.7) ? rng.between(1, 17)
      : long_profile
          ? (rng.chance(0.7) ? rng.between(1, 64) : rng.between(1950, 2100))
          : rng.between(1, 2 * n + 5);
  double* profile = buffer(0, n + 2 * pad) + pad;
  for (int64_t i = 1; i <= pad; ++i) profile[-i] = profile[n - 1 + i] = 0.0;
  double* kernel = buffer(1, len > 0 ? len : 0);
  const int kind = rng.between(0, 2);
  const int32_t outside_from = kind == 1 ? rng.between(0, n) : n;
  for (int32_t j = 0; j < n; ++j) {
    profile[j] = j >= outside_from               ? -__builtin_inf()
                 : kind == 2 && rng.chance(0.15) ? rng.odd_value()
                                                 : rng.uniform(-5, 5);
    const int32_t back = rng.between(1, 40);
    if (rng.chance(0.05)) profile[j] = profile[j >= back ? j - back : 0];
  }
  for (int32_t t = 0; t < len; ++t) {
    kernel[t] = rng.chance(0.01)  ? rng.odd_value()
                : rng.chance(0.1) ? 0.0
                                  : rng.uniform(-1, 2);
  }
  f.samples = n;
  f.kernel_len = len;
  f.profile = profile;
  f.kernel = kernel;
  return f;
}

}  // namespace cases

#endif
