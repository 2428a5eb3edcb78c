"""The pictures the command writes: a frame with its pupil drawn, and pupil
size and confidence over time."""

from __future__ import annotations

import io
from pathlib import Path

import cv2
import numpy as np

from ._files import write_file
from .locate import brought_down, from_black, level_scale
from .pupil import Pupil


def draw(image, pupil: Pupil):
    """A BGR copy of `image` with the pupil's ellipse and centre drawn, or a
    red cross in the corner where none was found; an image of another
    depth than 8 bits is shown on 8, scaled as detect() scales it (float
    levels beyond 255, raw counts, by their largest; levels below zero
    by their range)."""
    if image.dtype != np.uint8:
        image = from_black(image)
        image, scale = brought_down(image, level_scale(image))
        levels = image.astype(np.float32) * np.float32(scale)
        top = float(levels.max(initial=0.0))
        if top > 255:
            levels *= np.float32(255 / top)
        image = np.clip(np.rint(levels), 0, 255).astype(np.uint8)
    canvas = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR) if image.ndim == 2 \
        else image.copy()
    if pupil.found:
        cv2.ellipse(canvas, pupil.box, (40, 220, 40), 1, cv2.LINE_AA)
        center = tuple(int(round(v)) for v in pupil.center)
        cv2.drawMarker(canvas, center, (40, 40, 230), cv2.MARKER_CROSS, 9, 1)
    else:
        cv2.drawMarker(canvas, (8, 8), (40, 40, 230), cv2.MARKER_TILTED_CROSS,
                       10, 2)
    return canvas


def plot(times, found, major, confidence, path, time_label="time (s)",
         mm_per_px=None):
    """Pupil size (`major` axis, in mm with a scale) and `confidence` over
    `times` (or frames, with their label), per frame; frames not `found`
    (blinks, lost frames) shaded."""
    t = np.asarray(times, float)
    found = np.asarray(found, bool)
    major = np.asarray(major, float)
    confidence = np.asarray(confidence, float)
    fig = _figure((9, 4.5))
    size_ax, conf_ax = fig.subplots(2, 1, sharex=True,
                                    gridspec_kw={"height_ratios": [3, 1]})
    if mm_per_px is not None:
        major = major * mm_per_px
    size_ax.plot(t, major, lw=1.2, color="#1f5fa8")
    size_ax.set_ylabel("pupil major axis (px)" if mm_per_px is None else
                       "pupil major axis (mm)")
    conf_ax.plot(t, confidence, lw=1, color="#444444")
    conf_ax.set_ylim(0, 1.05)
    conf_ax.set_ylabel("confidence")
    conf_ax.set_xlabel(time_label)
    step = float(np.median(np.diff(t))) if t.size > 1 else 1.0
    for start, stop in _runs(~found):
        for ax in (size_ax, conf_ax):
            ax.axvspan(t[start] - step / 2, t[stop - 1] + step / 2,
                       color="#e8a33d", alpha=0.35, lw=0)
    size_ax.set_title("pupil size over time (shaded: no pupil found)",
                      fontsize=10)
    fig.tight_layout()
    _save(fig, path)


def _save(fig, path):
    """The figure in the format its name says, written by write_file()."""
    data = io.BytesIO()
    fig.savefig(data, dpi=110, format=Path(path).suffix[1:].lower())
    write_file(path, data.getvalue())


def _figure(size):
    """A figure of its own, outside pyplot: no backend chosen for the
    whole process (a notebook's would be switched off), nothing kept in
    pyplot's list when saving it fails. Matplotlib is imported here, when
    a plot is asked for."""
    from matplotlib.figure import Figure
    return Figure(figsize=size)


def _runs(mask):
    """(start, stop) of each run of True in `mask`."""
    edges = np.diff(np.concatenate(([0], mask.astype(np.int8), [0])))
    return zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1))


def plot_clean(times, raw, cleaned, path):
    """A pupil-size trace before and after cleaning, the stretches filled
    by interpolation marked."""
    fig = _figure((9, 3.5))
    ax = fig.subplots()
    ax.plot(times, raw, lw=0.8, color="#bbbbbb", label="tracked")
    ax.plot(times, cleaned.diameter, lw=1.3, color="#1f5fa8", label="clean")
    for start, stop in _runs(cleaned.interpolated):
        ax.axvspan(times[start], times[stop - 1], color="#e8a33d",
                   alpha=0.35, lw=0)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("pupil diameter (px)")
    ax.set_title("pupil size, cleaned (shaded: filled by interpolation)",
                 fontsize=10)
    ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    _save(fig, path)
