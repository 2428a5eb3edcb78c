/*
 * A small C host: draws a synthetic eye (a dark elliptical pupil on a
 * brighter, noisy iris), takes central-difference gradients, casts rays from
 * a rough centre guess and compares the edge radii core.so finds with the
 * true pupil boundary.
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "pupil_radial.h"

enum { kRows = 240, kCols = 320, kRays = 32, kSamples = 80 };

static const double kPi = 3.14159265358979323846;
static const double kPupilX = 171.3, kPupilY = 118.6; /* true centre */
static const double kAxisA = 46.0, kAxisB = 38.0;     /* semi-axes */

/* Deterministic noise, so every run prints the same numbers. */
static double noise(unsigned* state) {
  *state = *state * 1664525u + 1013904223u;
  return (double)(*state >> 8) / (double)(1u << 24) - 0.5;
}

static void draw_eye(float* image) {
  unsigned state = 12345u;
  for (int y = 0; y < kRows; ++y) {
    for (int x = 0; x < kCols; ++x) {
      const double dx = (x - kPupilX) / kAxisA, dy = (y - kPupilY) / kAxisB;
      /* Signed distance to the boundary in pixels, roughly; a 1.5 px ramp. */
      const double d = (sqrt(dx * dx + dy * dy) - 1.0) * kAxisB;
      const double t = 0.5 + 0.5 * tanh(d / 1.5);
      image[y * kCols + x] = (float)(30.0 + 120.0 * t + 6.0 * noise(&state));
    }
  }
}

static void central_gradients(const float* image, float* gx, float* gy) {
  for (int y = 0; y < kRows; ++y) {
    for (int x = 0; x < kCols; ++x) {
      const int xl = x > 0 ? x - 1 : x, xr = x < kCols - 1 ? x + 1 : x;
      const int yu = y > 0 ? y - 1 : y, yd = y < kRows - 1 ? y + 1 : y;
      gx[y * kCols + x] =
          (image[y * kCols + xr] - image[y * kCols + xl]) / (float)(xr - xl);
      gy[y * kCols + x] =
          (image[yd * kCols + x] - image[yu * kCols + x]) / (float)(yd - yu);
    }
  }
}

/* Distance from (cx, cy) along angle theta to the true ellipse boundary. */
static double true_radius(double cx, double cy, double theta) {
  const double ux = cos(theta) / kAxisA, uy = sin(theta) / kAxisB;
  const double px = (cx - kPupilX) / kAxisA, py = (cy - kPupilY) / kAxisB;
  const double a = ux * ux + uy * uy, b = 2.0 * (px * ux + py * uy);
  const double c = px * px + py * py - 1.0;
  return (-b + sqrt(b * b - 4.0 * a * c)) / (2.0 * a);
}

int main(void) {
  float* image = malloc(sizeof(float) * kRows * kCols);
  float* gx = malloc(sizeof(float) * kRows * kCols);
  float* gy = malloc(sizeof(float) * kRows * kCols);
  if (!image || !gx || !gy) return 1;
  draw_eye(image);
  central_gradients(image, gx, gy);

  /* A guess a few pixels off, as a coarse dark-blob detector would give. */
  const float cx = 168.0f, cy = 121.0f;
  float rmin[kRays], rmax[kRays];
  double radius[kRays];
  for (int i = 0; i < kRays; ++i) {
    rmin[i] = 10.0f;
    rmax[i] = 80.0f;
  }
  const double kernel[5] = {0.0545, 0.2442, 0.4026, 0.2442, 0.0545};

  const int found =
      pupil_guided_radial_search(gx, gy, kRows, kCols, cx, cy, kRays, rmin,
                                 rmax, kSamples, kernel, 5, radius);

  printf("core.so %s: %d of %d rays found the pupil edge\n",
         PUPIL_RADIAL_VERSION_STRING, found, kRays);
  printf("  ray  angle   found   truth   error\n");
  double worst = 0.0;
  for (int i = 0; i < kRays; ++i) {
    const double theta = 2.0 * kPi * i / kRays;
    const double truth = true_radius(cx, cy, theta);
    if (radius[i] == -1.0) {
      printf("  %3d  %5.1f    none  %6.2f\n", i, theta * 180.0 / kPi, truth);
      continue;
    }
    const double error = radius[i] - truth;
    if (fabs(error) > worst) worst = fabs(error);
    printf("  %3d  %5.1f  %6.2f  %6.2f  %+6.2f\n", i, theta * 180.0 / kPi,
           radius[i], truth, error);
  }
  printf("largest error: %.2f px (sample spacing %.2f px)\n", worst,
         70.0 / (kSamples - 1));
  free(image);
  free(gx);
  free(gy);
  return found == kRays && worst < 1.5 ? 0 : 1;
}
