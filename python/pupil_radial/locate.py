"""Where to look, before any ray is cast: the image as gray levels, a
reduced overview of it, the centre of its most pupil-like dark region and
an estimate of the pupil's radius there."""

from __future__ import annotations

import math
from typing import Optional

import cv2
import numpy as np

from ._numeric import median
from .tuning import TUNING


def as_gray(image, window=None) -> np.ndarray:
    """`image` (checked by _checks.image) as a float32 gray array on a
    0-255 scale; only the part `window` = (x0, y0, x1, y1) when given, so
    that the cost follows the window, not the image (but the scale of a
    float or 16-bit image is decided on all of it)."""
    part = image if window is None else \
        image[window[1]:window[3], window[0]:window[2]]
    part, scale = brought_down(part, level_scale(image))
    if part.ndim == 3:
        if part.dtype not in (np.uint8, np.uint16, np.float32):
            part = part.astype(np.float32)
        code = cv2.COLOR_BGR2GRAY if part.shape[2] == 3 else \
            cv2.COLOR_BGRA2GRAY
        part = cv2.cvtColor(np.ascontiguousarray(part), code)
    gray = part.astype(np.float32)
    if scale != 1:
        gray *= np.float32(scale)
    return gray


def level_scale(image) -> float:
    """The factor that brings `image`'s levels to a 0-255 scale: 16-bit
    images by their bit depth, float images whose largest value is at most
    1 by 255, those above any camera's counts (65535) by their largest
    value, others as they are."""
    if image.dtype == np.uint16:
        return 255 / _top(image)
    if image.dtype.kind == "f":
        top = _finite_top(image)
        if top <= 1.0:
            return 255.0
        if top > 65535.0:
            return 255 / top
    return 1.0


def brought_down(part, scale: float):
    """`part` and the factor still to apply: applied first, in their own
    type, where it shrinks levels that float32 may not hold (a float64
    image of values past 3.4e38)."""
    if scale < 1 and part.dtype.kind == "f" and part.dtype.itemsize > 4:
        return part * scale, 1.0
    return part, scale


def _finite_top(image) -> float:
    """A float image's largest value; ValueError where it holds NaN or an
    infinity. Its minimum and maximum carry either through, so the two
    reductions say as much as a test of every pixel, at half the cost (a
    tracked frame pays it whole)."""
    top = image.max()
    if not (np.isfinite(top) and np.isfinite(image.min())):
        raise ValueError("image holds NaN or infinite values")
    return float(top)


def from_black(image) -> np.ndarray:
    """`image` (checked), a float one holding levels below zero (standardised
    or differenced) moved to 0..1 by its own range: the pupil's contrast is
    weighed against the level of black, which such an image does not hold.
    Other images as they are."""
    if image.dtype.kind != "f":
        return image
    low = image.min()
    if not (np.isfinite(low) and low < 0):
        return image  # NaN and infinities are refused by level_scale()
    top = image.max()
    with np.errstate(over="ignore"):
        if not np.isfinite(top - low):
            # A range wider than the type holds: halved, it fits.
            image, low, top = image / 2, low / 2, top / 2
    span = top - low
    return (image - low) / span if span > 0 else np.zeros_like(image)


def inverted(image) -> np.ndarray:
    """`image` (checked) with dark and bright swapped within its own range,
    so that a bright pupil is found as a dark one."""
    if image.dtype == np.uint8:
        return 255 - image
    if image.dtype == np.uint16:
        return (_top(image) - image).astype(np.uint16)
    values = image.astype(np.float32) if image.dtype.kind != "f" else image
    top = _finite_top(values)
    return (1.0 if top <= 1.0 else max(255.0, top)) - values


def _top(image) -> int:
    """The largest value of a 16-bit image's bit depth, from the data: 12
    bits stored in 16 (0-4095) are a full-range image, not a dim one."""
    return (1 << max(8, int(image.max()).bit_length())) - 1


def window(image, center, half):
    """(x0, y0, x1, y1): the part of the image within `half` px of center,
    from an even row, so that its rows keep their field (see fields)."""
    rows, cols = image.shape[:2]
    half = int(math.ceil(half))
    x, y = int(round(center[0])), int(round(center[1]))
    y0 = min(max(y - half, 0), rows)
    return (min(max(x - half, 0), cols), y0 - y0 % 2,
            min(max(x + half + 1, 0), cols), min(max(y + half + 1, 0), rows))


