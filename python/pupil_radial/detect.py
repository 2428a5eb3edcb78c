"""One eye image to one pupil, in named stages: where to look (locate), a
coarse search and a robust fit, a fine search from the fitted centre, and a
confidence that says when there is no pupil."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import _checks, edges
from .confidence import confidence as score
from .confidence import on_edge
from .ellipse_fit import Fit, radius_from_centre, refine, robust_fit
from .locate import Overview, as_gray, inverted, window
from .pupil import (DEFAULT_THRESHOLD, Ellipse, Pupil, found, moved,
                    not_found)
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


def detect(image, center=None, radius=None, *, threshold=DEFAULT_THRESHOLD,
           rays: int = 96, sigma: float = 1.0,
           bright_pupil: bool = False) -> Pupil:
    """Finds the pupil in an eye image.

    image: 2-D gray (uint8, uint16 or float; float images whose largest
        value is at most 1 are taken as 0..1) or 3-channel BGR.
    center: optional (x, y) hint of the pupil centre; found from the image
        (the most compact dark region of plausible size) when omitted.
    radius: optional (min, max) hint of the pupil radius in pixels;
        estimated from the image around the centre when omitted. Hints
        guide the search; where it finds no pupil with them, the whole
        image is searched without them.
    threshold: the confidence from which a pupil counts as found (default
        DEFAULT_THRESHOLD = 0.5).
    rays: rays of the final search (16 to 4096).
    sigma: Gaussian blur, in pixels, before the gradients.
    bright_pupil: look for a bright disc in a darker iris (on-axis
        illumination, two-photon rigs) instead of a dark one.

    The steps:
    1. locate: without a centre, the few most compact dark regions of the
       overview, measured (steps 2 to 4) in turn and the most confident
       kept (a clear pupil ends the search); without a range, a radius
       estimated around each centre;
    2. coarse pass: 48 rays, each ray's first strong dark-to-bright edge,
       a robust ellipse fit (arcs hidden by lids, glints and lashes left
       out), once more from the fitted centre if it moved;
    3. fine pass: `rays` rays searching close to that ellipse on a finer
       grid, the ellipse refined on their edges;
    4. confidence (see pupil_radial.confidence): the share of rays whose
       edge lies on the ellipse, times the edges' median gradient against
       the image's gradient noise, times a term of the fit's residual; an
       ellipse that is implausibly flat, not darker inside than around it
       (by 12 levels of 255 in the median), or outside the searched range
       scores 0.

    Raises TypeError or ValueError naming the argument for input that is not
    an image or options out of range; any valid image gives a Pupil.
    """
    image = _checks.image(image)
    if bright_pupil:
        image = inverted(image)
    threshold = _checks.number("threshold", threshold, 0.0, 1.0)
    sigma = _checks.number("sigma", sigma, 0.0, 20.0)
    rays = _checks.count("rays", rays, minimum=16, maximum=_checks.MAX_RAYS)
    rows, cols = image.shape[:2]
    if center is not None:
        center = _checks.pair("center", center)
    if radius is not None:
        radius = _checks.radius(radius, rows, cols)
    if rows < 8 or cols < 8:
        return not_found()
    # Degenerate guesses (too few points, a line) are normal on the way and
    # come out as NaN; warnings about them would say nothing.
    with np.errstate(all="ignore"):
        # Hints stay hints: without a pupil where they say, the centre
        # alone guides the search, then nothing does, so that a pupil of
        # another size, or elsewhere, is still found.
        best = None
        for hints in _loosened(center, radius):
            pupil = _detect(image, *hints, threshold, rays, sigma)
            if pupil.found:
                return pupil
            if best is None or pupil.confidence > best.confidence:
                best = pupil
    return best


def _loosened(center, radius):
    """The hints as given, then fewer of them, down to none."""
    yield center, radius
    if center is not None and radius is not None:
        yield center, None
    if center is not None or radius is not None:
        yield None, None


def _detect(image, center, radius, threshold, rays, sigma) -> Pupil:
    if center is not None and radius is not None:
        return _detect_in_window(image, Guess(center, radius, True),
                                 threshold, rays, sigma)
    gray = as_gray(image)
    # The candidate regions in the overview's order, the most confident
    # kept, so that a brow, hair or a glasses frame ranked first does not
    # hide the pupil; a clear pupil ends the search.
    best = not_found()
    for guess in _locate(gray, center, radius):
        pupil = _smeared_too(gray, guess, threshold, rays, sigma)
        if pupil.confidence > best.confidence:
            best = pupil
        if best.confidence >= TUNING.clear_pupil:
            break
    return best


def _smeared_too(gray, guess: Guess, threshold, rays, sigma) -> Pupil:
    """The passes with the caller's blur, then, where they find no pupil,
    with a wider one: motion blur (a saccade) smears the edge over several
    pixels, and only a blur as wide puts the gradient's peak at the
    smear's middle, where the edge is."""
    pupil = _coarse_then_fine(gray, guess, threshold, rays, sigma)
    wide = TUNING.smeared_sigma
    # A pupil only a few blurs across would be blurred away.
    if pupil.found or sigma >= wide or (
            guess.radius[1] < TUNING.smeared_least_radius * wide):
        return pupil
    smeared = _coarse_then_fine(gray, guess, threshold, rays, wide)
    return smeared if smeared.confidence > pupil.confidence else pupil


