"""The command line's values: text to checked numbers, each refusal a
message argparse reports as a usage error."""

from __future__ import annotations

import argparse
import math

from ._checks import FPS_RANGE
from .calibrate import read_scale


def numbers(text, count):
    try:
        values = tuple(float(v) for v in text.split(","))
    except ValueError:
        values = ()
    if len(values) != count or not all(math.isfinite(v) for v in values):
        wanted = "a number" if count == 1 else \
            f"{count} numbers separated by commas"
        raise argparse.ArgumentTypeError(f"expected {wanted}, got {text!r}")
    return values


def jobs(text):
    (value,) = numbers(text, 1)
    if value != int(value) or not 1 <= value <= 256:
        raise argparse.ArgumentTypeError(
            f"expected a whole number from 1 to 256, got {text!r}")
    return int(value)


def pattern(text):
    try:
        columns, rows = (int(v) for v in text.lower().split("x"))
    except ValueError:
        columns = rows = 0
    if not (3 <= columns <= 100 and 3 <= rows <= 100):
        raise argparse.ArgumentTypeError(f"expected COLSxROWS such as 9x6, "
                                         f"got {text!r}")
    return columns, rows


def scale(text):
    try:
        return read_scale(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def positive(text):
    (value,) = numbers(text, 1)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a positive number, got "
                                         f"{text!r}")
    return value


def pair(text):
    return numbers(text, 2)


def radius_range(text):
    low, high = numbers(text, 2)
    if not 0 < low < high:
        raise argparse.ArgumentTypeError(
            f"expected MIN,MAX with 0 < MIN < MAX, got {text!r}")
    return low, high


def within(low, high):
    """A number from `low` to `high`."""
    def check(text):
        (value,) = numbers(text, 1)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(
                f"expected {low:g} to {high:g}, got {text!r}")
        return value
    return check


unit = within(0, 1)
frame_rate = within(*FPS_RANGE)
