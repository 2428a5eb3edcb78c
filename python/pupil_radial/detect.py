"""One eye image to one pupil, in named stages: where to look (locate),
then the coarse and the fine pass (passes), whose confidence says when
there is no pupil; and the pupil near the last frame's, for tracking."""

from __future__ import annotations

import numpy as np

from . import _checks
from .locate import Overview, as_gray, from_black, inverted, window
from .passes import Guess, fine_pass, smeared_too
from .pupil import DEFAULT_THRESHOLD, Pupil, moved, not_found
from .rays import Region
from .tuning import TUNING, radius_range


def detect(image, center=None, radius=None, *, threshold=DEFAULT_THRESHOLD,
           rays: int = 96, sigma: float = 1.0,
           bright_pupil: bool = False) -> Pupil:
    """Finds the pupil in an eye image.

    image: 2-D gray (uint8, uint16 or float; float images whose largest
        value is at most 1 are taken as 0..1, those holding values below
        0, standardised ones, as their own range, others as gray levels
        scaled down by their largest value above 65535), BGR or BGRA.
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

    The steps (an interlaced camera's misplaced odd rows are moved back
    onto the even ones' before any edge is measured; see
    pupil_radial.fields):
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
       the image's gradient noise (faint edges count for more on a round
       contour most rays agree on around a clearly dark inside: a small
       pupil a remote camera blurs), times a term of the fit's residual; an
       ellipse that is implausibly flat, not darker inside than around it
       (by 12 % of the surround's level in the median), crossed by a dark
       band (a brow, a frame), at the end of a dark line narrower than
       itself (a shut lid's lashes), off the image or outside the searched
       range scores 0.

    Raises TypeError or ValueError naming the argument for input that is not
    an image or options out of range; any valid image gives a Pupil.
    """
    image = from_black(_checks.image(image))
    if bright_pupil:
        image = inverted(image)
    return search_afresh(image, center, radius, threshold, rays, sigma)


def search_afresh(image, center, radius, threshold, rays, sigma,
                  whole=None) -> Pupil:
    """detect() on an image already checked (and inverted for a bright
    pupil); `whole`: its gray levels and Overview when already made."""
    threshold, rays, sigma = _checks.search_options(threshold, rays, sigma)
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
        return _hinted(image, center, radius, threshold, rays, sigma, whole)


def _hinted(image, center, radius, threshold, rays, sigma,
            whole=None) -> Pupil:
    """Hints stay hints: without a pupil where they say, the centre alone
    guides the search, then nothing does, so that a pupil of another size,
    or elsewhere, is still found."""
    best = None
    for hints in _loosened(center, radius):
        if hints[0] is not None and hints[1] is not None:
            pupil = _detect_in_window(image, Guess(*hints, True), threshold,
                                      rays, sigma)
        else:
            # The whole image's gray levels and overview, once for all.
            if whole is None:
                gray = as_gray(image)
                whole = gray, Overview(gray)
            pupil = _detect(*whole, *hints, threshold, rays, sigma)
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


def _detect(gray, overview, center, radius, threshold, rays, sigma) -> Pupil:
    # The candidate regions in the overview's order, the most confident
    # kept, so that a brow, hair or a glasses frame ranked first does not
    # hide the pupil; a clear pupil ends the search.
    best = not_found()
    for guess in _locate(overview, center, radius):
        pupil = smeared_too(gray, guess, threshold, rays, sigma)
        if pupil.confidence > best.confidence:
            best = pupil
        if best.confidence >= TUNING.clear_pupil:
            break
    return best


def detect_near(image, prior: Pupil, *, threshold=DEFAULT_THRESHOLD,
                rays: int = 96, sigma: float = 1.0,
                fields: bool = True) -> Pupil:
    """The pupil near `prior`, a found pupil of the previous frame: one fine
    pass close to its ellipse, on a window around it, so the cost follows
    the pupil's size. Not found when the pupil moved or changed more than a
    few pixels, or is gone; then detect() is the way to find it again.
    The image and options as for search_afresh(), already checked (track()
    checks each frame once, for both); `fields`: False where the frame is
    known to be progressive, which saves measuring its fields."""
    t = TUNING
    ellipse = prior.ellipse
    rows, cols = image.shape[:2]
    # Frames of a folder may differ in size: the last pupil may lie beyond
    # a smaller one.
    if not (0 <= ellipse.cx <= cols - 1 and 0 <= ellipse.cy <= rows - 1):
        return not_found()
    with np.errstate(all="ignore"):
        x0, y0, x1, y1 = box = window(
            image, ellipse.center, t.window_over_tracked * ellipse.major
            + t.blur_reach * sigma + t.window_margin)
        if x1 - x0 < 8 or y1 - y0 < 8:
            return not_found()
        local = ellipse.moved(-x0, -y0)
        region = Region(as_gray(image, box), local.center,
                        t.region_tracked[0] * ellipse.major
                        + t.region_tracked[1], sigma, fields)
        expected = radius_range(ellipse.minor / 2, ellipse.major / 2,
                                t.below_fit, t.above_tracked)
        pupil = fine_pass(region, local, rays, threshold, expected,
                          slack=t.tracked_slack)
    return moved(pupil, x0, y0)


def _locate(overview: Overview, center, radius):
    """The guesses from the overview for what the caller did not give: the
    given centre, or the few most pupil-like dark regions."""
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
    return moved(smeared_too(as_gray(image, box), local, threshold, rays,
                             sigma), x0, y0)
