"""The two passes that measure a pupil from a guess: a coarse one over the
whole radius range (a few rays, a robust fit, once more from the fitted
centre if it moved) and a fine one close to the coarse ellipse (many rays,
a fine grid, the fit refined and scored); and the same again with a wider
blur for a pupil smeared by a saccade."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import edges
from .confidence import confidence as score
from .confidence import on_edge
from .ellipse_fit import Fit, radius_from_centre, refine, robust_fit
from .pupil import Ellipse, Pupil, found, not_found
from .rays import Region
from .tuning import TUNING, radius_range


@dataclass(frozen=True)
class Guess:
    """Where the coarse search looks: a centre (x, y), the pupil radius
    range (min, max), and whether the caller set that range (it is then
    kept when the search recentres)."""

    center: tuple
    radius: tuple
    radius_given: bool


def smeared_too(gray, guess: Guess, threshold, rays, sigma) -> Pupil:
    """The passes with the caller's blur, then, where they find no pupil,
    with a wider one: motion blur (a saccade) smears the edge over several
    pixels, and only a blur as wide puts the gradient's peak at the
    smear's middle, where the edge is."""
    pupil = coarse_then_fine(gray, guess, threshold, rays, sigma)
    wide = TUNING.smeared_sigma
    # A pupil only a few blurs across would be blurred away.
    if pupil.found or sigma >= wide or (
            guess.radius[1] < TUNING.smeared_least_radius * wide):
        return pupil
    smeared = coarse_then_fine(gray, guess, threshold, rays, wide)
    return smeared if smeared.confidence > pupil.confidence else pupil


def coarse_then_fine(gray, guess: Guess, threshold, rays, sigma) -> Pupil:
    """The coarse pass, repeated once from its fitted centre when that lies
    far from the guess (part of the edge was then out of range), then the
    fine pass from its ellipse."""
    t = TUNING
    rows, cols = gray.shape
    x, y = guess.center
    # A given centre may lie off the image; a pupil's never does (the
    # whole ellipse must be on it), and so far off the rays would start
    # on no pixel at all.
    if not (0 <= x <= cols - 1 and 0 <= y <= rows - 1):
        return not_found()
    for _ in range(2):
        rmax = guess.radius[1]
        region = Region(gray, guess.center, rmax + t.region_past_radius * rmax,
                        sigma)
        coarse = _coarse_pass(region, guess)
        if isinstance(coarse, Pupil):
            return coarse
        e = coarse.ellipse
        if not (0 <= e.cx <= cols - 1 and 0 <= e.cy <= rows - 1
                and e.minor > 1):
            return not_found(0.0, coarse.points)
        if math.hypot(e.cx - guess.center[0], e.cy - guess.center[1]) < \
                t.recentre_share * e.minor / 2:
            break
        guess = Guess(e.center, guess.radius if guess.radius_given else
                      radius_range(e.minor / 2, e.major / 2, t.below_fit,
                                   t.above_search), guess.radius_given)
    return fine_pass(region, e, rays, threshold, guess.radius)


@dataclass(frozen=True)
class _Coarse:
    ellipse: Ellipse
    points: np.ndarray


def _coarse_pass(region: Region, guess: Guess):
    """A few rays over the whole range, on a coarse grid, and the ellipse
    most of their edges lie on (a wider band: points on the grid); a
    not-found Pupil when there is none."""
    t = TUNING
    found_edges = region.search(guess.center, guess.radius[0],
                                guess.radius[1], t.coarse_rays,
                                t.coarse_spacing)
    first = robust_fit(found_edges.points, guess.center, guess.radius[1],
                       tolerance=t.coarse_tolerance)
    if first is None:
        return not_found(0.0, found_edges.points)
    return _Coarse(first.ellipse, found_edges.points)


def fine_pass(region: Region, ellipse: Ellipse, rays, threshold,
              searched_range, slack=TUNING.fine_slack[0]) -> Pupil:
    """From the centre of `ellipse`, each ray searching within `slack` px
    and 10 % of it: so close that a lid or the iris rim beyond it is out of
    reach, on a grid a fifth of a pixel fine. The points are refitted,
    checked and scored."""
    t = TUNING
    _, cos, sin = edges.ray_table(rays)
    expected = radius_from_centre(ellipse, cos.astype(np.float64), sin)
    width = slack + t.fine_slack[1] * expected
    lo = np.maximum(expected - width, 0.5)
    hi = expected + width
    times, margin = t.fine_reach
    if not hi.max() <= times * searched_range[1] + margin:
        return not_found()
    fine = region.search(ellipse.center, lo, hi, rays, t.fine_spacing,
                         first_edge=False)
    fit = _refit(fine.points, ellipse, float(hi.max()), rays)
    if fit is None:
        return not_found(0.0, fine.points)
    value = score(region, fine, fit, rays, searched_range)
    if value < threshold:
        return not_found(value, fine.points, fit.inliers)
    return found(fit.ellipse, value, fine.points, fit.inliers)


def _refit(points, start: Ellipse, reach: float, rays: int) -> Optional[Fit]:
    """Refined from the coarse ellipse, unless too few points then lie on
    it (a coarse fit drawn off by a lid's chord): then from every guess
    again."""
    t = TUNING
    fit = refine(points, start, max(1.0, t.refine_share * start.minor))
    if fit is None or on_edge(fit.ellipse, fit.residuals).sum() < \
            t.refined_support * rays:
        fit = robust_fit(points, start.center, reach, start=start)
    return fit
