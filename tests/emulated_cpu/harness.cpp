// Runs the per-ray kernels of every vector instruction set against the
// reference kernels on an emulated CPU, bare metal, bit for bit: the way to
// test code for instruction sets the build machine lacks. Seeded random
// rays, images, kernels and profiles; every buffer ends where an unmapped
// page begins, so a read or write past an end stops the machine. First it
// checks that dispatch chose what the enabled register state allows: the
// CPU has AVX2 and AVX-512 whatever the boot code enabled.
//
// The image has no C library: it prints through the emulator's debug port
// and ends with a line the runner looks for.
#include <cstddef>
#include <cstdint>

#include "dispatch.h"
#include "kernel_cases.h"
#include "pupil_radial.h"
#include "radial_search.h"

extern "C" {
// The compiler may call these for copies and clears. Volatile stores keep
// it from turning the loops back into calls to themselves.
void* memcpy(void* dst, const void* src, size_t n) {
  auto* d = static_cast<volatile unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
  return dst;
}
void* memset(void* dst, int value, size_t n) {
  auto* d = static_cast<volatile unsigned char*>(dst);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(value);
  return dst;
}

// The search's scratch arrays: each of a call's two allocations gets a
// buffer of exactly its size ending at a guard page (slots 8 and 9).
int allocations = 0;
void* malloc(size_t bytes) {
  const uintptr_t end = uintptr_t(65 + 2 * (8 + allocations++ % 2)) << 21;
  return reinterpret_cast<void*>(end - bytes);
}
void free(void*) {}
// Any deterministic angle function will do: every path being compared
// calls this one.
void sincos(double x, double* s, double* c) {
  const double pi = 3.141592653589793;
  while (x > pi) x -= 2 * pi;
  while (x < -pi) x += 2 * pi;
  double term = x, sum_s = 0, sum_c = 0, term_c = 1;
  for (int k = 1; k < 40; k += 2) {
    sum_s += term;
    term *= -x * x / ((k + 1) * (k + 2));
    sum_c += term_c;
    term_c *= -x * x / ((k) * (k + 1));
  }
  *s = sum_s;
  *c = sum_c;
}
}

