"""Per-ray edge measures beside core.so's radii: the edge strength and a
sub-pixel radius, from the same gradients, sample positions, interpolation
and kernel alignment as the library, for every ray at once.

Only a window of kernel length + 2 samples around each peak is rebuilt, in
the library's own precision and order (float32 geometry and interpolation,
float64 filter taps summed in tap order), so the strength is the library's
filtered value at the peak to the bit.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache

import numpy as np

# The double nearest to 2*pi, as the library uses it for the ray angles.
_TWO_PI = 6.283185307179586


@lru_cache(maxsize=64)
def ray_table(ray_count: int):
    """(angles, cos, sin) per ray: angles in float64, cos and sin rounded to
    float32 as the library rounds them. Read-only and cached per count."""
    i = np.arange(ray_count, dtype=np.float64)
    angles = (i * _TWO_PI) / np.float64(ray_count)
    # The platform's libm, as the library calls it: numpy's own vectorised
    # sine may differ from it in the last bit.
    import math
    cos = np.array([math.cos(a) for a in angles], np.float32)
    sin = np.array([math.sin(a) for a in angles], np.float32)
    for array in (angles, cos, sin):
        array.flags.writeable = False
    return angles, cos, sin


@dataclass(frozen=True)
class EdgeMeasures:
    """strength: the filtered value at each ray's peak (NaN without one).
    subpixel_radii: the vertex of a parabola through the filtered values at
    the peak and its neighbours, at most half a step from the peak; the
    peak's own radius where a neighbour is missing or not finite."""

    strength: np.ndarray
    subpixel_radii: np.ndarray


def measure(gx: np.ndarray, gy: np.ndarray, center32, radii: np.ndarray,
            found: np.ndarray, rmin32: np.ndarray, rmax32: np.ndarray,
            sample_count: int, taps: np.ndarray) -> EdgeMeasures:
    """Edge measures for the rays of one search.

    gx, gy: the C-contiguous float32 gradients the search read; center32:
    its float32 centre; radii, found: its per-ray results; rmin32, rmax32:
    float32 ranges per ray; taps: the float64 kernel.
    """
    ray_count = radii.shape[0]
    strength = np.full(ray_count, np.nan)
    subpixel = np.where(found, radii, -1.0)
    rays = np.flatnonzero(found)
    if rays.size == 0:
        return EdgeMeasures(strength, subpixel)
    _, cos, sin = ray_table(ray_count)
    c, s = cos[rays, None], sin[rays, None]
    r0 = rmin32[rays, None]
    step = (rmax32[rays] - r0[:, 0]) / np.float32(sample_count - 1)
    step = step[:, None]
    peak = _peak_index(radii[rays], r0[:, 0], step[:, 0], sample_count)

    # Samples peak-1-half ... peak+1-half+len-1 cover the three outputs.
    kernel_len = taps.shape[0]
    half = kernel_len // 2
    j = peak[:, None] + np.arange(-1 - half, kernel_len + 1 - half)
    on_profile = (j >= 0) & (j < sample_count)
    profile = _profile(gx, gy, center32, r0, step, c, s, j)
    usable = on_profile & np.isfinite(profile)
    window = np.arange(3)[:, None] + np.arange(kernel_len)
    terms = np.where(usable[:, window], profile[:, window] * taps, -0.0)
    # The library adds each tap's product in tap order onto 0.0; adding
    # -0.0 for a skipped tap changes nothing, and the final +0.0 stands for
    # the initial sum (it only turns an all -0.0 sum into 0.0, as there).
    sums = np.add.accumulate(terms, axis=-1)[..., -1] + 0.0
    reached = usable[:, window].any(axis=-1)
    filtered = np.where(reached, sums, -np.inf)
    neighbour_ok = np.column_stack((peak > 0, np.ones_like(peak, bool),
                                    peak < sample_count - 1))
    filtered = np.where(neighbour_ok, filtered, np.nan)

    before, at, after = filtered[:, 0], filtered[:, 1], filtered[:, 2]
    strength[rays] = at
    curvature = before - 2 * at + after
    with np.errstate(invalid="ignore", divide="ignore"):
        offset = 0.5 * (before - after) / curvature
    offset = np.where(np.isfinite(offset) & (curvature < 0),
                      np.minimum(np.maximum(offset, -0.5), 0.5), 0.0)
    subpixel[rays] = radii[rays] + offset * step[:, 0].astype(np.float64)
    return EdgeMeasures(strength, subpixel)


def points(center, radii: np.ndarray, found: np.ndarray) -> np.ndarray:
    """float32 (x, y) of each found ray's point at `radii`, along the ray's
    library direction, ready for OpenCV."""
    _, cos, sin = ray_table(radii.shape[0])
    r = radii[found]
    return np.column_stack(
        (center[0] + r * cos[found].astype(np.float64),
         center[1] + r * sin[found].astype(np.float64))).astype(np.float32)


def _peak_index(radius, r0, step, sample_count):
    """The sample index whose radius (float)p * step + r0 is `radius`."""
    last = sample_count - 1
    with np.errstate(invalid="ignore", divide="ignore"):
        guess = np.rint((radius - r0) / step)
    guess = np.minimum(np.maximum(guess, 0), last).astype(np.int64)
    best = guess
    for delta in (-1, 1):
        other = np.minimum(np.maximum(guess + delta, 0), last)
        placed = other.astype(np.float32) * step + r0
        best = np.where(placed == radius, other, best)
    return best


def _profile(gx, gy, center32, r0, step, c, s, j):
    """The radial response at samples j of each ray, float64, -inf outside:
    float32 arithmetic with each product and sum rounded on its own."""
    rows, cols = gx.shape
    f32 = np.float32
    r = j.astype(f32) * step + r0
    x = c * r + f32(center32[0])
    y = r * s + f32(center32[1])
    inside = (x >= 0) & (x <= f32(cols - 1)) & (y >= 0) & (y <= f32(rows - 1))
    x = np.where(inside, x, f32(0))
    y = np.where(inside, y, f32(0))
    x0 = x.astype(np.int64)
    y0 = y.astype(np.int64)
    x1 = np.where(x0 + 1 < cols, x0 + 1, x0)
    y1 = np.where(y0 + 1 < rows, y0 + 1, y0)
    fx = x - x0.astype(f32)
    fy = y - y0.astype(f32)
    one = f32(1)
    w00 = (one - fx) * (one - fy)
    w10 = fx * (one - fy)
    w01 = (one - fx) * fy
    w11 = fx * fy
    i00, i10 = y0 * cols + x0, y0 * cols + x1
    i01, i11 = y1 * cols + x0, y1 * cols + x1
    values = []
    for image in (gx.ravel(), gy.ravel()):
        values.append(((image[i00] * w00 + image[i10] * w10)
                       + image[i01] * w01) + image[i11] * w11)
    g = values[1] * s + values[0] * c
    return np.where(inside, g.astype(np.float64), -np.inf)
