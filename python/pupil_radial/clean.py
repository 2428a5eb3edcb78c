"""Pupil-size traces cleaned as pupillometry papers recommend: samples
from lost frames and blinks out, with margins around each gap (the frames
before and after a blink hold lid-cut ellipses), dilation-speed and
trend-line outliers rejected by median absolute deviation, and samples
isolated among rejected ones (Kret & Sjak-Shie, "Preprocessing pupil size
data", 2019), gaps up to a limit filled by linear interpolation, longer
ones left empty, and light smoothing (Mathôt et al., "Safe and sensible
preprocessing and baseline correction of pupil-size data", 2018; Mathôt &
Vilotijević, "Methods in cognitive pupillometry", 2022)."""

from __future__ import annotations

import csv
import math
import warnings
from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import _checks

#: The columns `clean` writes; `diameter_clean_mm` follows with a scale.
CLEAN_COLUMNS = ("frame", "time_s", "diameter_px", "diameter_clean_px",
                 "interpolated")


@dataclass(frozen=True)
class Cleaning:
    """The steps' parameters. Times in seconds."""

    max_gap: float = 0.5
    """Gaps (lost frames, blinks) up to this long are filled."""
    margin: float = 0.05
    """Samples this close to a gap are left out: a closing or opening lid
    cuts the ellipse there."""
    mads: float = 16.0
    """Kret & Sjak-Shie's multiplier n: a sample whose dilation speed, or
    whose distance from the trend line, exceeds the median by n median
    absolute deviations is an outlier."""
    trend: float = 0.25
    """The trend line: a running median over this long."""
    least_speed: float = 1.0
    """The speed threshold never below this many median diameters a
    second: a pupil changes by up to about its size in a second (the
    light reflex), and a precise tracker's deviations are tiny, which
    would make every real change an outlier."""
    least_deviation: float = 0.03
    """The trend threshold never below this share of the median diameter,
    for the same reason."""
    island: float = 0.05
    """Runs of samples shorter than this (first to last) ..."""
    separation: float = 0.04
    """... with more than this between them and the samples kept on either
    side are left out: a lone sample amid rejected ones (a lid cutting
    the ellipse for a few frames) is as suspect as they are, and a gap
    would be filled through it."""
    smooth: float = 0.05
    """Smoothing: a Hann window this long."""


@dataclass(frozen=True)
class Cleaned:
    """diameter: the cleaned trace (NaN where nothing can be said);
    interpolated: where it was filled across a gap; rejected: valid samples
    the outlier filters left out."""

    diameter: np.ndarray
    interpolated: np.ndarray
    rejected: np.ndarray


def clean(time_s, diameter, settings: Cleaning = Cleaning()) -> Cleaned:
    """The cleaned trace of `diameter` (NaN where no pupil was found) at
    times `time_s` (increasing), as arrays of one length."""
    t = np.asarray(_checks.real_array("time_s", time_s), np.float64)
    d = np.asarray(_checks.real_array("diameter", diameter), np.float64)
    if t.ndim != 1 or t.shape != d.shape:
        raise ValueError("time_s and diameter must be 1-D of one length")
    if not np.isfinite(t).all():
        raise ValueError("time_s must be finite")
    if t.size > 1 and not np.all(np.diff(t) > 0):
        raise ValueError("time_s must increase")
    if t.size == 0:
        return Cleaned(d.copy(), np.zeros(0, bool), np.zeros(0, bool))
    valid = np.isfinite(d) & (d > 0)
    size = float(np.median(d[valid])) if valid.any() else 1.0
    kept = valid & ~_near_gaps(t, valid, settings.margin)
    kept &= ~_outliers(_speed(t, np.where(kept, d, np.nan)), settings.mads,
                       settings.least_speed * size)
    for _ in range(2):  # the trend follows the samples that are left
        trend = _running_median(t, np.where(kept, d, np.nan), settings.trend)
        kept &= ~_outliers(np.abs(d - trend), settings.mads,
                           settings.least_deviation * size)
    kept &= ~_islands(t, kept, settings.island, settings.separation)
    filled, interpolated = _interpolate(t, np.where(kept, d, np.nan),
                                        settings.max_gap)
    return Cleaned(_smooth(t, filled, settings.smooth), interpolated,
                   valid & ~kept)


