"""Edge strength and sub-pixel radii against a plain per-sample computation
of the library's profile and filter, and the sub-pixel gain on edges that
lie between samples."""

import math

import numpy as np
import pytest

from pupil_radial import edges, radial_search

f32 = np.float32


def filtered_profile(gx, gy, center, r0, r1, n, kernel, angle):
    """One ray's filtered profile, sample by sample, in the library's
    precision and order."""
    rows, cols = gx.shape
    c, s = f32(math.cos(angle)), f32(math.sin(angle))
    step = (f32(r1) - f32(r0)) / f32(n - 1)
    profile = []
    for j in range(n):
        r = f32(j) * step + f32(r0)
        x, y = c * r + f32(center[0]), r * s + f32(center[1])
        if not (0 <= x <= f32(cols - 1) and 0 <= y <= f32(rows - 1)):
            profile.append(-math.inf)
            continue
        x0, y0 = int(x), int(y)
        x1, y1 = min(x0 + 1, cols - 1), min(y0 + 1, rows - 1)
        fx, fy = x - f32(x0), y - f32(y0)
        w = [(f32(1) - fx) * (f32(1) - fy), fx * (f32(1) - fy),
             (f32(1) - fx) * fy, fx * fy]
        v = [((p[y0, x0] * w[0] + p[y0, x1] * w[1]) + p[y1, x0] * w[2])
             + p[y1, x1] * w[3] for p in (gx, gy)]
        profile.append(float(v[1] * s + v[0] * c))
    half = len(kernel) // 2
    out = []
    for k in range(n):
        total, hit = 0.0, False
        for t, tap in enumerate(kernel):
            idx = k - half + t
            if 0 <= idx < n and math.isfinite(profile[idx]):
                total = profile[idx] * tap + total
                hit = True
        out.append(total if hit else -math.inf)
    return np.array(out), step


def disc(rows=70, cols=90, cx=44.3, cy=33.7, radius=17.2, noise=2.0, seed=3):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols]
    d = np.hypot(x - cx, y - cy) - radius
    image = 40 + 120 / (1 + np.exp(-d / 0.8)) + rng.normal(0, noise, d.shape)
    gy, gx = np.gradient(image)
    return gx.astype(f32), gy.astype(f32)


@pytest.mark.parametrize("kernel", [[1.0], [0.25, 0.5, 0.25], [1.0, 2.0],
                                    [0.1, 0.2, 0.4, 0.2, 0.1, 0.05]])
def test_strength_and_subpixel_match_a_direct_computation(kernel):
    gx, gy = disc()
    gx[30, 60] = np.nan  # a NaN sample near one ray's edge is skipped
    rng = np.random.default_rng(len(kernel))
    rmin = rng.uniform(2, 8, 40).astype(f32)
    rmax = rng.uniform(22, 60, 40).astype(f32)  # some rays leave the image
    n = 57
    result = radial_search(gx, gy, (44.3, 33.7), rmin, rmax, n, kernel)
    assert result.found.sum() > 30
    for i in np.flatnonzero(result.found):
        f, step = filtered_profile(gx, gy, result.center, rmin[i], rmax[i], n,
                                   kernel, result.angles[i])
        p = int(np.argmax(f))
        assert result.strength[i] == f[p]  # to the bit
        if 0 < p < n - 1 and np.isfinite(f[p - 1]) and np.isfinite(f[p + 1]):
            curve = f[p - 1] - 2 * f[p] + f[p + 1]
            offset = np.clip(0.5 * (f[p - 1] - f[p + 1]) / curve, -0.5, 0.5)
        else:
            offset = 0.0
        assert result.subpixel_radii[i] == pytest.approx(
            result.radii[i] + offset * float(step), abs=1e-9)
        assert abs(result.subpixel_radii[i] - result.radii[i]) <= step / 2
    assert np.isnan(result.strength[~result.found]).all()
    assert (result.subpixel_radii[~result.found] == -1.0).all()
    assert result.subpixel_points.dtype == np.float32
    assert result.subpixel_points.shape == (result.found.sum(), 2)


def test_peak_at_either_end_keeps_the_grid_radius():
    gx, gy = disc()
    # Ranges ending inside the rising edge or starting just past it.
    result = radial_search(gx, gy, (44.3, 33.7), [5.0, 17.4], [16.0, 30.0],
                           12, [0.25, 0.5, 0.25])
    assert result.subpixel_radii.tolist() == result.radii.tolist()
    # The strength there is the filtered value at that end of the ray.
    ends = []
    for i, (r0, r1) in enumerate(((5.0, 16.0), (17.4, 30.0))):
        filtered, step = filtered_profile(gx, gy, (44.3, 33.7), r0, r1, 12,
                                          [0.25, 0.5, 0.25], result.angles[i])
        k = int(round((result.radii[i] - r0) / float(step)))
        ends.append(k)
        assert result.strength[i] == filtered[k]
    assert sorted(ends) == [0, 11]


def test_subpixel_step_cuts_the_error_on_edges_between_samples():
    errors = {"grid": [], "subpixel": []}
    for k, radius in enumerate(np.linspace(14.0, 15.0, 9)):
        gx, gy = disc(radius=radius, noise=0.0, seed=k)
        # One-pixel sample spacing, so edges fall anywhere between samples.
        result = radial_search(gx, gy, (44.3, 33.7), 5.0, 27.0, 23,
                               [0.25, 0.5, 0.25], ray_count=64)
        errors["grid"].append(np.abs(result.radii - radius).mean())
        errors["subpixel"].append(
            np.abs(result.subpixel_radii - radius).mean())
    assert np.mean(errors["subpixel"]) < 0.5 * np.mean(errors["grid"])


def test_ray_directions_are_libm_rounded_to_float32():
    def libm(fn, angles):
        return np.array([fn(a) for a in angles], f32).view(np.uint32)

    for count in (*range(1, 300), 4096, 100003):
        angles, cos, sin = edges.ray_table(count)
        assert np.array_equal(cos.view(np.uint32), libm(math.cos, angles))
        assert np.array_equal(sin.view(np.uint32), libm(math.sin, angles))
    # Cosines halfway between two floats, and a vectorised cosine a little
    # off (within the margin): only values checked for certainty keep
    # libm's rounding.
    rng = np.random.default_rng(5)
    low = rng.uniform(0.05, 0.95, 2000).astype(f32)
    halfway = (low.astype(np.float64)
               + np.nextafter(low, f32(1)).astype(np.float64)) / 2
    angles = np.arccos(halfway)
    got = edges._libm_rounded(angles, lambda a: np.cos(a) * (1 + 2.0**-45),
                              math.cos)
    assert np.array_equal(got.view(np.uint32), libm(math.cos, angles))