namespace {

void put(const char* text) {
  for (; *text != '\0'; ++text)
    __asm__ volatile("outb %0, $0xe9" : : "a"(*text));
}

void put(int64_t v) {
  char digits[24];
  int n = 0;
  const bool negative = v < 0;
  uint64_t u = negative ? 0 - static_cast<uint64_t>(v) : uint64_t(v);
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (negative) put("-");
  char text[2] = {0, 0};
  while (n > 0) {
    text[0] = digits[--n];
    put(text);
  }
}

// Buffers end right before a guard page (see boot.S): slot k is the 2 MiB
// page that ends at (65 + 2k) * 2 MiB.
template <class T>
T* slot(int k, int64_t count) {
  const uintptr_t end = uintptr_t(65 + 2 * k) << 21;
  return reinterpret_cast<T*>(end - static_cast<uintptr_t>(count) * sizeof(T));
}

using cases::Random;
using cases::same;

int64_t failures = 0;

void fail(const char* variant, const char* what, int64_t trial, int64_t at) {
  if (++failures > 20) return;
  put("MISMATCH ");
  put(variant);
  put(" ");
  put(what);
  put(" trial ");
  put(trial);
  put(" index ");
  put(at);
  put("\n");
}

// The shared cases (kernel_cases.h), in buffers that end at guard pages.
void sampling(const pupil::RayFunctions& v, int64_t trials) {
  Random rng(11);
  int64_t border_rays = 0;
  for (int64_t trial = 0; trial < trials; ++trial) {
    const cases::Ray r = cases::ray(
        rng, [](int k, int64_t count) { return slot<float>(k, count); });
    const int32_t n = r.samples;
    double* want = slot<double>(2, n);
    double* got = slot<double>(3, n);
    const bool want_inside = pupil::sample_ray_profile(
        r.grad_x, r.grad_y, r.rows, r.cols, r.center_x, r.center_y, r.r0,
        r.step, r.c, r.s, n, want);
    const bool got_inside =
        v.sample_ray_profile(r.grad_x, r.grad_y, r.rows, r.cols, r.center_x,
                             r.center_y, r.r0, r.step, r.c, r.s, n, got);
    if (want_inside != got_inside) fail(v.name, "inside", trial, -1);
    for (int32_t j = 0; j < n; ++j) {
      if (!same(want[j], got[j])) {
        fail(v.name, "sample", trial, j);
        break;
      }
    }
    if (want_inside && want[n - 1] == -__builtin_inf()) ++border_rays;
  }
  if (border_rays < trials / 10) fail(v.name, "too few border rays", 0, 0);
}

void filtering(const pupil::RayFunctions& v, int64_t trials) {
  Random rng(29);
  for (int64_t trial = 0; trial < trials; ++trial) {
    const cases::Filter f = cases::filter(
        rng, [](int k, int64_t count) { return slot<double>(k, count); },
        pupil::kProfilePad);
    const int32_t n = f.samples, len = f.kernel_len;
    double* want = slot<double>(2, n);
    double* got = slot<double>(3, n);
    pupil::filter_profile(f.profile, n, f.kernel, len, want);
    // The peak as found while filtering, and the filtered profile.
    if (pupil::find_profile_peak(want, n) !=
        v.filter_profile_peak(f.profile, n, f.kernel, len, got))
      fail(v.name, "peak while filtering", trial, -1);
    for (int32_t k = 0; k < n; ++k) {
      if (!same(want[k], got[k])) {
        fail(v.name, "filtered", trial, k);
        break;
      }
    }
    // Peaks of raw profiles too: NaN, +inf and ties the filter rarely makes.
    if (pupil::find_profile_peak(f.profile, n) !=
        v.find_profile_peak(f.profile, n))
      fail(v.name, "raw peak", trial, -1);
  }
}

// Every ray of every count up to 400, in batches of 37: the directions
// the reference computes with (this harness's) sincos.
void directions(const pupil::RayFunctions& v) {
  float* want_c = slot<float>(0, 400);
  float* want_s = slot<float>(1, 400);
  float* got_c = slot<float>(2, 400);
  float* got_s = slot<float>(3, 400);
  for (int32_t rays = 1; rays <= 400; ++rays) {
    for (int32_t first = 0; first < rays; first += 37) {
      const int32_t count = rays - first < 37 ? rays - first : 37;
      pupil::ray_directions(first, count, rays, want_c, want_s);
      v.ray_directions(first, count, rays, got_c, got_s);
      for (int32_t k = 0; k < count; ++k) {
        if (!same(want_c[k], got_c[k]) || !same(want_s[k], got_s[k]))
          fail(v.name, "direction", rays, first + k);
      }
    }
  }
}

// Whole calls, through radial_search with `v`'s kernels and through the
// exported entry point, against radial_search with the reference kernels:
// the scratch arrays, the gate and per-ray rules around the kernels.
void searching(const pupil::RayFunctions& v, int64_t trials) {
  const pupil::RayFunctions reference =
      pupil::ray_functions_for(pupil::Isa::kScalar);
  Random rng(47);
  int64_t found = 0;
  for (int64_t trial = 0; trial < trials; ++trial) {
    const int32_t rows = rng.between(1, 30), cols = rng.between(1, 30);
    const int64_t pixels = int64_t{rows} * cols;
    float* gx = slot<float>(0, pixels);
    float* gy = slot<float>(1, pixels);
    for (int64_t i = 0; i < pixels; ++i) {
      gx[i] = float(rng.chance(0.01) ? rng.odd_value() : rng.uniform(-9, 9));
      gy[i] = float(rng.chance(0.01) ? rng.odd_value() : rng.uniform(-9, 9));
    }
    const int32_t rays = rng.between(-1, 24);
    const int32_t n =
        rng.chance(0.05) ? rng.between(-1, 1) : rng.between(2, 90);
    const int32_t len = rng.between(-1, 2 * (n > 0 ? n : 1) + 3);
    const int32_t ray_slots = rays > 0 ? rays : 0;
    float* rmin = slot<float>(2, ray_slots);
    float* rmax = slot<float>(3, ray_slots);
    for (int32_t i = 0; i < ray_slots; ++i) {
      rmin[i] = float(rng.uniform(-5, 10));
      rmax[i] = rng.chance(0.1) ? float(rng.odd_value())
                                : rmin[i] + float(rng.uniform(-1, 20));
    }
    double* kernel = slot<double>(4, len > 0 ? len : 0);
    for (int32_t t = 0; t < len; ++t)
      kernel[t] = rng.chance(0.02) ? rng.odd_value() : rng.uniform(-1, 2);
    const float cx = float(rng.uniform(-2, cols + 1));
    const float cy = float(rng.uniform(-2, rows + 1));
    double* want = slot<double>(5, ray_slots);
    double* got = slot<double>(6, ray_slots);
    double* exported = slot<double>(7, ray_slots);
    for (int32_t i = 0; i < ray_slots; ++i) want[i] = got[i] = exported[i] = 7;
    const int32_t want_count =
        pupil::radial_search(reference, gx, gy, rows, cols, cx, cy, rays, rmin,
                             rmax, n, kernel, len, want);
    const int32_t got_count = pupil::radial_search(
        v, gx, gy, rows, cols, cx, cy, rays, rmin, rmax, n, kernel, len, got);
    const int32_t exported_count = pupil_guided_radial_search(
        gx, gy, rows, cols, cx, cy, rays, rmin, rmax, n, kernel, len, exported);
    found += want_count;
    if (got_count != want_count) fail(v.name, "search count", trial, -1);
    if (exported_count != want_count) fail("exported", "count", trial, -1);
    for (int32_t i = 0; i < ray_slots; ++i) {
      if (!same(want[i], got[i])) fail(v.name, "search radius", trial, i);
      if (!same(want[i], exported[i])) fail("exported", "radius", trial, i);
    }
  }
  if (found < 2 * trials) fail(v.name, "too few rays found", 0, found);
}

// Which kernels the vector state the boot code enabled allows, on a CPU
// with every instruction set: what dispatch must choose.
const char* expected_kernels() {
  uint32_t low, high;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  constexpr uint32_t kAvx = 0x6, kAvx512 = 0xE6;  // SSE+AVX; + opmask, ZMM
  if ((low & kAvx512) == kAvx512) return "avx512";
  if ((low & kAvx) == kAvx) return "avx2";
  return "scalar";
}

bool same_name(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

}  // namespace

extern "C" __attribute__((section(".text.image_start"))) void image_start() {
  const char* expected = expected_kernels();
  const char* chosen = pupil::select_ray_functions().name;
  put("dispatch chose ");
  put(chosen);
  put(same_name(chosen, expected) ? ", as the vector state allows\n"
                                  : ", but the vector state allows ");
  if (!same_name(chosen, expected)) {
    put(expected);
    put("\n");
    ++failures;
  }
  const int64_t rays = TRIALS, filters = 2 * TRIALS, searches = TRIALS / 5;
  for (pupil::Isa isa : pupil::kIsas) {
    const pupil::RayFunctions v = pupil::ray_functions_for(isa);
    if (isa == pupil::Isa::kScalar) continue;
    if (!pupil::cpu_supports(isa)) {
      put(v.name);
      put(": not usable with this vector state\n");
      continue;
    }
    const int64_t before = failures;
    sampling(v, rays);
    filtering(v, filters);
    directions(v);
    searching(v, searches);
    put(v.name);
    put(failures == before
            ? ": identical to the reference on 80200 directions, "
            : ": FAILED on ");
    put(rays);
    put(" rays and ");
    put(filters);
    put(" profiles and ");
    put(searches);
    put(" whole calls\n");
  }
  put(failures == 0 ? "PASS\n" : "FAIL\n");
}