def _near_gaps(t, valid, margin) -> np.ndarray:
    """Valid samples within `margin` s of an invalid one."""
    if valid.all() or not valid.any():
        return np.zeros_like(valid)
    bad = t[~valid]
    # The nearest invalid sample's time on either side.
    at = np.searchsorted(bad, t)
    before = np.where(at > 0, t - bad[np.maximum(at - 1, 0)], np.inf)
    after = np.where(at < bad.size, bad[np.minimum(at, bad.size - 1)] - t,
                     np.inf)
    return valid & (np.minimum(before, after) <= margin)


def _islands(t, kept, width, separation) -> np.ndarray:
    """Kept samples in runs spanning less than `width` s, with more than
    `separation` s without a kept sample before and after (Kret &
    Sjak-Shie 2019). The trace's ends are no separation: a recording that
    starts or ends with a few samples keeps them."""
    index = np.flatnonzero(kept)
    out = np.zeros_like(kept)
    if index.size < 2:
        return out
    # A run starts after more than `separation` without a kept sample (one
    # frame's interval is no time without one). Times differ from whole
    # frame intervals by rounding (a CSV keeps microseconds): a
    # microsecond's slack keeps a gap of exactly `separation` on one side.
    wide = np.flatnonzero(np.diff(t[index]) - _interval(t)
                          > separation + 1e-6)
    starts = np.concatenate(([0], wide + 1))
    ends = np.concatenate((wide, [index.size - 1]))
    isolated = (t[index[ends]] - t[index[starts]] < width) & (
        starts > 0) & (ends < index.size - 1)
    run = np.repeat(np.arange(starts.size), ends - starts + 1)
    out[index[isolated[run]]] = True
    return out


def _speed(t, d) -> np.ndarray:
    """Each sample's dilation speed: the larger of its backward and
    forward rates of change (NaN beside a missing sample)."""
    rate = np.abs(np.diff(d) / np.diff(t))
    back = np.concatenate(([np.nan], rate))
    ahead = np.concatenate((rate, [np.nan]))
    with np.errstate(invalid="ignore"):
        return np.fmax(back, ahead)


def _outliers(values, mads, least) -> np.ndarray:
    """Where `values` exceed their median by `mads` median absolute
    deviations, and `least` (NaN values are not outliers)."""
    finite = values[np.isfinite(values)]
    if finite.size < 3:
        return np.zeros(values.shape, bool)
    middle = np.median(finite)
    threshold = max(middle + mads * np.median(np.abs(finite - middle)),
                    least)
    with np.errstate(invalid="ignore"):
        return values > threshold


def _interval(t) -> float:
    """The trace's median frame interval (1 s for a single sample)."""
    return float(np.median(np.diff(t))) if t.size > 1 else 1.0


def _window(t, seconds) -> int:
    """Samples in `seconds` at the trace's frame interval, odd."""
    return 2 * max(0, int(round(seconds / _interval(t) / 2))) + 1


def _running_median(t, d, seconds) -> np.ndarray:
    half = _window(t, seconds) // 2
    padded = np.concatenate((np.full(half, np.nan), d, np.full(half, np.nan)))
    windows = np.lib.stride_tricks.sliding_window_view(padded, 2 * half + 1)
    # A window with no sample in it is NaN; numpy warns about each.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return np.nanmedian(windows, axis=1)


def _interpolate(t, d, max_gap):
    """`d` with each gap between two samples filled linearly where the gap
    lasts at most `max_gap` s (from its first missing sample to the next
    sample); gaps at either end are not filled."""
    known = np.isfinite(d)
    filled = d.copy()
    interpolated = np.zeros(d.shape, bool)
    if known.sum() < 2:
        return filled, interpolated
    index = np.flatnonzero(known)
    starts = index[:-1][np.diff(index) > 1]  # the last sample before a gap
    ends = index[1:][np.diff(index) > 1]     # the first sample after it
    for a, b in zip(starts, ends):
        if t[b] - t[a + 1] <= max_gap:
            span = slice(a + 1, b)
            filled[span] = np.interp(t[span], (t[a], t[b]), (d[a], d[b]))
            interpolated[span] = True
    return filled, interpolated


