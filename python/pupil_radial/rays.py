"""The radial searches: the part of the image the rays can reach, blurred,
with its gradients and their noise, and each ray's dark-to-bright edge as a
point with the pixel gradient across it."""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import lru_cache

import cv2
import numpy as np

from . import _core, edges
from ._numeric import median
from .fields import on_even_rows
from .tuning import TUNING


_IMMERKAER = np.array([[1, -2, 1], [-2, 4, -2], [1, -2, 1]], np.float32)


@lru_cache(maxsize=8)
def gaussian_taps(sigma_samples: float) -> np.ndarray:
    """Normalised Gaussian filter taps out to 3 sigma (cached, read-only)."""
    half = max(1, int(math.ceil(3 * sigma_samples)))
    t = np.arange(-half, half + 1, dtype=np.float64)
    k = np.exp(-0.5 * (t / sigma_samples) ** 2)
    k /= k.sum()
    k.flags.writeable = False
    return k


@lru_cache(maxsize=8)
def white_noise_gain(sigma: float) -> float:
    """The standard deviation of the x gradient (blur of `sigma`, then the
    Sobel operator, as Region computes it) of unit white noise: the norm
    of that filter's impulse response. A wider blur leaves far less noise
    (0.14 at a pixel, 0.02 at three): the smeared pass must not be judged
    against the noise of the narrow one."""
    half = int(math.ceil(TUNING.blur_reach * sigma)) + 3
    impulse = np.zeros((2 * half + 1, 2 * half + 1), np.float32)
    impulse[half, half] = 1.0
    smooth = cv2.GaussianBlur(impulse, (0, 0), sigma) if sigma > 0 else \
        impulse
    response = cv2.Sobel(smooth, cv2.CV_32F, 1, 0, ksize=3, scale=0.125)
    return float(np.sqrt(np.sum(response.astype(np.float64) ** 2)))


@dataclass(frozen=True)
class Edges:
    """Float32 (n, 2) edge points in ray order, rays without an edge left
    out, and the radial pixel gradient of the blurred image at each (the
    edge's contrast, not the library's filtered value)."""

    points: np.ndarray
    gradient: np.ndarray


