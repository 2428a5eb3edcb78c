"""What the package reports: an ellipse, and the pupil in one image (an
ellipse with a confidence, or "not found")."""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace

import numpy as np

#: `found` is `confidence >= threshold`; see detect().
DEFAULT_THRESHOLD = 0.5


@dataclass(frozen=True)
class Ellipse:
    """Centre (x, y), full axis lengths (major >= minor) in px, and the
    angle of the major axis in degrees from +x toward +y, in [0, 180).

    The fitting code also keeps many ellipses in one: each field then an
    array of shape (k, 1)."""

    cx: float
    cy: float
    major: float
    minor: float
    angle: float

    @property
    def center(self) -> tuple:
        return (self.cx, self.cy)

    @property
    def box(self) -> tuple:
        """((cx, cy), (major, minor), angle), as cv2.ellipse takes it."""
        return ((self.cx, self.cy), (self.major, self.minor), self.angle)

    @classmethod
    def from_box(cls, box) -> "Ellipse":
        """From an OpenCV box ((cx, cy), (width, height), angle), whichever
        of its axes is the longer."""
        (cx, cy), (w, h), angle = box
        if w >= h:
            return cls(cx, cy, w, h, angle % 180.0)
        return cls(cx, cy, h, w, (angle + 90.0) % 180.0)

    def moved(self, dx: float, dy: float) -> "Ellipse":
        return Ellipse(self.cx + dx, self.cy + dy, self.major, self.minor,
                       self.angle)


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
    points: np.ndarray = field(repr=False)
    inliers: np.ndarray = field(repr=False)

    # By value, NaN matching NaN (a pupil not found has NaN measures), and
    # the edge points compared whole: the fields a dataclass would compare
    # hold arrays, whose == is no truth value.
    def __eq__(self, other):
        if not isinstance(other, Pupil):
            return NotImplemented
        return (np.array_equal(self._measures(), other._measures(),
                               equal_nan=True)
                and np.array_equal(self.points, other.points, equal_nan=True)
                and np.array_equal(self.inliers, other.inliers))

    def __hash__(self):
        # NaN hashes by identity; equal pupils must hash alike.
        return hash(tuple(None if math.isnan(v) else v
                          for v in self._measures()))

    def _measures(self) -> tuple:
        return (float(self.found), *map(float, self.center),
                *map(float, self.axes), float(self.angle),
                float(self.confidence))

    @property
    def box(self):
        """((cx, cy), (major, minor), angle) for cv2.ellipse."""
        return (self.center, self.axes, self.angle)

    @property
    def ellipse(self) -> Ellipse:
        return Ellipse(*self.center, *self.axes, self.angle)


_NAN2 = (math.nan, math.nan)
_EMPTY = np.zeros((0, 2), np.float32)
_NO_INLIERS = np.zeros(0, bool)


def not_found(confidence: float = 0.0, points=_EMPTY,
              inliers=None) -> Pupil:
    """The result for an image without a usable pupil."""
    if inliers is None:
        inliers = np.zeros(len(points), bool)
    return Pupil(False, _NAN2, _NAN2, math.nan, float(confidence), points,
                 inliers)


def found(ellipse: Ellipse, confidence: float, points, inliers) -> Pupil:
    return Pupil(True, ellipse.center, (ellipse.major, ellipse.minor),
                 ellipse.angle, confidence, points, inliers)


def measures(pupil: Pupil) -> Pupil:
    """The pupil without its edge points, most of its memory: what a long
    recording keeps of every frame."""
    return replace(pupil, points=_EMPTY, inliers=_NO_INLIERS)


def moved(pupil: Pupil, dx: float, dy: float) -> Pupil:
    """The pupil measured on a window, in the whole image's coordinates."""
    shift = np.array([dx, dy], np.float32)
    center = (pupil.center[0] + dx, pupil.center[1] + dy)
    return Pupil(pupil.found, center, pupil.axes, pupil.angle,
                 pupil.confidence, pupil.points + shift, pupil.inliers)
