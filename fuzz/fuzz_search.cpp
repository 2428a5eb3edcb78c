// libFuzzer target: decodes its input into one whole call and checks what
// the call promises. Every instruction set's kernels this CPU supports must
// give the same bits as the scalar kernels and as the test oracle; the
// output is written exactly where promised; no input changes. Inputs live in
// heap blocks of exactly their size, so AddressSanitizer catches any
// overread.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dispatch.h"
#include "pupil_radial.h"
#include "radial_search.h"
#include "reference_search.h"

namespace {

#define CHECK(cond)                                                           \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, \
                   #cond);                                                    \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

int32_t pick_size(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return in.ConsumeIntegralInRange<int32_t>(INT_MIN, 0);
    case 1:
      return 1;
    case 2:
      return 2;
    default:
      return in.ConsumeIntegralInRange<int32_t>(1, 64);
  }
}

float pick_float(FuzzedDataProvider& in, float lo, float hi) {
  // Raw bit patterns reach NaN, infinities, subnormals and huge values.
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    uint32_t bits = in.ConsumeIntegral<uint32_t>();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  return in.ConsumeFloatingPointInRange<float>(lo, hi);
}

double pick_tap(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    uint64_t bits = in.ConsumeIntegral<uint64_t>();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  return in.ConsumeFloatingPointInRange<double>(-2.0, 2.0);
}

template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() ||
          std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  ReferenceCall c;
  c.rows = pick_size(in);
  c.cols = pick_size(in);
  const size_t pixels =
      c.rows > 0 && c.cols > 0 ? size_t(c.rows) * size_t(c.cols) : 0;
  for (size_t i = 0; i < pixels; ++i) {
    c.grad_x.push_back(pick_float(in, -100, 100));
    c.grad_y.push_back(pick_float(in, -100, 100));
  }
  c.center_x = pick_float(in, -10, 80);
  c.center_y = pick_float(in, -10, 80);
  c.ray_count = in.ConsumeIntegralInRange<int32_t>(-2, 40);
  for (int32_t i = 0; i < c.ray_count; ++i) {
    c.radius_min.push_back(pick_float(in, -40, 80));
    c.radius_max.push_back(pick_float(in, -40, 80));
  }
  c.sample_count = in.ConsumeIntegralInRange<int32_t>(-2, 600);
  c.kernel_len = in.ConsumeIntegralInRange<int32_t>(-2, 300);
  for (int32_t t = 0; t < c.kernel_len; ++t) c.kernel.push_back(pick_tap(in));

  // Exactly sized blocks: a read one element past any input is a heap
  // overflow that AddressSanitizer reports.
  c.grad_x.shrink_to_fit();
  c.grad_y.shrink_to_fit();
  c.radius_min.shrink_to_fit();
  c.radius_max.shrink_to_fit();
  c.kernel.shrink_to_fit();
  const ReferenceCall before = c;
  const size_t rays = c.radius_min.size();
  constexpr double kSentinel = 4242.25;

  // The exported entry point, as hosts call it.
  std::vector<double> out(rays, kSentinel);
  const int32_t count = pupil_guided_radial_search(
      c.grad_x.data(), c.grad_y.data(), c.rows, c.cols, c.center_x, c.center_y,
      c.ray_count, c.radius_min.data(), c.radius_max.data(), c.sample_count,
      c.kernel.data(), c.kernel_len, out.data());

  CHECK(same_bits(c.grad_x, before.grad_x));
  CHECK(same_bits(c.grad_y, before.grad_y));
  CHECK(same_bits(c.radius_min, before.radius_min));
  CHECK(same_bits(c.radius_max, before.radius_max));
  CHECK(same_bits(c.kernel, before.kernel));

  const bool gated = c.sample_count < 2 || c.ray_count <= 0;
  if (gated) {
    CHECK(count == 0);
    for (double v : out) CHECK(v == kSentinel);
    return 0;
  }
  // Every entry written; the count matches the entries with a radius,
  // except that -1.0 is also a real radius for a range that contains it.
  int32_t not_minus_one = 0;
  bool minus_one_possible = false;
  for (size_t i = 0; i < rays; ++i) {
    CHECK(out[i] != kSentinel || (c.radius_min[i] <= float(kSentinel) &&
                                  float(kSentinel) <= c.radius_max[i]));
    if (out[i] != -1.0) ++not_minus_one;
    if (c.radius_min[i] <= -1.0f && -1.0f <= c.radius_max[i])
      minus_one_possible = true;
  }
  CHECK(count >= not_minus_one && count <= c.ray_count);
  if (!minus_one_possible) CHECK(count == not_minus_one);

  // The oracle and every supported instruction set agree to the bit.
  std::vector<double> expected;
  CHECK(reference_search(c, expected) == count);
  CHECK(same_bits(expected, out));
  for (pupil::Isa isa : pupil::kIsas) {
    if (!pupil::cpu_supports(isa)) continue;
    std::vector<double> got(rays, kSentinel);
    const int32_t n = pupil::radial_search(
        pupil::ray_functions_for(isa), c.grad_x.data(), c.grad_y.data(), c.rows,
        c.cols, c.center_x, c.center_y, c.ray_count, c.radius_min.data(),
        c.radius_max.data(), c.sample_count, c.kernel.data(), c.kernel_len,
        got.data());
    CHECK(n == count);
    CHECK(same_bits(got, out));
  }
  return 0;
}
