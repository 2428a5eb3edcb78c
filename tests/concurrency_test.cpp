// Many threads calling the exported function at once on shared, read-only
// inputs with outputs of their own: every thread must get the answer of a
// lone call. Built with ThreadSanitizer it also proves the call touches no
// shared state.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "pupil_radial.h"
#include "random_call.h"

TEST(Concurrency, ThreadsSharingInputsGetTheSameBits) {
  RandomCalls calls(99);
  std::vector<ReferenceCall> inputs;
  std::vector<std::vector<double>> expected;
  while (inputs.size() < 40) {
    ReferenceCall c = calls.next();
    if (c.sample_count < 2 || c.ray_count <= 0) continue;
    std::vector<double> out(c.ray_count);
    pupil_guided_radial_search(
        c.grad_x.data(), c.grad_y.data(), c.rows, c.cols, c.center_x,
        c.center_y, c.ray_count, c.radius_min.data(), c.radius_max.data(),
        c.sample_count, c.kernel.data(), c.kernel_len, out.data());
    inputs.push_back(std::move(c));
    expected.push_back(std::move(out));
  }
  constexpr int kThreads = 6;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (size_t i = 0; i < inputs.size(); ++i) {
          const ReferenceCall& c = inputs[(i + t) % inputs.size()];
          std::vector<double> out(c.ray_count);
          pupil_guided_radial_search(
              c.grad_x.data(), c.grad_y.data(), c.rows, c.cols, c.center_x,
              c.center_y, c.ray_count, c.radius_min.data(), c.radius_max.data(),
              c.sample_count, c.kernel.data(), c.kernel_len, out.data());
          const std::vector<double>& want = expected[(i + t) % inputs.size()];
          if (std::memcmp(out.data(), want.data(),
                          want.size() * sizeof(double)) != 0)
            ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << t;
}
