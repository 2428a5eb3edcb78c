"""One eye image to one pupil: a centre and radius estimate where none is
given, two radial searches (the second from the first fit's centre), a
robust ellipse fit and a confidence that says when there is no pupil."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from functools import lru_cache
from typing import Optional

import cv2
import numpy as np

from . import _core, edges

#: `found` is `confidence >= threshold`; see detect().
DEFAULT_THRESHOLD = 0.5


@dataclass(frozen=True)
class Pupil:
    """The pupil in one image.

    found: confidence >= the threshold detect() was given.
    center: (x, y) in pixels, x the column; NaN when not found.
    axes: (major, minor) full axis lengths in pixels (OpenCV's RotatedRect
        convention); NaN when not found.
    angle: degrees of the major axis from +x toward +y, in [0, 180).
    confidence: in [0, 1]; see detect().
    points: float32 (n, 2): the sub-pixel edge points of the final search.
    inliers: bool (n,): the points the ellipse was fitted to.
    """

    found: bool
    center: tuple
    axes: tuple
    angle: float
    confidence: float
    points: np.ndarray
    inliers: np.ndarray

    @property
    def box(self):
        """((cx, cy), (major, minor), angle) for cv2.ellipse."""
        return (self.center, self.axes, self.angle)


_NAN2 = (math.nan, math.nan)
_EMPTY = np.zeros((0, 2), np.float32)


def not_found(confidence: float = 0.0, points=_EMPTY,
              inliers=None) -> Pupil:
    """The result for an image without a usable pupil."""
    if inliers is None:
        inliers = np.zeros(len(points), bool)
    return Pupil(False, _NAN2, _NAN2, math.nan, float(confidence), points,
                 inliers)


def detect(image, center=None, radius=None, *, threshold=DEFAULT_THRESHOLD,
           rays: int = 96, sigma: float = 1.0) -> Pupil:
    """Finds the pupil in an eye image.

    image: 2-D gray (uint8, uint16 or float; float images whose largest
        value is at most 1 are taken as 0..1) or 3-channel BGR.
    center: optional (x, y) guess of the pupil centre; found from the image
        (the most compact dark region of plausible size) when omitted.
    radius: optional (min, max) pupil radius in pixels; estimated from the
        image around the centre when omitted.
    threshold: the confidence from which a pupil counts as found (default
        DEFAULT_THRESHOLD = 0.5).
    rays: rays of the final search (at least 16).
    sigma: Gaussian blur, in pixels, before the gradients.

    The confidence is the product of three measures: the share of rays whose
    sub-pixel edge lies on the fitted ellipse, the edges' median strength
    against the image's gradient noise, and the fit's residual; an ellipse
    that is implausibly flat, not darker inside than around it (by 12
    levels of 255 in the median), or outside the searched range scores 0.

    Raises TypeError or ValueError naming the argument for input that is not
    an image or options out of range; any valid image gives a Pupil.
    """
    image = check_image(image)
    threshold = _number("threshold", threshold, 0.0, 1.0)
    sigma = _number("sigma", sigma, 0.0, 20.0)
    rays = _core._check_count("rays", rays, minimum=16)
    if center is not None:
        center = _pair("center", center)
    if radius is not None:
        radius = _pair("radius", radius)
        if not 0 < radius[0] < radius[1]:
            raise ValueError(
                f"radius must be (min, max) with 0 < min < max, got {radius}")
    rows, cols = image.shape[:2]
    if rows < 8 or cols < 8:
        return not_found()
    # Degenerate guesses (too few points, a line) are normal on the way and
    # come out as NaN; warnings about them would say nothing.
    with np.errstate(all="ignore"):
        if center is not None and radius is not None:
            # All that is needed lies near the centre.
            x0, y0, x1, y1 = window = _window(
                image, center, 1.7 * radius[1] + 3 * sigma + 12)
            if x1 - x0 < 8 or y1 - y0 < 8:
                return not_found()
            gray = as_gray(image, window)
            local = (center[0] - x0, center[1] - y0)
            return _moved(_measure(gray, local, radius, True, threshold,
                                   rays, sigma), x0, y0)
        gray = as_gray(image)
        overview = _Overview(gray)
        if center is None:
            center = overview.dark_region()
            if center is None:
                return not_found()
        radius_given = radius is not None
        if radius is None:
            estimate = overview.radius(center)
            if estimate is None:
                return not_found()
            radius = (max(1.5, 0.35 * estimate), 1.7 * estimate + 3)
        return _measure(gray, center, radius, radius_given, threshold, rays,
                        sigma)


def detect_near(image, prior: Pupil, *, threshold=DEFAULT_THRESHOLD,
                rays: int = 96, sigma: float = 1.0) -> Pupil:
    """The pupil near `prior`, a found pupil of the previous frame: one
    search close to its ellipse, on a window around it, so the cost follows
    the pupil's size. Not found when the pupil moved or changed more than a
    few pixels, or is gone; then detect() is the way to find it again.
    Arguments are those of detect(), taken as already checked."""
    image = check_image(image)
    (cx, cy), (major, minor), angle = prior.box
    with np.errstate(all="ignore"):
        x0, y0, x1, y1 = window = _window(image, (cx, cy),
                                          0.75 * major + 3 * sigma + 12)
        if x1 - x0 < 8 or y1 - y0 < 8:
            return not_found()
        gray = as_gray(image, window)
        local = ((cx - x0, cy - y0), (major, minor), angle)
        region = _Region(gray, local[0], 0.6 * major + 4, sigma)
        pupil = _final(region, local, rays, threshold,
                       (0.3 * minor, 0.6 * major + 3), slack=3.0)
    return _moved(pupil, x0, y0)


def check_image(image) -> np.ndarray:
    """`image` as an array, checked: 2-D gray, or 3-D with 3 (BGR) or 4
    (BGRA) channels, not empty, of real numbers."""
    if not isinstance(image, np.ndarray):
        try:
            image = np.asarray(image)
        except Exception as error:
            raise TypeError(f"image must be array data: {error}") from None
    if image.dtype == np.bool_ or not (np.issubdtype(image.dtype, np.integer)
                                       or np.issubdtype(image.dtype,
                                                        np.floating)):
        raise TypeError(f"image must hold real numbers, not dtype "
                        f"{image.dtype}")
    if not (image.ndim == 2 or (image.ndim == 3
                                and image.shape[2] in (3, 4))):
        raise ValueError(f"image must be 2-D gray or 3-channel BGR, got shape "
                         f"{image.shape}")
    if image.size == 0:
        raise ValueError(f"image is empty (shape {image.shape})")
    return image


def as_gray(image, window=None) -> np.ndarray:
    """`image` (checked by check_image) as a float32 gray array on a 0-255
    scale; only the part `window` = (x0, y0, x1, y1) when given, so that
    the cost follows the window, not the image (but the scale of a float
    image is decided on all of it)."""
    part = image if window is None else \
        image[window[1]:window[3], window[0]:window[2]]
    if part.ndim == 3:
        if part.dtype not in (np.uint8, np.uint16, np.float32):
            part = part.astype(np.float32)
        code = cv2.COLOR_BGR2GRAY if part.shape[2] == 3 else \
            cv2.COLOR_BGRA2GRAY
        part = cv2.cvtColor(np.ascontiguousarray(part), code)
    if image.dtype == np.uint8:
        return part.astype(np.float32)
    if image.dtype == np.uint16:
        return part.astype(np.float32) * np.float32(255 / 65535)
    gray = part.astype(np.float32)
    if np.issubdtype(image.dtype, np.floating):
        if not np.isfinite(image).all():
            raise ValueError("image holds NaN or infinite values")
        if image.max() <= 1.0:
            gray *= np.float32(255)
    return gray


def _window(image, center, half):
    """(x0, y0, x1, y1): the part of the image within `half` px of center."""
    rows, cols = image.shape[:2]
    half = int(math.ceil(half))
    x, y = int(round(center[0])), int(round(center[1]))
    return (min(max(x - half, 0), cols), min(max(y - half, 0), rows),
            min(max(x + half + 1, 0), cols), min(max(y + half + 1, 0), rows))


def _moved(pupil: Pupil, dx: float, dy: float) -> Pupil:
    """The pupil measured on a window, in the whole image's coordinates."""
    shift = np.array([dx, dy], np.float32)
    center = (pupil.center[0] + dx, pupil.center[1] + dy)
    return Pupil(pupil.found, center, pupil.axes, pupil.angle,
                 pupil.confidence, pupil.points + shift, pupil.inliers)


