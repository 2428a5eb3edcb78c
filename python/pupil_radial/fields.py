"""Interlaced frames: an analogue camera's two fields, whose odd rows may
not sit halfway between the even ones (a misplaced field, or an eye that
moved between the two exposures). The odd rows' offset is measured and,
where it is a sizeable share of a row, taken out, so that the edges of one
pupil are measured, not of two half a row apart blurred into one."""

from __future__ import annotations

import math

import cv2
import numpy as np

from .tuning import TUNING


def odd_row_offset(gray: np.ndarray, first_row: int = 0) -> float:
    """How far below halfway between the even rows around them the odd rows
    of `gray` show the scene, in rows (0 where it cannot be told).
    `first_row`: the frame row of gray's first row, whose parity says which
    rows are the frame's even ones.

    One least-squares step of optical flow in y, between each odd row and
    the mean of the even rows above and below it: progressive images give
    a few hundredths of a row (a few tenths on small crops of lashes), and
    a misplaced field what it is within a tenth of a row up to about a
    row."""
    # Averaged along rows, four pixels in one, noise no longer dilutes the
    # rows' differences (it would shrink the slope), and a shift in y is
    # not blurred by it.
    cols = gray.shape[1]
    smooth = gray if cols < 8 else cv2.resize(
        gray, (cols // 4, gray.shape[0]), interpolation=cv2.INTER_AREA)
    even = smooth[first_row % 2::2]
    odd = smooth[1 - first_row % 2::2]
    if first_row % 2:  # the first odd row has no even row above it
        odd = odd[1:]
    n = min(len(odd), len(even) - 1)
    if n < 4:
        return 0.0
    step = even[1:n + 1] - even[:n]
    residual = odd[:n] - even[:n]
    residual -= step * np.float32(0.5)
    step, residual = step.ravel(), residual.ravel()
    with np.errstate(over="ignore", invalid="ignore"):
        energy = float(np.dot(step, step))
        shared = float(np.dot(step, residual))
        missed = float(np.dot(residual, residual))
    # Noise and texture alone also give a slope: a shift explains a share
    # of how the odd rows differ from halfway; they do not.
    if not (np.isfinite(energy * missed) and energy > 0 and shared * shared
            >= TUNING.field_shift_share * energy * missed):
        return 0.0
    return float(np.clip(2.0 * shared / energy, -1.0, 1.0))


def misplaced(gray: np.ndarray, first_row: int = 0) -> bool:
    """Whether on_even_rows() would move `gray`'s odd rows."""
    return abs(odd_row_offset(gray, first_row)) >= TUNING.least_field_offset


def on_even_rows(gray: np.ndarray, first_row: int = 0) -> np.ndarray:
    """`gray` (float32) with its odd rows moved onto the places the even
    rows give them, where they are misplaced by a quarter of a row or more;
    `gray` itself otherwise (a progressive camera's images, untouched).
    The even rows are kept: which field is right cannot be told from the
    image, and the first field of a frame is its reference."""
    offset = odd_row_offset(gray, first_row)
    if abs(offset) < TUNING.least_field_offset:
        return gray
    start = 1 - first_row % 2
    odd = gray[start::2]
    # Odd row k shows the scene at k + offset / 2 rows of its field: the
    # scene at k is read between rows by cubic convolution (OpenCV's
    # a = -0.75), the ends held.
    at = -offset / 2
    base = math.floor(at)
    t = at - base
    weights = ((-0.75 * (t + 1) + 3.75) * (t + 1) - 6) * (t + 1) + 3, \
        (1.25 * t - 2.25) * t * t + 1, \
        (1.25 * (1 - t) - 2.25) * (1 - t) * (1 - t) + 1, \
        ((-0.75 * (2 - t) + 3.75) * (2 - t) - 6) * (2 - t) + 3
    rows = np.arange(len(odd)) + base
    out = gray.copy()
    moved = np.zeros_like(odd)
    for tap, weight in zip(range(-1, 3), weights):
        moved += odd[np.clip(rows + tap, 0, len(odd) - 1)] * np.float32(weight)
    out[start::2] = moved
    return out