class Overview:
    """A reduced copy of the image, at most TUNING.overview_side px on its
    longer side, with bright specks (corneal glints) opened away: where to
    look and how large the pupil is are decided on it."""

    def __init__(self, gray):
        rows, cols = gray.shape
        # Reduced by a whole factor: OpenCV averages whole blocks of pixels
        # many times faster than fractional ones. The last rows and columns
        # that make no whole block are left out.
        factor = max(1, -(-max(rows, cols) // TUNING.overview_side))
        self.scale = 1.0 / factor
        h, w = rows // factor, cols // factor
        if min(h, w) >= 8:
            gray = gray[:h * factor, :w * factor]
        small = cv2.resize(gray, (max(w, 8), max(h, 8)),
                           interpolation=cv2.INTER_AREA)
        opening = np.ones((TUNING.glint_opening, TUNING.glint_opening),
                          np.uint8)
        small = cv2.morphologyEx(small, cv2.MORPH_OPEN, opening)
        self.image = cv2.GaussianBlur(small, (0, 0), 1.0)

    def to_full(self, x, y):
        """Overview pixel (x, y) in the image: pixel centres line up."""
        return ((x + 0.5) / self.scale - 0.5, (y + 0.5) / self.scale - 0.5)

    def to_small(self, x, y):
        return ((x + 0.5) * self.scale - 0.5, (y + 0.5) * self.scale - 0.5)

    def dark_region(self):
        """Centre (x, y) of the most compact dark region of plausible pupil
        size, or None on a featureless image; see dark_regions()."""
        return next(self.dark_regions(1), None)

    def dark_regions(self, count: int):
        """Centres (x, y) of up to `count` compact dark regions of plausible
        pupil size, the most pupil-like first, each computed only when
        asked for: the largest dark-inside, bright-around contrasts of a
        centre-surround box filter over positions and sizes, apart from
        each other. Local contrast ignores vignetting and shadow; a thin
        line (lashes, mascara) fills too little of the inner box to win; a
        brow, hair or a glasses frame may, which is why there are several."""
        t = TUNING
        maps = self._contrast_maps()
        # The best box first (ties: the smaller), cheaply; the others only
        # when asked for.
        best = max((_peak(m, *np.unravel_index(int(np.argmax(m[1])),
                                               m[1].shape)) for m in maps),
                   key=lambda peak: peak[0])
        if best[0] < t.min_dark_score:
            return
        chosen = [best]
        yield self._centroid(*best[1:])
        others = sorted((_peak(m, y, x) for m in maps
                         for y, x in _maxima(m[1], m[0], 16 * count)),
                        key=lambda peak: -peak[0])
        # Per pixel, the level of the chosen region it lies in (inf: none).
        taken = np.where(self._region(best), best[4], np.inf)
        for peak in others:
            if peak[0] < t.min_dark_score or len(chosen) == count:
                return
            # The same region at another box size (a box near a chosen
            # one), or further along a wide dark area (a shadow, hair, a
            # bright sky once inverted), is no other one. A darker core
            # within a chosen area (a pupil in a dark iris or a shaded eye)
            # is, however near, unless its own region holds a chosen box.
            within = taken[peak[2], peak[1]]
            if peak[4] >= within or (within == np.inf and not all(
                    math.hypot(peak[1] - c[1], peak[2] - c[2])
                    > max(peak[3], c[3]) for c in chosen)):
                continue
            region = self._region(peak)
            if any(region[c[2], c[1]] for c in chosen):
                continue
            chosen.append(peak)
            taken = np.where(region, np.minimum(taken, peak[4]), taken)
            yield self._centroid(*peak[1:])

    def _region(self, peak) -> np.ndarray:
        """The overview's pixels connected to the peak's box centre that
        are darker than its level: the whole dark region it lies in."""
        _, x, y, _, level = peak
        dark = (self.image <= level).astype(np.uint8)
        if not dark[y, x]:
            return np.zeros(dark.shape, bool)
        _, labels = cv2.connectedComponents(dark)
        return labels == labels[y, x]

    def _contrast_maps(self):
        """Per box size: (inner size, score, inner mean, ring mean)."""
        t = TUNING
        small = self.image
        size = min(small.shape)
        smallest, largest = t.pupil_box_divisors
        maps = []
        sizes = np.geomspace(size / smallest, size / largest,
                             t.pupil_box_sizes)
        for inner in np.unique(sizes.astype(int)) | 1:
            outer = 2 * inner + 1
            mean_in = cv2.boxFilter(small, -1, (inner, inner),
                                    borderType=cv2.BORDER_REFLECT)
            mean_out = cv2.boxFilter(small, -1, (outer, outer),
                                     borderType=cv2.BORDER_REFLECT)
            ring = (mean_out * outer**2 - mean_in * inner**2) / (
                outer**2 - inner**2)
            # Contrast over the ring's level: a dark patch counts by how
            # much darker it is than its surroundings, not by its level.
            score = (ring - mean_in) / (ring + t.dark_level_offset)
            # A pupil lies wholly on the image, and so does its box: half a
            # box past the border is the border's mirror image, and a dark
            # margin beside a bright one scores there like a pupil.
            half, (rows, cols) = inner // 2, score.shape
            score[:half], score[rows - half:] = -np.inf, -np.inf
            score[:, :half], score[:, cols - half:] = -np.inf, -np.inf
            maps.append((inner, score, mean_in, ring))
        return maps

    def _centroid(self, x, y, inner, level):
        """The centroid of the largest region darker than a third of the
        way from the box's level to its ring's, near the box: a lid's shadow
        or a line beside the pupil is a region of its own."""
        small = self.image
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
        """The median, over the directions, of the distance from `center` at
        which the image first rises a third of the way from the centre's
        level to the brightest level in that direction: past the pupil's
        edge, below the iris when the brightest is sclera or skin. None
        where the centre is not darker than its surroundings."""
        t = TUNING
        small = self.image
        cx, cy = self.to_small(*center)
        reach = t.radius_reach * min(small.shape)
        n = t.radius_directions
        angles = np.arange(n) * (2 * np.pi / n)
        radii = np.arange(0.5, reach, 0.5, dtype=np.float32)
        xs = (cx + np.cos(angles)[:, None] * radii).astype(np.float32)
        ys = (cy + np.sin(angles)[:, None] * radii).astype(np.float32)
        profile = cv2.remap(small, xs, ys, cv2.INTER_LINEAR,
                            borderMode=cv2.BORDER_REPLICATE)
        level = median(profile[:, :2].ravel())
        k = int(t.bright_quantile * (profile.shape[1] - 1))
        rise = np.partition(profile, k, axis=1)[:, k] - level
        if median(rise) < t.min_rise:
            return None
        crossed = profile > (level + t.rise_share * rise)[:, None]
        hit = crossed.any(axis=1)
        if hit.mean() < t.min_rise_directions:
            return None
        first = crossed.argmax(axis=1)[hit]
        return median(radii[first]) / self.scale


def _peak(maps_entry, y, x):
    """(score, x, y, inner, level) of a box at (x, y): level a third of the
    way from the inside's mean to the ring's."""
    inner, score, mean_in, ring = maps_entry
    level = float(mean_in[y, x]) + TUNING.dark_level_share * float(
        ring[y, x] - mean_in[y, x])
    return float(score[y, x]), x, y, inner, level


def _maxima(score, apart, count):
    """(y, x) of up to `count` local maxima of `score`, the largest first,
    each more than `apart` px from a larger one. Local maxima, not merely
    the largest values: a wide dark area (a bright sky once inverted, a
    shadow) holds every one of the largest and would hide a small pupil. A
    plateau (a clipped, uniform area) is one maximum, at its first pixel."""
    size = 2 * int(apart) + 1
    peaks = score >= cv2.dilate(score, np.ones((size, size), np.uint8))
    _, labels = cv2.connectedComponents(peaks.astype(np.uint8))
    # Each maximum's first pixel, in raster order: among the few maximum
    # pixels, not the whole map.
    pixels = np.flatnonzero(peaks)
    _, where = np.unique(labels.ravel()[pixels], return_index=True)
    first = pixels[where]
    values = score.ravel()[first]
    order = first[np.lexsort((first, -values))]
    rows, cols = np.divmod(order, score.shape[1])
    chosen = []
    for y, x in zip(rows, cols):
        if all(abs(y - cy) > apart or abs(x - cx) > apart
               for cy, cx in chosen):
            chosen.append((y, x))
            if len(chosen) == count:
                break
    return chosen