def detect_near(image, prior: Pupil, *, threshold=DEFAULT_THRESHOLD,
                rays: int = 96, sigma: float = 1.0,
                bright_pupil: bool = False) -> Pupil:
    """The pupil near `prior`, a found pupil of the previous frame: one fine
    pass close to its ellipse, on a window around it, so the cost follows
    the pupil's size. Not found when the pupil moved or changed more than a
    few pixels, or is gone; then detect() is the way to find it again.
    Arguments are those of detect(), taken as already checked."""
    t = TUNING
    image = _checks.image(image)
    if bright_pupil:
        image = inverted(image)
    ellipse = prior.ellipse
    with np.errstate(all="ignore"):
        x0, y0, x1, y1 = box = window(
            image, ellipse.center, t.window_over_tracked * ellipse.major
            + t.blur_reach * sigma + t.window_margin)
        if x1 - x0 < 8 or y1 - y0 < 8:
            return not_found()
        local = ellipse.moved(-x0, -y0)
        region = Region(as_gray(image, box), local.center,
                        t.region_tracked[0] * ellipse.major
                        + t.region_tracked[1], sigma)
        expected = radius_range(ellipse.minor / 2, ellipse.major / 2,
                                t.below_fit, t.above_tracked)
        pupil = _fine_pass(region, local, rays, threshold, expected,
                           slack=t.tracked_slack)
    return moved(pupil, x0, y0)


def _locate(gray, center, radius):
    """The guesses from the overview for what the caller did not give: the
    given centre, or the few most pupil-like dark regions."""
    overview = Overview(gray)
    centers = [center] if center is not None else overview.dark_regions(
        TUNING.candidates)
    for where in centers:
        if radius is not None:
            yield Guess(where, radius, True)
            continue
        estimate = overview.radius(where)
        if estimate is not None:
            yield Guess(where, radius_range(estimate, estimate,
                                            TUNING.below_estimate,
                                            TUNING.above_search), False)


def _detect_in_window(image, guess: Guess, threshold, rays, sigma) -> Pupil:
    """Both centre and range given: all that is needed lies near them."""
    t = TUNING
    x0, y0, x1, y1 = box = window(
        image, guess.center, t.window_over_radius * guess.radius[1]
        + t.blur_reach * sigma + t.window_margin)
    if x1 - x0 < 8 or y1 - y0 < 8:
        return not_found()
    local = Guess((guess.center[0] - x0, guess.center[1] - y0), guess.radius,
                  True)
    return moved(_smeared_too(as_gray(image, box), local, threshold, rays,
                              sigma), x0, y0)


def _coarse_then_fine(gray, guess: Guess, threshold, rays, sigma) -> Pupil:
    """The coarse pass, repeated once from its fitted centre when that lies
    far from the guess (part of the edge was then out of range), then the
    fine pass from its ellipse."""
    t = TUNING
    rows, cols = gray.shape
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
    return _fine_pass(region, e, rays, threshold, guess.radius)


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


def _fine_pass(region: Region, ellipse: Ellipse, rays, threshold,
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
