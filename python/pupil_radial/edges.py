"""Per-ray edge measures beside core.so's radii: the edge strength and a
sub-pixel radius, from the same gradients, sample positions, interpolation
and kernel alignment as the library, for every ray at once.

Only a window of kernel length + 2 samples around each peak is rebuilt, in
the library's own precision and order (float32 geometry and interpolation,
float64 filter taps summed in tap order), so the strength is the library's
filtered value at the peak to the bit.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import lru_cache

import numpy as np

# The double nearest to 2*pi, as the library uses it for the ray angles.
_TWO_PI = 6.283185307179586
_F32 = np.float32


@lru_cache(maxsize=64)
def ray_table(ray_count: int):
    """(angles, cos, sin) per ray: angles in float64, cos and sin rounded to
    float32 as the library rounds them. Read-only and cached per count."""
    i = np.arange(ray_count, dtype=np.float64)
    angles = (i * _TWO_PI) / np.float64(ray_count)
    cos = _libm_rounded(angles, np.cos, math.cos)
    sin = _libm_rounded(angles, np.sin, math.sin)
    for array in (angles, cos, sin):
        array.flags.writeable = False
    return angles, cos, sin


def _libm_rounded(angles, vectorised, libm):
    """libm(angle) rounded to float32, as the library rounds the C library's
    value. numpy's vectorised functions may differ from libm in the last
    bits of a double; both are within a few units of the truth, so where
    everything within 2^-40 (relative) of numpy's value rounds to one float,
    libm's rounds to it too. The rest (values near zero, and about one in
    30,000 near a rounding boundary) are asked of libm."""
    approx = vectorised(angles)
    margin = np.abs(approx) * 2.0**-40
    rounded = approx.astype(_F32)
    low, high = (approx - margin).astype(_F32), (approx + margin).astype(_F32)
    unsure = (low != high) | (np.abs(approx) < 2.0**-20)
    rounded[unsure] = [libm(a) for a in angles[unsure]]
    return rounded


@lru_cache(maxsize=16)
def _windows(kernel_len: int):
    """Offsets of the samples a ray's window holds, relative to its peak,
    and which of them each of the three filtered outputs reads."""
    half = kernel_len // 2
    offsets = np.arange(-1 - half, kernel_len + 1 - half)
    return offsets, np.arange(3)[:, None] + np.arange(kernel_len)


@dataclass(frozen=True)
class EdgeMeasures:
    """strength: the filtered value at each ray's peak (NaN without one).
    subpixel_radii: the vertex of a parabola through the filtered values at
    the peak and its neighbours, at most half a step from the peak; the
    peak's own radius where a neighbour is missing or not finite; -1.0
    without a peak."""

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
    strength = np.full(radii.shape[0], np.nan)
    subpixel = np.where(found, radii, -1.0)
    rays = np.flatnonzero(found)
    if rays.size:
        _, cos, sin = ray_table(radii.shape[0])
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            strength[rays], subpixel[rays] = measure_rays(
                gx, gy, center32, radii[rays], rmin32[rays], rmax32[rays],
                cos[rays], sin[rays], sample_count, taps)
    return EdgeMeasures(strength, subpixel)


def measure_rays(gx, gy, center32, radius, r0, r1, cos, sin, sample_count,
                 taps):
    """(strength, sub-pixel radius) of rays whose peaks lie at `radius`;
    r0, r1, cos and sin per ray, float32, as the search used them. Call it
    under np.errstate(invalid="ignore", divide="ignore", over="ignore")."""
    n = sample_count
    step = (r1 - r0) / _F32(n - 1)
    peak = _peak_index(radius, r0, step, n)
    offsets, window = _windows(taps.shape[0])
    profile = _profile(gx, gy, center32, r0[:, None], step[:, None],
                       cos[:, None], sin[:, None], peak[:, None] + offsets, n)
    usable = np.isfinite(profile)
    if np.isfinite(taps).all():
        # A skipped tap adds a zero product, which changes no sum but a
        # zero's sign; the final +0.0 stands for the library's initial sum
        # and gives every zero its sign there.
        terms = np.where(usable, profile, 0.0)[:, window] * taps
    else:  # 0 x inf would be NaN: skip those taps outright
        terms = np.where(usable[:, window], profile[:, window] * taps, -0.0)
    sums = np.add.accumulate(terms, axis=-1)[..., -1] + 0.0
    filtered = np.where(usable[:, window].any(axis=-1), sums, -np.inf)
    before, at, after = filtered[:, 0], filtered[:, 1], filtered[:, 2]
    curvature = before - 2 * at + after
    offset = 0.5 * (before - after) / curvature
    # A neighbour off the profile, not finite, or no maximum: no refinement.
    ok = (peak > 0) & (peak < n - 1) & np.isfinite(offset) & (curvature < 0)
    offset = np.where(ok, np.minimum(np.maximum(offset, -0.5), 0.5), 0.0)
    return at, radius + offset * step


def points(center, radii: np.ndarray, found: np.ndarray) -> np.ndarray:
    """float32 (x, y) of each found ray's point at `radii`, along the ray's
    library direction, ready for OpenCV."""
    _, cos, sin = ray_table(radii.shape[0])
    r = radii[found]
    return np.column_stack(
        (center[0] + r * cos[found].astype(np.float64),
         center[1] + r * sin[found].astype(np.float64))).astype(_F32)


def _peak_index(radius, r0, step, sample_count):
    """The sample index p whose radius (float)p * step + r0 is `radius`."""
    guess = np.rint((radius - r0) / step)
    peak = np.minimum(np.maximum(np.nan_to_num(guess), 0),
                      sample_count - 1).astype(np.int64)
    missed = peak.astype(_F32) * step + r0 != radius
    if missed.any():  # rounding put the quotient next to p
        for delta in (-1, 1):
            other = np.minimum(np.maximum(peak + delta, 0), sample_count - 1)
            hit = missed & (other.astype(_F32) * step + r0 == radius)
            peak = np.where(hit, other, peak)
            missed &= ~hit
    return peak


def _profile(gx, gy, center32, r0, step, c, s, j, sample_count):
    """The radial response at samples j of each ray, float64; -inf outside
    the image or off the profile. float32 arithmetic, each product and sum
    rounded on its own."""
    rows, cols = gx.shape
    r = j.astype(_F32) * step + r0
    x = c * r + _F32(center32[0])
    y = r * s + _F32(center32[1])
    inside = ((x >= 0) & (x <= _F32(cols - 1)) & (y >= 0)
              & (y <= _F32(rows - 1)) & (j >= 0) & (j < sample_count))
    # Outside samples (NaN included) read pixel 0 and are dropped below.
    x = np.fmin(np.fmax(x, _F32(0)), _F32(cols - 1))
    y = np.fmin(np.fmax(y, _F32(0)), _F32(rows - 1))
    x0 = x.astype(np.int64)
    y0 = y.astype(np.int64)
    fx = x - x0.astype(_F32)
    fy = y - y0.astype(_F32)
    one = _F32(1)
    gx1, gy1 = one - fx, one - fy
    w00, w10, w01, w11 = gx1 * gy1, fx * gy1, gx1 * fy, fx * fy
    i00 = y0 * cols + x0
    i10 = i00 + (x0 + 1 < cols)
    i01 = i00 + (y0 + 1 < rows) * cols
    i11 = i01 + (i10 - i00)
    v = [((p.take(i00) * w00 + p.take(i10) * w10) + p.take(i01) * w01)
         + p.take(i11) * w11 for p in (gx.ravel(), gy.ravel())]
    g = (v[1] * s + v[0] * c).astype(np.float64)
    g[~inside] = -np.inf
    return g
