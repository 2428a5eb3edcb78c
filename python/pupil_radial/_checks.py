"""Every argument check of the package, once: each raises TypeError or
ValueError naming the argument, and returns the value in the form the
caller computes with."""

from __future__ import annotations

import math
import numbers
import os

import numpy as np

INT32_MAX = 2**31 - 1
#: More rays than this measure nothing more of a pupil and only cost time
#: and memory.
MAX_RAYS = 4096
#: Frame rates, frames/s: times are written to the microsecond, and a
#: faster rate would repeat them; a slower one would put them at infinity.
FPS_RANGE = (1e-3, 1e5)


def _is_real(value) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(
        value, (bool, np.bool_))


def count(name: str, value, minimum: int, maximum: int = INT32_MAX) -> int:
    """An integer in [minimum, maximum]."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(
            value, numbers.Integral):
        raise TypeError(
            f"{name} must be an integer, not {type(value).__name__}")
    value = int(value)
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if value > maximum:
        limit = "2**31 - 1" if maximum == INT32_MAX else str(maximum)
        raise ValueError(f"{name} must be at most {limit}, got {value}")
    return value


def number(name: str, value, low: float, high: float) -> float:
    """A real number (not a bool) in [low, high]."""
    if not _is_real(value):
        raise TypeError(f"{name} must be a number, not "
                        f"{type(value).__name__}")
    value = float(value)
    if not low <= value <= high:
        raise ValueError(f"{name} must be in [{low}, {high}], got {value}")
    return value


def pair(name: str, value, meaning: str = "") -> tuple:
    """Two finite real numbers (not bools), as floats; `meaning` (" (x, y)",
    say) is added to the message."""
    try:
        a, b = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of numbers{meaning}") from None
    if not (_is_real(a) and _is_real(b)):
        raise TypeError(
            f"{name} must be a pair of numbers{meaning}, got {value!r}")
    a, b = float(a), float(b)
    if not (math.isfinite(a) and math.isfinite(b)):
        raise ValueError(f"{name} must be finite, got ({a}, {b})")
    return (a, b)


def fps(value) -> float:
    """A frame rate within FPS_RANGE."""
    return number("fps", value, *FPS_RANGE)


def shape(value, largest: int = 16384) -> tuple:
    """An image size (rows, cols): two integers from 1 to `largest`."""
    try:
        rows, cols = value
    except (TypeError, ValueError):
        raise TypeError(
            f"shape must be (rows, cols), got {value!r}") from None
    return (count("shape rows", rows, 1, largest),
            count("shape cols", cols, 1, largest))


def real_array(name: str, value) -> np.ndarray:
    """`value` as an array of real numbers (integers or floats, not bools)."""
    try:
        array = np.asarray(value)
    except Exception as error:  # ragged lists and the like
        raise TypeError(
            f"{name} must be numeric array data: {error}") from None
    if array.dtype == np.bool_ or not (
            np.issubdtype(array.dtype, np.integer)
            or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(
            f"{name} must hold real numbers, not dtype {array.dtype}")
    return array


def image(value) -> np.ndarray:
    """An eye image: 2-D gray (or with one channel), or 3-D with 3 (BGR) or
    4 (BGRA) channels, not empty, of real numbers."""
    if value is None:
        raise TypeError("image is None, not an image (cv2.imread returns "
                        "None for a file it cannot read)")
    if isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"image is a file name ({os.fsdecode(value)!r}), "
                        "not an image: read it first (cv2.imread)")
    array = real_array("image", value)
    if array.ndim == 3 and array.shape[2] == 1:  # gray with a channel axis
        array = array[:, :, 0]
    if not (array.ndim == 2 or (array.ndim == 3
                                and array.shape[2] in (3, 4))):
        raise ValueError(f"image must be 2-D gray, BGR or BGRA, got shape "
                         f"{array.shape}")
    if array.size == 0:
        raise ValueError(f"image is empty (shape {array.shape})")
    return array


def opencv_name(path) -> str:
    """`path` as a file name for OpenCV. Names that are not UTF-8 (bytes a
    Linux file system allows; Python keeps them as surrogates) crash
    OpenCV's Python binding rather than fail: refused here, naming the
    file."""
    name = os.fspath(path)
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{name.encode('utf-8', 'replace').decode()}: "
                         "OpenCV cannot open a file whose name is not "
                         "UTF-8; rename it") from None
    return name


def search_options(threshold, rays, sigma) -> tuple:
    """detect()'s and track()'s options: (threshold, rays, sigma)."""
    return (number("threshold", threshold, 0.0, 1.0),
            count("rays", rays, minimum=16, maximum=MAX_RAYS),
            number("sigma", sigma, 0.0, 20.0))


def radius(value, rows: int | None = None,
           cols: int | None = None) -> tuple:
    """A pupil radius range (min, max) with 0 < min < max, no larger than
    the image it is looked for in (when its size is given)."""
    low, high = pair("radius", value)
    if not 0 < low < high:
        raise ValueError(
            f"radius must be (min, max) with 0 < min < max, got {(low, high)}")
    if rows is not None and high > max(rows, cols):
        raise ValueError(f"radius max {high:g} px is beyond the {cols}x{rows} "
                         "image")
    return (low, high)
