"""Ellipses through edge points: one least-squares fit, many at once, the
robust choice among guesses that each leave out an arc, and a refinement
that trims outliers. Geometry only: points in, ellipses out, no image."""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import lru_cache
from typing import Optional

import cv2
import numpy as np

from ._numeric import median
from .pupil import Ellipse
from .tuning import TUNING


@dataclass(frozen=True)
class Fit:
    """An ellipse, the mask of the points it was fitted to, and every
    point's residual (signed px, positive outside)."""

    ellipse: Ellipse
    inliers: np.ndarray
    residuals: np.ndarray


def fit(points: np.ndarray) -> Ellipse:
    """The ellipse through float32 (n, 2) points, n >= 5: OpenCV's
    approximate mean square fit (Taubin's normalisation), as precise on
    pupils as its plain algebraic fit and four times as fast, which
    matters in a tracked frame's rounds of refitting."""
    return Ellipse.from_box(cv2.fitEllipseAMS(points))


def residuals(ellipse: Ellipse, pts: np.ndarray) -> np.ndarray:
    """Signed distance of each point from the ellipse along the line from
    its centre (positive outside), in pixels: (n,) for one ellipse, (k, n)
    for k of them held as (k, 1) arrays, as fit_many() gives them."""
    if np.ndim(ellipse.angle) == 0:
        t = math.radians(ellipse.angle)
        turn = complex(math.cos(t), -math.sin(t))
    else:
        t = np.radians(ellipse.angle)
        turn = np.cos(t) - np.sin(t) * 1j
    # The points as complex numbers, turned into the ellipse's frame.
    z = (pts[:, 0] - ellipse.cx) + (pts[:, 1] - ellipse.cy) * 1j
    w = z * turn
    rho = np.sqrt((w.real * (2 / np.maximum(ellipse.major, 1e-9))) ** 2
                  + (w.imag * (2 / np.maximum(ellipse.minor, 1e-9))) ** 2)
    d = np.abs(z)
    return d - d / np.maximum(rho, 1e-12)


def radius_from_centre(ellipse: Ellipse, cos, sin):
    """Distance from the ellipse's centre to the ellipse along directions
    (cos, sin), arrays."""
    t = math.radians(ellipse.angle)
    ct, st = math.cos(t), math.sin(t)
    along = (cos * ct + sin * st) * (2 / ellipse.major)
    across = (sin * ct - cos * st) * (2 / ellipse.minor)
    return 1 / np.sqrt(along * along + across * across)


def fit_many(points: np.ndarray, masks: np.ndarray):
    """Least-squares conics A x^2 + B xy + C y^2 + D x + E y = 1 through the
    points each row of `masks` selects, all at once, each in coordinates
    centred on its own points (which lie around the conic, never on it: a
    conic through the origin has no such form): an Ellipse of (k, 1)
    arrays (NaN where the conic is no ellipse) and which are ellipses.
    Call it under np.errstate(all="ignore")."""
    pts = points.astype(np.float64)
    mean = pts.mean(axis=0)
    scale = float(pts.std()) or 1.0
    x, y = ((pts - mean) / scale).T
    design = np.stack((x * x, x * y, y * y, x, y, np.ones_like(x)), axis=1)
    # Every mask's moments as one product with the points' outer products,
    # then moved to the mask's own centroid (mx, my).
    outer = (design[:, :, None] * design[:, None, :]).reshape(len(pts), 36)
    moments = (masks @ outer).reshape(-1, 6, 6)
    mx, my = (masks @ np.stack((x, y), axis=1) / np.maximum(
        masks.sum(axis=1), 1)[:, None]).T
    zero, one = np.zeros_like(mx), np.ones_like(mx)
    shift = np.stack((
        (one, zero, zero, -2 * mx, zero, mx * mx),
        (zero, one, zero, -my, -mx, mx * my),
        (zero, zero, one, zero, -2 * my, my * my),
        (zero, zero, zero, one, zero, -mx),
        (zero, zero, zero, zero, one, -my),
        (zero, zero, zero, zero, zero, one))).transpose(2, 0, 1)
    moments = shift @ moments @ shift.transpose(0, 2, 1)
    normal, rhs = moments[:, :5, :5], moments[:, :5, 5]
    # A whisker of ridge keeps degenerate subsets (too few or collinear
    # points) solvable; they come out as non-ellipses.
    normal += 1e-12 * np.eye(5)
    a, b, c, d, e = np.linalg.solve(normal, rhs[:, :, None])[..., 0].T
    det = 4 * a * c - b * b
    x0 = (b * e - 2 * c * d) / det + mx
    y0 = (b * d - 2 * a * e) / det + my
    f0 = 0.5 * (d * (x0 - mx) + e * (y0 - my)) - 1  # the value at the centre
    middle, root = (a + c) / 2, np.hypot((a - c) / 2, b / 2)
    params = np.array((x0 * scale + mean[0], y0 * scale + mean[1],
                       2 * scale * np.sqrt(f0 / (root - middle)),
                       2 * scale * np.sqrt(-f0 / (middle + root)),
                       (np.degrees(0.5 * np.arctan2(b, a - c)) + 90.0) % 180))
    valid = (det > 0) & np.isfinite(params[2]) & np.isfinite(params[3])
    params[:, ~valid] = np.nan
    return Ellipse(*params[:, :, None]), valid


