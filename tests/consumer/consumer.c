/* A host built against an installed pupil-radial: the worked example of a
 * one-row image, whose edge lies at radius 2. */
#include <pupil_radial.h>
#include <stdio.h>

int main(void) {
  const float gx[5] = {0, 1, 3, 2, 0}, gy[5] = {0, 0, 0, 0, 0};
  const float rmin[1] = {0}, rmax[1] = {4};
  const double kernel[3] = {1, 1, 1};
  double radius = 0;
  const int found = pupil_guided_radial_search(
      gx, gy, 1, 5, 0.0f, 0.0f, 1, rmin, rmax, 5, kernel, 3, &radius);
  printf("pupil-radial %s: %d ray, radius %.1f\n", PUPIL_RADIAL_VERSION_STRING,
         found, radius);
  return found == 1 && radius == 2.0 ? 0 : 1;
}