class Region:
    """Blurred image and gradients of the part of the image the rays can
    reach, so that the cost follows the pupil's size, not the image's;
    with `fields`, an interlaced camera's misplaced odd rows moved back
    first."""

    def __init__(self, gray, center, reach, sigma, fields=True):
        rows, cols = gray.shape
        pad = int(math.ceil(reach + TUNING.blur_reach * sigma
                            + TUNING.region_margin))
        cx, cy = int(round(center[0])), int(round(center[1]))
        self.x0, self.y0 = max(cx - pad, 0), max(cy - pad, 0)
        x1, y1 = min(cx + pad + 1, cols), min(cy + pad + 1, rows)
        crop = gray[self.y0:y1, self.x0:x1]
        if fields:
            # Gray images start at an even row of the frame (see window()):
            # the crop's first row's parity is its field's.
            crop = on_even_rows(crop, self.y0)
        self.bounds = (rows, cols)  # of the image the region is cut from
        self.raw = crop
        self._noise = None
        smooth = cv2.GaussianBlur(crop, (0, 0), sigma) if sigma > 0 else crop
        self.smooth, self.sigma = smooth, sigma
        self.gx = cv2.Sobel(smooth, cv2.CV_32F, 1, 0, ksize=3, scale=0.125)
        self.gy = cv2.Sobel(smooth, cv2.CV_32F, 0, 1, ksize=3, scale=0.125)

    def search(self, center, rmin, rmax, rays, spacing,
               first_edge=True) -> Edges:
        """Edge points along `rays` rays (rmin, rmax per ray), on the sample
        grid (`spacing` px apart).

        The library reports each ray's strongest edge; the pupil's is the
        first strong one out from its centre, and an eyelid or the iris rim
        beyond it can be stronger. With `first_edge`, each ray is searched
        again inside its edge, and an inner edge with a gradient at least a
        quarter of the outer's replaces it."""
        f32 = np.float32
        local = (float(f32(center[0] - self.x0)),
                 float(f32(center[1] - self.y0)))
        r0 = np.full(rays, rmin, f32) if np.ndim(rmin) == 0 else \
            np.asarray(rmin, f32)
        r1 = np.full(rays, rmax, f32) if np.ndim(rmax) == 0 else \
            np.asarray(rmax, f32)
        # The same smoothing along the ray, whatever the spacing.
        taps = gaussian_taps(TUNING.ray_smoothing / spacing)
        samples = max(int(math.ceil(float(np.max(r1 - r0)) / spacing)) + 1,
                      3)
        radius, _ = _core.search(self.gx, self.gy, local, r0, r1, samples,
                                 taps)
        _, cos, sin = edges.ray_table(rays)
        if first_edge:
            # Stop short of the edge's own flank (blur and the Sobel
            # operator spread an edge over a few pixels); a peak at the end
            # of the inner range is that flank, not an edge of its own.
            gap = TUNING.edge_flank + 2.0 * self.sigma
            inner_max = np.where(radius > r0 + gap + 1, radius - gap,
                                 r0).astype(f32)
            inner, _ = _core.search(self.gx, self.gy, local, r0, inner_max,
                                    samples, taps)
            radius = np.concatenate((radius, inner))
            r0, r1 = np.concatenate((r0, r0)), np.concatenate((r1, inner_max))
            cos, sin = np.concatenate((cos, cos)), np.concatenate((sin, sin))
        found = radius != -1.0
        gradient = np.full(radius.shape[0], np.nan)
        gradient[found] = self._radial_gradient(local, radius[found],
                                                cos[found], sin[found])
        if first_edge:
            better = ((gradient[rays:]
                       >= TUNING.inner_edge_share * gradient[:rays])
                      & (radius[rays:] < inner_max - 0.5 * spacing))
            gradient = np.where(better, gradient[rays:], gradient[:rays])
            radius = np.where(better, radius[rays:], radius[:rays])
        found = np.isfinite(gradient)
        pts = edges.points((local[0] + self.x0, local[1] + self.y0), radius,
                           found)
        return Edges(pts, gradient[found])

    def _radial_gradient(self, local, radius, cos, sin):
        """The gradient along each ray at the pixel nearest its edge."""
        rows, cols = self.gx.shape
        x = np.rint(local[0] + radius * cos).astype(np.int64)
        y = np.rint(local[1] + radius * sin).astype(np.int64)
        i = np.minimum(np.maximum(y, 0), rows - 1) * cols + np.minimum(
            np.maximum(x, 0), cols - 1)
        return self.gx.ravel().take(i) * cos + self.gy.ravel().take(i) * sin

    def noise(self):
        """The gradient's noise over the region (computed once): the larger
        of the sensor's (Immerkaer's estimate from the unblurred image's
        second differences, carried through this region's blur and the
        Sobel operator) and a share of the gradient's own robust spread,
        which texture (an iris's crypts, skin) raises as well."""
        if self._noise is None:
            step = max(2, int(math.sqrt(self.gx.size / 1000)))
            spread = 1.4826 * median(np.abs(self.gx[::step, ::step]).ravel())
            self._noise = max(white_noise_gain(self.sigma)
                              * self.sensor_noise(),
                              TUNING.texture_share * spread)
        return self._noise

    def sensor_noise(self):
        """Immerkaer, "Fast noise variance estimation" (1996): the mean
        absolute response to a mask that cancels every plane and
        quadratic, of the unblurred region."""
        crop = self.raw
        if min(crop.shape) < 3:
            return 0.0
        response = cv2.filter2D(crop, cv2.CV_32F, _IMMERKAER)[1:-1, 1:-1]
        return math.sqrt(math.pi / 2) / 6 * float(np.mean(np.abs(response)))

    def sample(self, cx, cy, cos, sin, radii):
        """The blurred image at `radii` (rows as long as cos and sin) along
        the directions (cos, sin) from (cx, cy), at the nearest pixels (the
        region's border for points beyond it)."""
        return self._take(cx - self.x0 + cos * radii,
                          cy - self.y0 + sin * radii)

    def sample_at(self, xs, ys):
        """The blurred image at the image points (xs, ys), as sample()."""
        return self._take(xs - self.x0, ys - self.y0)

    def _take(self, xs, ys):
        h, w = self.smooth.shape
        xi = np.minimum(np.maximum(np.rint(xs).astype(np.int64), 0), w - 1)
        yi = np.minimum(np.maximum(np.rint(ys).astype(np.int64), 0), h - 1)
        return self.smooth.ravel().take(yi * w + xi)

    def holds(self, xs, ys):
        """Whether the image points (xs, ys) lie on the region's pixels."""
        h, w = self.smooth.shape
        x, y = xs - self.x0, ys - self.y0
        return (x >= -0.5) & (x < w - 0.5) & (y >= -0.5) & (y < h - 0.5)