class _Overview:
    """A reduced copy of the image, at most 128 px on its longer side, with
    bright specks (corneal glints) opened away: where to look and how large
    the pupil is are decided on it."""

    def __init__(self, gray):
        rows, cols = gray.shape
        # Reduced by a whole factor: OpenCV averages whole blocks of pixels
        # many times faster than fractional ones. The last rows and columns
        # that make no whole block are left out.
        factor = max(1, -(-max(rows, cols) // 128))
        self.scale = 1.0 / factor
        h, w = rows // factor, cols // factor
        if min(h, w) >= 8:
            gray = gray[:h * factor, :w * factor]
        small = cv2.resize(gray, (max(w, 8), max(h, 8)),
                           interpolation=cv2.INTER_AREA)
        small = cv2.morphologyEx(small, cv2.MORPH_OPEN,
                                 np.ones((5, 5), np.uint8))
        self.image = cv2.GaussianBlur(small, (0, 0), 1.0)

    def to_full(self, x, y):
        return ((x + 0.5) / self.scale - 0.5, (y + 0.5) / self.scale - 0.5)

    def to_small(self, x, y):
        return ((x + 0.5) * self.scale - 0.5, (y + 0.5) * self.scale - 0.5)

    def dark_region(self):
        """Centre (x, y) of the most compact dark region of plausible pupil
        size: the largest dark-inside, bright-around contrast over positions
        and sizes of a centre-surround box filter. Local contrast ignores
        vignetting and shadow; a thin line (lashes, mascara) fills too
        little of the inner box to win. None on a featureless image."""
        small = self.image
        size = min(small.shape)
        best, where = 0.0, None
        # Inner boxes from a 16th to a third of the image: the sizes a pupil
        # takes in an eye camera's frame.
        for inner in np.unique(np.geomspace(size / 16, size / 3,
                                            7).astype(int)) | 1:
            outer = 2 * inner + 1
            mean_in = cv2.boxFilter(small, -1, (inner, inner),
                                    borderType=cv2.BORDER_REFLECT)
            mean_out = cv2.boxFilter(small, -1, (outer, outer),
                                     borderType=cv2.BORDER_REFLECT)
            ring = (mean_out * outer**2 - mean_in * inner**2) / (
                outer**2 - inner**2)
            # Contrast over the ring's level: a dark patch counts by how
            # much darker it is than its surroundings, not by its level.
            score = (ring - mean_in) / (ring + 16.0)
            y, x = np.unravel_index(int(np.argmax(score)), score.shape)
            if score[y, x] > best:
                level = float(mean_in[y, x]) + 0.3 * float(ring[y, x]
                                                           - mean_in[y, x])
                best, where = float(score[y, x]), (x, y, inner, level)
        if where is None or best < 0.15:
            return None
        x, y, inner, level = where
        # Refine to the centroid of the largest region darker than a third
        # of the way from the box's level to its ring's, near the box: a
        # lid's shadow or a line beside the pupil is a region of its own.
        y0, y1 = max(y - inner, 0), min(y + inner + 1, small.shape[0])
        x0, x1 = max(x - inner, 0), min(x + inner + 1, small.shape[1])
        dark = (small[y0:y1, x0:x1] <= level).astype(np.uint8)
        # Cut the thin links a lash makes to a dark lid margin.
        dark = cv2.morphologyEx(dark, cv2.MORPH_OPEN, np.ones((3, 3),
                                                              np.uint8))
        count, _, stats, centroids = cv2.connectedComponentsWithStats(dark)
        if count > 1:
            k = 1 + int(np.argmax(stats[1:, cv2.CC_STAT_AREA]))
            x, y = x0 + centroids[k][0], y0 + centroids[k][1]
        return self.to_full(x, y)

    def radius(self, center) -> Optional[float]:
        """The median, over 32 directions, of the distance from `center` at
        which the image first rises a third of the way from the centre's
        level to the brightest level in that direction: past the pupil's
        edge, below the iris when the brightest is sclera or skin. None
        where the centre is not darker than its surroundings."""
        small = self.image
        cx, cy = self.to_small(*center)
        reach = 0.45 * min(small.shape)
        angles = np.arange(32) * (2 * np.pi / 32)
        radii = np.arange(0.5, reach, 0.5, dtype=np.float32)
        xs = (cx + np.cos(angles)[:, None] * radii).astype(np.float32)
        ys = (cy + np.sin(angles)[:, None] * radii).astype(np.float32)
        profile = cv2.remap(small, xs, ys, cv2.INTER_LINEAR,
                            borderMode=cv2.BORDER_REPLICATE)
        level = _median(profile[:, :2].ravel())
        k = int(0.9 * (profile.shape[1] - 1))
        rise = np.partition(profile, k, axis=1)[:, k] - level
        if _median(rise) < 6.0:
            return None
        crossed = profile > (level + 0.3 * rise)[:, None]
        hit = crossed.any(axis=1)
        if hit.mean() < 0.5:
            return None
        first = crossed.argmax(axis=1)[hit]
        return _median(radii[first]) / self.scale


@lru_cache(maxsize=8)
def gaussian_taps(sigma_samples: float) -> np.ndarray:
    """A normalised Gaussian kernel out to 3 sigma (cached, read-only)."""
    half = max(1, int(math.ceil(3 * sigma_samples)))
    t = np.arange(-half, half + 1, dtype=np.float64)
    k = np.exp(-0.5 * (t / sigma_samples) ** 2)
    k /= k.sum()
    k.flags.writeable = False
    return k


_MIN_CONTRAST = 12.0  # pupil against its surround, 0-255 scale
_ANGLES32 = np.arange(32) * (2 * np.pi / 32)
_COS32, _SIN32 = np.cos(_ANGLES32), np.sin(_ANGLES32)
# Three rings inside the pupil, one around it: radius = along * ring + offset
_RINGS = np.array([[0.25], [0.5], [0.75], [1.25]])
_RING_OFFSETS = np.array([[0.0], [0.0], [0.0], [2.0]])
_SPACING = 0.5  # px between samples along a ray of the first search
# From an ellipse this close, samples a fifth of a pixel apart.
_FINE_SPACING = 0.2


class _Region:
    """Blurred image and gradients of the part of the image the rays can
    reach, so that the cost follows the pupil's size, not the image's."""

    def __init__(self, gray, center, reach, sigma):
        rows, cols = gray.shape
        pad = int(math.ceil(reach + 3 * sigma + 4))
        cx, cy = int(round(center[0])), int(round(center[1]))
        self.x0, self.y0 = max(cx - pad, 0), max(cy - pad, 0)
        x1, y1 = min(cx + pad + 1, cols), min(cy + pad + 1, rows)
        crop = gray[self.y0:y1, self.x0:x1]
        smooth = cv2.GaussianBlur(crop, (0, 0), sigma) if sigma > 0 else crop
        self.smooth, self.sigma = smooth, sigma
        self.gx = cv2.Sobel(smooth, cv2.CV_32F, 1, 0, ksize=3, scale=0.125)
        self.gy = cv2.Sobel(smooth, cv2.CV_32F, 0, 1, ksize=3, scale=0.125)

    def search(self, center, rmin, rmax, rays, spacing, first_edge=True):
        """Edge points along `rays` rays (rmin, rmax per ray), on the sample
        grid (`spacing` px apart), and their strengths (the radial gradient
        at the nearest pixel), in ray order, rays without an edge left out.

        The library reports each ray's strongest edge; the pupil's is the
        first strong one out from its centre, and an eyelid or the iris rim
        beyond it can be stronger. With `first_edge`, each ray is searched
        again inside its edge, and an inner edge at least a quarter as
        strong replaces it."""
        f32 = np.float32
        local = (float(f32(center[0] - self.x0)),
                 float(f32(center[1] - self.y0)))
        r0 = np.full(rays, rmin, f32) if np.ndim(rmin) == 0 else \
            np.asarray(rmin, f32)
        r1 = np.full(rays, rmax, f32) if np.ndim(rmax) == 0 else \
            np.asarray(rmax, f32)
        # The same smoothing along the ray, 0.75 px, whatever the spacing.
        taps = gaussian_taps(0.75 / spacing)
        samples = max(int(math.ceil(float(np.max(r1 - r0)) / spacing)) + 1,
                      3)
        radius, _ = _core.search(self.gx, self.gy, local, r0, r1, samples,
                                 taps)
        _, cos, sin = edges.ray_table(rays)
        if first_edge:
            # Stop short of the edge's own flank (blur and the Sobel
            # operator spread an edge over a few pixels); a peak at the end
            # of the inner range is that flank, not an edge of its own.
            gap = 2.0 + 2.0 * self.sigma
            inner_max = np.where(radius > r0 + gap + 1, radius - gap,
                                 r0).astype(f32)
            inner, _ = _core.search(self.gx, self.gy, local, r0, inner_max,
                                    samples, taps)
            radius = np.concatenate((radius, inner))
            r0, r1 = np.concatenate((r0, r0)), np.concatenate((r1, inner_max))
            cos, sin = np.concatenate((cos, cos)), np.concatenate((sin, sin))
        found = radius != -1.0
        strength = np.full(radius.shape[0], np.nan)
        strength[found] = self._radial_gradient(local, radius[found],
                                                cos[found], sin[found])
        if first_edge:
            better = ((strength[rays:] >= 0.25 * strength[:rays])
                      & (radius[rays:] < inner_max - 0.5 * spacing))
            strength = np.where(better, strength[rays:], strength[:rays])
            radius = np.where(better, radius[rays:], radius[:rays])
        found = np.isfinite(strength)
        pts = edges.points((local[0] + self.x0, local[1] + self.y0), radius,
                           found)
        return pts, strength[found]

    def _radial_gradient(self, local, radius, cos, sin):
        rows, cols = self.gx.shape
        x = np.rint(local[0] + radius * cos).astype(np.int64)
        y = np.rint(local[1] + radius * sin).astype(np.int64)
        i = np.minimum(np.maximum(y, 0), rows - 1) * cols + np.minimum(
            np.maximum(x, 0), cols - 1)
        return self.gx.ravel().take(i) * cos + self.gy.ravel().take(i) * sin

    def noise(self):
        """Robust standard deviation of the gradient over the region: most
        of it is flat, so the median of |gx| is the noise's (its median is
        0)."""
        step = max(2, int(math.sqrt(self.gx.size / 1000)))
        return 1.4826 * _median(np.abs(self.gx[::step, ::step]).ravel())


def _measure(gray, center, radius, radius_given, threshold, rays,
             sigma) -> Pupil:
    rows, cols = gray.shape
    rmin, rmax = float(radius[0]), float(radius[1])
    for attempt in range(2):
        region = _Region(gray, center, rmax + 0.25 * rmax, sigma)
        pts, _ = region.search(center, rmin, rmax, 48, _SPACING)
        # Points on the sample grid: a wider band for the first guesses.
        first = robust_ellipse(pts, center, rmax, tolerance=0.75)
        if first is None:
            return not_found(0.0, pts)
        ellipse = first[0]
        (cx, cy), (major, minor), _ = ellipse
        if not (0 <= cx <= cols - 1 and 0 <= cy <= rows - 1 and minor > 1):
            return not_found(0.0, pts)
        # A guess far off centre leaves part of the edge out of range: once
        # more from the fitted centre, with a range from the fitted size
        # unless the caller set one.
        if math.hypot(cx - center[0], cy - center[1]) < 0.25 * minor / 2:
            break
        center = (cx, cy)
        if not radius_given:
            rmin, rmax = max(1.5, 0.3 * minor), 0.85 * major + 3

    return _final(region, ellipse, rays, threshold, (rmin, rmax))


def _final(region, ellipse, rays, threshold, radius_range, slack=1.5):
    """From the centre of `ellipse`, each ray searching within `slack` px
    and 10 % of it: so close that a lid or the iris rim beyond it is out of
    reach, on a grid a fifth of a pixel fine (as precise as refining
    between samples half a pixel apart, and less work). The points are
    refitted, checked and scored."""
    (cx, cy), (major, minor), _ = ellipse
    _, cos, sin = edges.ray_table(rays)
    expected = radius_from_centre(ellipse, cos.astype(np.float64), sin)
    width = slack + 0.1 * expected
    lo = np.maximum(expected - width, 0.5)
    hi = expected + width
    if not hi.max() <= 1.3 * radius_range[1] + 4:
        return not_found()
    pts, strength = region.search((cx, cy), lo, hi, rays, _FINE_SPACING,
                                  first_edge=False)
    # Refined from the first fit, unless too few points then lie on it (a
    # first fit drawn off by a lid's chord): then from every guess again.
    fit = refine_ellipse(pts, ellipse, max(1.0, 0.03 * minor))
    if fit is None or _on_edge(fit[0], fit[2]).sum() < 0.85 * rays:
        fit = robust_ellipse(pts, (cx, cy), float(hi.max()), start=ellipse)
    if fit is None:
        return not_found(0.0, pts)
    ellipse, keep, residual = fit
    confidence = _confidence(region, ellipse, pts, strength, keep, residual,
                             rays, radius_range)
    (cx, cy), axes, angle = ellipse
    if confidence < threshold:
        return not_found(confidence, pts, keep)
    return Pupil(True, (cx, cy), axes, angle, confidence, pts, keep)


def robust_ellipse(points: np.ndarray, origin, reach: float,
                   tolerance: float = 0.25, start=None):
    """((cx, cy), (major, minor), angle) fitted to the points that agree
    with it, the mask of those points and every point's residual; None with
    too few.

    `points` are the edges of rays cast from `origin` reaching `reach`
    px, in ray order. Lids and lashes hide a contiguous arc of the boundary
    and put a stronger edge there, and a centre guess far off puts half the
    rays' edges elsewhere; so the first guesses are fits to every point, to
    every point but one arc (a quarter or a third of the rays, or two
    opposite eighths), without a `start` ellipse to every half, and `start`
    itself. The guess that most points lie on wins, counting those within
    `tolerance` + 0.5 % of the points' size; a guess larger than the rays'
    reach or centred away from their origin cannot. refine_ellipse() then
    trims glints and the rest."""
    n = len(points)
    if n < 8:
        return None
    pts = points.astype(np.float64)
    # Scored with a tight band: a compromise through a lid's chord passes
    # near many points, but within a fraction of a pixel of few.
    size = 2 * _median(np.hypot(pts[:, 0] - origin[0], pts[:, 1] - origin[1]))
    tolerance = tolerance + 0.005 * size
    # Where nothing hides the boundary, the fit to every point has nearly
    # all of them on it and no other guess could do much better.
    whole = _fit(points)
    (cx, cy), (major, minor), _ = whole
    if (major <= 2.4 * reach and minor > 0
            and math.hypot(cx - origin[0], cy - origin[1]) <= 0.6 * reach
            and (np.abs(ellipse_residuals(whole, pts)) < tolerance).sum()
            >= 0.9 * n):
        return refine_ellipse(points, whole, 2 * tolerance)
    with np.errstate(all="ignore"):  # degenerate subsets come out NaN
        guesses, valid = _fit_many(pts, _guess_masks(n, start is None))
    if start is not None:
        (cx, cy), (major, minor), angle = start
        guesses = tuple(np.vstack((g, [[v]])) for g, v in
                        zip(guesses, (cx, cy, major, minor, angle)))
        valid = np.append(valid, True)
    cx, cy, major = guesses[0][:, 0], guesses[1][:, 0], guesses[2][:, 0]
    valid &= (major <= 2.4 * reach) & (
        np.hypot(cx - origin[0], cy - origin[1]) <= 0.6 * reach)
    residual = np.abs(ellipse_residuals(guesses, pts))
    score = (residual < tolerance).sum(axis=1) - np.minimum(
        residual, tolerance).mean(axis=1)
    score[~valid] = -np.inf
    pick = int(np.argmax(score))
    if not valid[pick]:
        return None
    cx, cy, major, minor, angle = (float(g[pick, 0]) for g in guesses)
    return refine_ellipse(points, ((cx, cy), (major, minor), angle),
                          2 * tolerance)


def _fit_many(points: np.ndarray, masks: np.ndarray):
    """Least-squares conics A x^2 + B xy + C y^2 + D x + E y = 1 through the
    points each mask selects, all at once, as ellipse parameters (cx, cy,
    major, minor, angle) of shape (k, 1) each, and which are ellipses.
    Call it under np.errstate(all="ignore")."""
    pts = points.astype(np.float64)
    mean = pts.mean(axis=0)
    scale = float(pts.std()) or 1.0
    x, y = ((pts - mean) / scale).T
    design = np.stack((x * x, x * y, y * y, x, y), axis=1)
    # Each mask's normal equations as one product with the points' outer
    # products.
    outer = (design[:, :, None] * design[:, None, :]).reshape(len(pts), 25)
    normal = (masks @ outer).reshape(-1, 5, 5)
    rhs = masks @ design
    # A whisker of ridge keeps degenerate subsets (too few or collinear
    # points) solvable; they come out as non-ellipses.
    normal += 1e-12 * np.eye(5)
    a, b, c, d, e = np.linalg.solve(normal, rhs[:, :, None])[..., 0].T
    det = 4 * a * c - b * b
    x0 = (b * e - 2 * c * d) / det
    y0 = (b * d - 2 * a * e) / det
    f0 = 0.5 * (d * x0 + e * y0) - 1  # the conic's value at its centre
    middle, root = (a + c) / 2, np.hypot((a - c) / 2, b / 2)
    params = np.array((x0 * scale + mean[0], y0 * scale + mean[1],
                       2 * scale * np.sqrt(f0 / (root - middle)),
                       2 * scale * np.sqrt(-f0 / (middle + root)),
                       (np.degrees(0.5 * np.arctan2(b, a - c)) + 90.0) % 180))
    valid = (det > 0) & np.isfinite(params[2]) & np.isfinite(params[3])
    params[:, ~valid] = np.nan
    return tuple(params[:, :, None]), valid


@lru_cache(maxsize=16)
def _guess_masks(n: int, halves: bool) -> np.ndarray:
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


def refine_ellipse(points: np.ndarray, start, tolerance: float):
    """The ellipse refitted to the points within `tolerance` px of `start`,
    then to those within three robust standard deviations of its own
    residuals, so glints' rims, lashes and a lid's chord fall out (three
    rounds at most). Returns (ellipse, mask of the points it was fitted to,
    every point's residual) or None with fewer than 6."""
    pts = points.astype(np.float64)
    keep = np.abs(ellipse_residuals(start, pts)) < tolerance
    for _ in range(3):
        if keep.sum() < 6:
            return None
        ellipse = _fit(points[keep])
        residual = ellipse_residuals(ellipse, pts)
        inside = residual[keep]
        # The median absolute deviation as the noise's scale (1.4826 of it
        # is the standard deviation of normal noise).
        spread = 1.4826 * _median(np.abs(inside - _median(inside)))
        # Noise spreads edges by a fraction of a pixel; a lid's chord or a
        # glint's rim lies further off than that.
        cut = min(max(3.0 * spread, 0.5), max(1.0, 0.025 * ellipse[1][1]))
        new_keep = np.abs(residual) < cut
        if np.array_equal(new_keep, keep):
            return ellipse, keep, residual
        keep = new_keep
    if keep.sum() < 6:
        return None
    ellipse = _fit(points[keep])
    return ellipse, keep, ellipse_residuals(ellipse, pts)


def _fit(points):
    (cx, cy), (w, h), angle = cv2.fitEllipse(points)
    if w >= h:
        return (cx, cy), (w, h), angle % 180.0
    return (cx, cy), (h, w), (angle + 90.0) % 180.0


def ellipse_residuals(ellipse, pts: np.ndarray) -> np.ndarray:
    """Signed distance of each point from the ellipse along the line from
    its centre (positive outside), in pixels. `ellipse` is a box
    ((cx, cy), (major, minor), angle), or the (cx, cy, major, minor, angle)
    arrays of shape (k, 1) of several, as _fit_many gives them."""
    if len(ellipse) == 3:
        (cx, cy), (major, minor), angle = ellipse
        t = math.radians(angle)
        turn = complex(math.cos(t), -math.sin(t))
    else:
        cx, cy, major, minor, angle = ellipse
        t = np.radians(angle)
        turn = np.cos(t) - np.sin(t) * 1j
    # The points as complex numbers, turned into the ellipse's frame.
    z = (pts[:, 0] - cx) + (pts[:, 1] - cy) * 1j
    w = z * turn
    rho = np.sqrt((w.real * (2 / np.maximum(major, 1e-9))) ** 2
                  + (w.imag * (2 / np.maximum(minor, 1e-9))) ** 2)
    d = np.abs(z)
    return d - d / np.maximum(rho, 1e-12)


def radius_from_centre(ellipse, cos, sin):
    """Distance from the ellipse's centre to the ellipse along directions
    (cos, sin), arrays."""
    (_, _), (major, minor), angle = ellipse
    t = math.radians(angle)
    ct, st = math.cos(t), math.sin(t)
    along = (cos * ct + sin * st) * (2 / major)
    across = (sin * ct - cos * st) * (2 / minor)
    return 1 / np.sqrt(along * along + across * across)


def _confidence(region, ellipse, pts, strength, keep, residual, rays,
                radius_range):
    (cx, cy), (major, minor), _ = ellipse
    if not (minor >= 0.4 * major and minor >= 4
            and radius_range[0] * 0.8 <= minor / 2
            and major / 2 <= radius_range[1] * 1.2):
        return 0.0
    on_edge = _on_edge(ellipse, residual)
    support = on_edge.sum() / rays
    noise = region.noise()
    contrast = _median(strength[on_edge]) if on_edge.any() else 0.0
    snr = contrast / max(noise, 1e-3)
    # The fit's own points: a lid's chord near the ellipse is no misfit.
    rms = float(np.sqrt(np.mean(residual[keep] ** 2)))
    # The inside must be dark throughout, not just a ring of edges (lashes
    # crossing on a shut lid): three in four samples inside darker than
    # three in four around, glints allowed for.
    along = radius_from_centre(ellipse, _COS32, _SIN32)
    values = _sample(region, cx, cy, along * _RINGS + _RING_OFFSETS)
    inner = np.partition(values[:3].ravel(), (48, 60, 72))  # of 96
    outer = np.partition(values[3], (8, 16))  # of 32
    if inner[72] >= outer[8]:
        return 0.0
    # ... by more than the texture of skin between lashes, in levels of the
    # 0-255 scale (medians), and evenly: five in eight samples inside no
    # more than a quarter of the way from the inside's median to the
    # outside's (skin between crossing lashes is half dark, half bright;
    # glints may cover a third of a pupil).
    contrast = outer[16] - inner[48]
    if contrast < _MIN_CONTRAST or inner[60] > inner[48] + 0.25 * contrast:
        return 0.0
    strength_term = min(1.0, max(0.0, (snr - 2.0) / 6.0))
    fit_term = 1.0 / (1.0 + (rms / 0.5) ** 2)
    # Most of the boundary on the ellipse: at 85 % and more of the rays, 1;
    # at 45 % and less (more than half of it hidden or wrong), 0.
    support_term = min(1.0, max(0.0, (support - 0.45) / 0.4))
    return float(support_term * strength_term * fit_term)


def _on_edge(ellipse, residual):
    """The points whose residual is within half a pixel and 1 % of the
    minor axis of the ellipse."""
    return np.abs(residual) < 0.5 + 0.01 * ellipse[1][1]


def _sample(region, cx, cy, radii):
    """The smoothed image at `radii` (rows of 32) along _ANGLES32."""
    xs = cx - region.x0 + _COS32 * radii
    ys = cy - region.y0 + _SIN32 * radii
    h, w = region.smooth.shape
    xi = np.minimum(np.maximum(np.rint(xs).astype(np.int64), 0), w - 1)
    yi = np.minimum(np.maximum(np.rint(ys).astype(np.int64), 0), h - 1)
    return region.smooth.ravel().take(yi * w + xi)


def _median(values: np.ndarray) -> float:
    """np.median without its overhead, for the small 1-D arrays used here
    (partitioned in a copy)."""
    n = values.shape[0]
    half = n // 2
    part = values.copy()
    if n % 2:
        part.partition(half)
        return float(part[half])
    part.partition((half - 1, half))
    return 0.5 * float(part[half - 1] + part[half])


def _number(name, value, low, high) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value,
                                                             numbers.Real):
        raise TypeError(f"{name} must be a number, not "
                        f"{type(value).__name__}")
    value = float(value)
    if not low <= value <= high:
        raise ValueError(f"{name} must be in [{low}, {high}], got {value}")
    return value


def _pair(name, value) -> tuple:
    try:
        a, b = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of numbers") from None
    if not all(isinstance(v, numbers.Real) and not isinstance(v, (bool,
                                                                  np.bool_))
               for v in (a, b)):
        raise TypeError(f"{name} must be a pair of numbers, got {value!r}")
    a, b = float(a), float(b)
    if not (math.isfinite(a) and math.isfinite(b)):
        raise ValueError(f"{name} must be finite, got ({a}, {b})")
    return (a, b)