def _smooth(t, d, seconds) -> np.ndarray:
    """A Hann-window average over the known samples; unknown stay unknown."""
    size = _window(t, seconds)
    if size < 3:
        return d
    window = np.hanning(size + 2)[1:-1]
    known = np.isfinite(d)
    # Centred on each sample, also where the trace is shorter than the
    # window (a recording of a few frames), which mode="same" is not.
    centred = slice(size // 2, size // 2 + d.size)
    total = np.convolve(np.where(known, d, 0.0), window)[centred]
    weight = np.convolve(known.astype(np.float64), window)[centred]
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(known, total / weight, np.nan)


def read_track_csv(path, fps: Optional[float] = None):
    """(frame, time_s, diameter_px, mm_per_px or None) of a `track` CSV:
    the major axis where the pupil was found, NaN elsewhere. With `fps`,
    time_s is frame / fps; without, a CSV timed in frames (images tracked
    without a rate) is refused, since every step counts in seconds."""
    not_ours = ValueError(f"{path}: not a CSV that `pupil-radial track` "
                          "wrote")
    try:
        # A spreadsheet that saved it again may have put a byte order mark
        # before the header.
        with open(path, newline="", encoding="utf-8-sig") as f:
            rows = list(csv.reader(f))
    except (UnicodeDecodeError, csv.Error):  # a binary file, say
        raise not_ours from None
    if not rows or not {"frame", "time_s", "found", "major_px"} <= set(
            rows[0]):
        raise not_ours
    column = {name: k for k, name in enumerate(rows[0])}
    body = [r for r in rows[1:] if r]
    try:
        frame = np.array([int(r[column["frame"]]) for r in body], np.int64)
        time_s = np.array([float(r[column["time_s"]]) for r in body])
        diameter = np.array([float(r[column["major_px"]])
                             if r[column["found"]] == "1" else math.nan
                             for r in body])
        scale = _scale(body, column)
    except (ValueError, IndexError):
        raise ValueError(f"{path}: a row that is not a `track` row") from None
    if fps is not None:
        time_s = frame / _checks.fps(fps)
    elif not np.isfinite(time_s).all():
        raise ValueError(f"{path}: a time_s that is not a finite number")
    elif frame.size > 1 and np.array_equal(time_s, frame):
        # Margins of 50 ms and gaps of 0.5 s would be fractions of a frame:
        # nothing would be cleaned, without a word.
        raise ValueError(f"{path}: time_s is the frame number (images "
                         "tracked without --fps); give their rate with "
                         "--fps RATE")
    return frame, time_s, diameter, scale


def _scale(body, column) -> Optional[float]:
    if "major_mm" not in column:
        return None
    for r in body:
        if r[column["found"]] == "1" and float(r[column["major_px"]]) > 0:
            return float(r[column["major_mm"]]) / float(r[column["major_px"]])
    return None


def clean_csv(source, settings: Cleaning = Cleaning(),
              fps: Optional[float] = None):
    """Reads a `track` CSV and cleans its trace; returns the times, the raw
    diameters, the Cleaned trace and the cleaned CSV's rows, its header
    first (written by the caller, whose errors are then its own). `fps`:
    as for read_track_csv()."""
    frame, time_s, diameter, scale = read_track_csv(source, fps)
    cleaned = clean(time_s, diameter, settings)
    table = [CLEAN_COLUMNS + (() if scale is None else
                              ("diameter_clean_mm",))]
    for k in range(frame.size):
        value = cleaned.diameter[k]
        row = [frame[k], f"{time_s[k]:.6f}", _number(diameter[k]),
               _number(value), int(cleaned.interpolated[k])]
        if scale is not None:
            row.append(_number(value * scale, 5))
        table.append(row)
    return time_s, diameter, cleaned, table


def _number(value, digits=4) -> str:
    return "" if not math.isfinite(value) else f"{value:.{digits}f}"
