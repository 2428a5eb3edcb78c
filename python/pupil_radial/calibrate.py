"""The scale of an eye camera, in millimetres per pixel, from a printed
checkerboard held where the eye is: OpenCV finds its inner corners to a
fraction of a pixel, and the median spacing of neighbouring corners is one
square."""

from __future__ import annotations

import json
import math
from dataclasses import asdict, dataclass
from pathlib import Path

import cv2
import numpy as np

from . import _checks
from ._files import write_file
from .locate import as_gray, from_black

#: The printed squares' side in mm that chessboard_scale() takes.
SQUARE_MM_RANGE = (1e-6, 1e6)

#: mm per pixel: a pupil of a few pixels is at most 10 mm across, and a
#: mouse's constricted pupil (0.1 mm) at most a thousand pixels.
MM_PER_PX_RANGE = (1e-5, 5.0)


class NoBoardError(ValueError):
    """No checkerboard of the pattern asked for is in the image."""


@dataclass(frozen=True)
class Scale:
    """mm_per_px: the scale. spacing_px: the median spacing of neighbouring
    corners; spread: their 10th to 90th percentile range over that median
    (a tilted board spreads it). pattern: inner corners (columns, rows);
    square_mm: the printed square; image_size: (width, height)."""

    mm_per_px: float
    spacing_px: float
    spread: float
    pattern: tuple
    square_mm: float
    image_size: tuple

    def save(self, path) -> None:
        write_file(path, (json.dumps(asdict(self), indent=2) + "\n").encode())


def chessboard_scale(image, square_mm: float, pattern=(9, 6)) -> Scale:
    """The scale of `image` (as detect() takes one) from a checkerboard
    of `pattern` inner corners (columns, rows) whose squares are
    `square_mm` wide. Raises NoBoardError where there is none, and
    ValueError naming square_mm where the scale it gives is beyond any
    eye camera's (MM_PER_PX_RANGE): `track` would refuse it."""
    image = _checks.image(image)
    square_mm = _checks.number("square_mm", square_mm, *SQUARE_MM_RANGE)
    columns, rows = (_checks.count("pattern", v, minimum=3, maximum=100)
                     for v in pattern)
    if image.dtype == np.uint8:
        gray = image if image.ndim == 2 else cv2.cvtColor(image[..., :3],
                                                          cv2.COLOR_BGR2GRAY)
    else:
        # Any other depth read as detect() reads it, then stretched to the
        # 8 bits OpenCV's corner finder takes (it asserted on colour other
        # than 8, 16 or 32-bit float, and on float16 or uint32).
        gray = cv2.normalize(as_gray(from_black(image)), None, 0, 255,
                             cv2.NORM_MINMAX).astype(np.uint8)
    flags = cv2.CALIB_CB_ADAPTIVE_THRESH | cv2.CALIB_CB_NORMALIZE_IMAGE
    try:
        found, corners = cv2.findChessboardCorners(gray, (columns, rows),
                                                   flags=flags)
    except cv2.error:  # its thresholds assert on images under 15 px
        found = False
    if not found:
        raise NoBoardError(f"no checkerboard of {columns}x{rows} inner "
                           "corners found")
    # The refinement's window: a quarter of a square, within bounds.
    rough = np.median(_spacings(corners, columns, rows))
    half = int(min(max(round(rough / 4), 2), 15))
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 50, 1e-3)
    corners = cv2.cornerSubPix(gray, corners, (half, half), (-1, -1),
                               criteria)
    spacing = _spacings(corners, columns, rows)
    median = float(np.median(spacing))
    low, high = np.percentile(spacing, (10, 90))
    mm_per_px, (least, most) = square_mm / median, MM_PER_PX_RANGE
    if not least <= mm_per_px <= most:
        # Squares given in micrometres, or a board seen from afar.
        raise ValueError(
            f"square_mm {square_mm:g} over squares of {median:.1f} px is "
            f"{mm_per_px:.3g} mm per pixel, beyond an eye camera's "
            f"{least:g} to {most:g}: are the squares in mm?")
    return Scale(mm_per_px, median, float((high - low) / median),
                 (columns, rows), square_mm,
                 (int(gray.shape[1]), int(gray.shape[0])))


def _spacings(corners, columns, rows) -> np.ndarray:
    """Distances between corners next to each other along rows and
    columns of the grid (OpenCV lists the corners row by row)."""
    grid = corners.reshape(rows, columns, 2).astype(np.float64)
    along = np.hypot(*(grid[:, 1:] - grid[:, :-1]).reshape(-1, 2).T)
    across = np.hypot(*(grid[1:] - grid[:-1]).reshape(-1, 2).T)
    return np.concatenate((along, across))


# A scale file as `calibrate` writes it is a line; a hand-made one with
# notes stays far below this.
_SCALE_FILE_LIMIT = 1 << 20


def read_scale(value) -> float:
    """mm per pixel from a number, its text, or a JSON file holding
    {"mm_per_px": ...} as `calibrate` writes it."""
    try:
        scale = float(value)
    except (TypeError, ValueError):
        not_ours = ValueError(f"{value}: not a number nor a JSON file with "
                              "mm_per_px")
        try:
            # Read no further than such a file can be: a video or a device
            # named by mistake would otherwise be read whole.
            with open(Path(value), "rb") as f:
                data = f.read(_SCALE_FILE_LIMIT + 1)
        except OSError as error:
            raise ValueError(f"{value}: {error.strerror}") from None
        if len(data) > _SCALE_FILE_LIMIT:
            raise not_ours
        try:
            scale = json.loads(data.decode("utf-8-sig"))["mm_per_px"]
        except (ValueError, KeyError, TypeError):
            raise not_ours from None
    if isinstance(scale, bool) or not isinstance(scale, (int, float)) or \
            not (math.isfinite(scale) and scale > 0):
        raise ValueError(f"mm per pixel must be a positive number, got "
                         f"{scale!r}")
    low, high = MM_PER_PX_RANGE
    if not low <= scale <= high:
        # The classic slip is pixels per mm (20, say) given for mm per pixel.
        hint = f" (pixels per mm? then 1/{scale:g})" if scale > high else ""
        raise ValueError(f"mm per pixel must be {low:g} to {high:g}, got "
                         f"{scale:g}{hint}")
    return float(scale)
