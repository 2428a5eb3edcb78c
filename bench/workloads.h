// The benchmark workloads: a synthetic pupil (a dark ellipse with
// semi-axes 0.12 cols and 0.10 rows on a brighter, noisy background),
// central-difference gradients, rays from 0.3 R to 2.2 R around the true
// centre (R the smaller semi-axis) and a Gaussian kernel.
#ifndef PUPIL_RADIAL_BENCH_WORKLOADS_H
#define PUPIL_RADIAL_BENCH_WORKLOADS_H

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct Workload {
  std::string name;
  int32_t rows, cols, rays, samples, taps;
};

inline const std::vector<Workload>& workloads() {
  static const std::vector<Workload> all = {
      {"small", 192, 192, 64, 32, 5},
      {"typical", 400, 400, 360, 64, 7},
      {"vga", 480, 640, 720, 128, 15},
      {"long_kernel", 400, 400, 360, 64, 101},
      {"dense", 1024, 1280, 2048, 256, 31},
  };
  return all;
}

// The typical workload with rays, samples and taps doubled one at a time,
// to show how the cost grows with each (taps stay odd, so centred).
inline const std::vector<Workload>& scaling_workloads() {
  static const std::vector<Workload> all = [] {
    const Workload& typical = workloads()[1];
    std::vector<Workload> doubled(4, typical);
    doubled[0].name = "scaling_base";
    doubled[1].name = "scaling_2x_rays";
    doubled[1].rays *= 2;
    doubled[2].name = "scaling_2x_samples";
    doubled[2].samples *= 2;
    doubled[3].name = "scaling_2x_taps";
    doubled[3].taps = 2 * typical.taps + 1;
    return doubled;
  }();
  return all;
}

struct Scene {
  std::vector<float> gx, gy, rmin, rmax;
  std::vector<double> kernel, out;
  float cx, cy;
  const Workload* w;
};

inline Scene make_scene(const Workload& w) {
  Scene s;
  s.w = &w;
  s.cx = 0.5f * w.cols;
  s.cy = 0.5f * w.rows;
  const double a = 0.12 * w.cols, b = 0.10 * w.rows;
  std::mt19937 rng(42);
  std::normal_distribution<float> noise(0.0f, 4.0f);
  std::vector<float> image(size_t(w.rows) * w.cols);
  for (int32_t y = 0; y < w.rows; ++y) {
    for (int32_t x = 0; x < w.cols; ++x) {
      const double dx = (x - s.cx) / a, dy = (y - s.cy) / b;
      const bool pupil = dx * dx + dy * dy < 1.0;
      image[size_t(y) * w.cols + x] = (pupil ? 40.0f : 160.0f) + noise(rng);
    }
  }
  s.gx.assign(image.size(), 0.0f);
  s.gy.assign(image.size(), 0.0f);
  for (int32_t y = 1; y + 1 < w.rows; ++y) {
    for (int32_t x = 1; x + 1 < w.cols; ++x) {
      const size_t i = size_t(y) * w.cols + x;
      s.gx[i] = 0.5f * (image[i + 1] - image[i - 1]);
      s.gy[i] = 0.5f * (image[i + w.cols] - image[i - w.cols]);
    }
  }
  const float r = float(std::min(a, b));
  s.rmin.assign(w.rays, 0.3f * r);
  s.rmax.assign(w.rays, 2.2f * r);
  const double sigma = w.taps / 6.0;
  for (int32_t t = 0; t < w.taps; ++t) {
    const double d = t - w.taps / 2;
    s.kernel.push_back(std::exp(-0.5 * d * d / (sigma * sigma)));
  }
  s.out.assign(w.rays, 0.0);
  return s;
}

#endif