@lru_cache(maxsize=16)
def guess_masks(n: int, halves: bool) -> np.ndarray:
    """The point subsets of robust_fit()'s guesses, for n points in ray
    order: all, all but a quarter or a third of the rays from each eighth
    on, two opposite eighths left out (both lids), and with `halves` each
    half."""
    masks = [np.ones(n, bool)]
    for k in range(8):
        begin = (k * n) // 8
        without_quarter = np.ones(n, bool)
        without_quarter[np.arange(begin, begin + n // 4) % n] = False
        without_third = np.ones(n, bool)
        without_third[np.arange(begin, begin + n // 3) % n] = False
        half = np.zeros(n, bool)
        half[np.arange(begin, begin + n // 2) % n] = True
        masks += [without_quarter, without_third]
        if halves:
            masks.append(half)
        if k < 4:  # both lids: two opposite arcs of an eighth
            without_two = np.ones(n, bool)
            without_two[np.arange(begin, begin + n // 8) % n] = False
            without_two[np.arange(begin + n // 2,
                                  begin + n // 2 + n // 8) % n] = False
            masks.append(without_two)
    return np.array(masks, np.float64)


def _plausible(cx, cy, major, origin, reach):
    """Which guesses (arrays) are no larger than the rays reach and centred
    near their origin."""
    t = TUNING
    size, offset = t.plausible_reach
    return (major <= size * reach) & (
        np.hypot(cx - origin[0], cy - origin[1]) <= offset * reach)


def robust_fit(points: np.ndarray, origin, reach: float,
               tolerance: float = TUNING.fine_tolerance,
               start: Optional[Ellipse] = None) -> Optional[Fit]:
    """The ellipse fitted to the points that agree with it; None with too
    few.

    `points` are the edges of rays cast from `origin` reaching `reach`
    px, in ray order. Lids and lashes hide a contiguous arc of the boundary
    and put a stronger edge there, and a centre guess far off puts half the
    rays' edges elsewhere; so the first guesses are fits to every point, to
    every point but one arc (see guess_masks()), without a `start` ellipse
    to every half, and `start` itself. The guess that most points lie on
    wins, counting those within `tolerance` + 0.5 % of the points' size; a
    guess larger than the rays' reach or centred away from their origin
    cannot. refine() then trims glints and the rest."""
    n = len(points)
    if n < 8:
        return None
    pts = points.astype(np.float64)
    # Scored with a tight band: a compromise through a lid's chord passes
    # near many points, but within a fraction of a pixel of few.
    size = 2 * median(np.hypot(pts[:, 0] - origin[0], pts[:, 1] - origin[1]))
    tolerance = tolerance + TUNING.tolerance_share * size
    # Where nothing hides the boundary, the fit to every point has nearly
    # all of them on it and no other guess could do much better.
    whole = fit(points)
    if (whole.minor > 0
            and _plausible(whole.cx, whole.cy, whole.major, origin, reach)
            and (np.abs(residuals(whole, pts)) < tolerance).sum()
            >= TUNING.whole_fit_share * n):
        return refine(points, whole, 2 * tolerance)
    with np.errstate(all="ignore"):  # degenerate subsets come out NaN
        guesses, valid = fit_many(pts, guess_masks(n, start is None))
    if start is not None:
        guesses = Ellipse(*(np.vstack((g, [[v]])) for g, v in zip(
            (guesses.cx, guesses.cy, guesses.major, guesses.minor,
             guesses.angle),
            (start.cx, start.cy, start.major, start.minor, start.angle))))
        valid = np.append(valid, True)
    valid &= _plausible(guesses.cx[:, 0], guesses.cy[:, 0],
                        guesses.major[:, 0], origin, reach)
    residual = np.abs(residuals(guesses, pts))
    score = (residual < tolerance).sum(axis=1) - np.minimum(
        residual, tolerance).mean(axis=1)
    score[~valid] = -np.inf
    pick = int(np.argmax(score))
    if not valid[pick]:
        return None
    best = Ellipse(*(float(v[pick, 0]) for v in (
        guesses.cx, guesses.cy, guesses.major, guesses.minor, guesses.angle)))
    return refine(points, best, 2 * tolerance)


def _outlier_cut(inside: np.ndarray, minor: float) -> float:
    """How far from the ellipse a point is an outlier, from the residuals
    of the points it was fitted to: three robust standard deviations (the
    median absolute deviation, 1.4826 of which is the standard deviation of
    normal noise), within bounds. Noise spreads edges by a fraction of a
    pixel; a lid's chord or a glint's rim lies further off than that."""
    t = TUNING
    spread = 1.4826 * median(np.abs(inside - median(inside)))
    nearest, furthest = t.outlier_cut_bounds
    return min(max(t.outlier_sigmas * spread, nearest),
               max(furthest, t.outlier_cut_share * minor))


def refine(points: np.ndarray, start: Ellipse,
           tolerance: float) -> Optional[Fit]:
    """The ellipse refitted to the points within `tolerance` px of `start`,
    then to those within its own outlier cut, so glints' rims, lashes and a
    lid's chord fall out (a few rounds at most). None with fewer than 6
    points to fit."""
    pts = points.astype(np.float64)
    keep = np.abs(residuals(start, pts)) < tolerance
    for _ in range(TUNING.refine_rounds):
        if keep.sum() < 6:
            return None
        ellipse = fit(points[keep])
        residual = residuals(ellipse, pts)
        new_keep = np.abs(residual) < _outlier_cut(residual[keep],
                                                   ellipse.minor)
        if np.array_equal(new_keep, keep):
            return Fit(ellipse, keep, residual)
        keep = new_keep
    if keep.sum() < 6:
        return None
    ellipse = fit(points[keep])
    return Fit(ellipse, keep, residuals(ellipse, pts))
