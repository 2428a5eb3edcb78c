"""One recording's results as they are written: the CSV, a row per frame
as it goes, the overlay video, the plot, and the closing summary; and the
check, before any work, that each of them can be written."""

from __future__ import annotations

import csv
import os
import signal
import sys
import threading
import time
from array import array
from pathlib import Path
from typing import Optional

import cv2
import numpy as np

from . import _checks
from .figures import draw, plot
from .image_files import IMAGE_SUFFIXES
from .pupil import Pupil, measures
from .track import InputError, open_frames, track


class OutputError(Exception):
    """An output that cannot be written: one line and exit status 2."""

    @classmethod
    def of(cls, where, error: Exception) -> "OutputError":
        """`where` and what `error` says (an OSError's reason, without its
        number)."""
        return cls(f"{where}: {getattr(error, 'strerror', None) or error}")


COLUMNS = ("frame", "time_s", "found", "center_x", "center_y", "major_px",
           "minor_px", "angle_deg", "confidence", "status")
# After them, with a scale in millimetres per pixel.
MM_COLUMNS = ("major_mm", "minor_mm")
# The overlay's codec by container: Motion JPEG keeps every frame sharp;
# MPEG-4 Part 2 is what players and slides take without a plug-in. Both
# ship with OpenCV's FFmpeg backend, so neither needs anything installed.
_CODECS = {".avi": "MJPG", ".mp4": "mp4v"}
# The rates at which both keep every frame written, frames/s: OpenCV's
# writer fails to open below, and Motion JPEG in AVI drops frames above
# without a word. The overlay plays at the recording's rate within them.
_OVERLAY_RATES = (0.01, 1000.0)
# What each output may be written as.
_SUFFIXES = {"--csv": (".csv",), "--plot": (".png", ".pdf", ".svg", ".jpg"),
             "--overlay": tuple(_CODECS)}


def row(frame, pupil: Pupil, mm_per_px=None):
    """A frame's CSV row; with a scale, the axes in mm follow."""
    start = [frame.index, f"{frame.time_s:.6f}"]
    mm = [] if mm_per_px is None else ["", ""]
    if frame.image is None:
        return start + [0] + [""] * 6 + ["unreadable"] + mm
    if not pupil.found:
        return (start + [0] + [""] * 5
                + [f"{pupil.confidence:.4f}", "not_found"] + mm)
    (cx, cy), (major, minor) = pupil.center, pupil.axes
    if mm_per_px is not None:
        mm = [f"{major * mm_per_px:.5f}", f"{minor * mm_per_px:.5f}"]
    return start + [1, f"{cx:.4f}", f"{cy:.4f}", f"{major:.4f}",
                    f"{minor:.4f}", f"{pupil.angle:.3f}",
                    f"{pupil.confidence:.4f}", "found"] + mm


def check_output(path, option, suffixes=None, inputs=()):
    """Refuses, before any work, an output whose name or folder cannot be
    meant, or that would overwrite one of `inputs` (files or folders of
    frames): the recording itself, or an image in a folder of frames (and
    an image written into such a folder would be a frame of it next
    time)."""
    if path is None:
        return
    suffixes = suffixes or _SUFFIXES[option]
    target = Path(path)
    if target.suffix.lower() in _CODECS:  # a video, written by OpenCV
        try:
            _checks.opencv_name(target)
        except ValueError as error:
            raise OutputError(f"{option} {error}") from None
    if target.suffix.lower() not in suffixes:
        raise OutputError(f"{option} {path}: expected a name ending in "
                          f"{' or '.join(suffixes)}")
    folder = target.parent
    if not folder.is_dir():
        raise OutputError(f"{option} {path}: there is no folder {folder}")
    if not os.access(folder, os.W_OK) or (
            target.exists() and not os.access(target, os.W_OK)):
        raise OutputError(f"{option} {path}: not writable")
    for source in map(Path, inputs):
        if target.exists() and source.exists() and \
                os.path.samefile(target, source):
            raise OutputError(f"{option} {path}: that is the input, which "
                              "it would overwrite")
        if source.is_dir() and os.path.samefile(folder, source) and \
                target.suffix.lower() in IMAGE_SUFFIXES:
            raise OutputError(f"{option} {path}: an image in the folder of "
                              "frames read as input")


class Series:
    """Per frame, what a plot draws, in typed arrays: about 18 bytes a
    frame, 62 MB over 8 hours at 120 frames/s, where a Pupil per frame
    took 450."""

    def __init__(self):
        self.times, self.found = array("d"), array("b")
        self.major, self.confidence = array("f"), array("f")

    def add(self, time_s: float, pupil: Pupil):
        self.times.append(time_s)
        self.found.append(bool(pupil.found))
        self.major.append(pupil.axes[0])
        self.confidence.append(pupil.confidence)

    def __len__(self):
        return len(self.times)


class Summary:
    """What a tracking run did, for its closing line; with `plotting`, the
    Series a plot draws; with `keep`, each frame's measures as a Pupil
    (the demo's accuracy: some 450 bytes a frame)."""

    def __init__(self, plotting: bool = False, keep: bool = False):
        self.frames = self.found = self.unreadable = 0
        self.processing = 0.0
        self.decoding = 0.0
        self.series = Series() if plotting else None
        self.pupils = [] if keep else None

    def hint(self, bright_pupil: bool) -> Optional[str]:
        """A note for a run that found (almost) nothing: most often a pupil
        that shows bright, looked for as a dark one."""
        readable = self.frames - self.unreadable
        if bright_pupil or not readable or self.found >= 0.05 * readable:
            return None
        return ("a pupil in fewer than 5 % of the frames; if it shows "
                "bright (on-axis light, two-photon rigs), try --bright-pupil")

    def line(self):
        share = 100 * self.found / self.frames if self.frames else 0.0
        rate = self.frames / self.processing if self.processing else 0.0
        decode = 1e3 * self.decoding / self.frames if self.frames else 0.0
        return (f"frames: {self.frames} ({self.unreadable} unreadable), "
                f"pupil found in {share:.1f} %, processing {rate:.0f} "
                f"frames/s, decoding {decode:.2f} ms/frame")


def track_recording(source, csv_path=None, plot_path=None, overlay_path=None,
                    fps=None, mm_per_px=None, **options):
    """One recording read and tracked as run_tracking() does it, with what
    every caller must check: a radius range beyond its frames refused
    before any work, and a recording of which nothing could be read an
    InputError. Returns the Summary and a warning (a video that ended well
    before the frame count it announced) or None."""
    frames = open_frames(source, fps)
    radius = options.get("radius")
    if radius and frames.shape and radius[1] > max(frames.shape):
        rows, cols = frames.shape
        raise InputError(f"--radius: MAX {radius[1]:g} px is beyond the "
                         f"{cols}x{rows} frames")
    summary = run_tracking(frames, csv_path, plot_path, overlay_path,
                           mm_per_px, **options)
    if summary.unreadable == summary.frames:
        raise InputError(f"{source}: no frame could be read")
    # Containers estimate their frame counts, a little high at times.
    warning = None
    if frames.count and frames.read < frames.count - max(
            2, frames.count // 100):
        warning = (f"{source} announced {frames.count} frames; it ended "
                   f"after {frames.read}")
    return summary, warning


def run_tracking(frames, csv_path=None, plot_path=None, overlay_path=None,
                 mm_per_px=None, keep=False, **options) -> Summary:
    """Tracks `frames` (from open_frames()), writing a CSV row per frame as
    it goes, then the plot (also of an interrupted run's rows); returns the
    Summary, which keeps the plot's Series when plotting and each frame's
    measures with `keep`. With `mm_per_px`, the CSV has the axes in mm too
    and the plot shows mm; the pupils themselves are in pixels."""
    summary = Summary(bool(plot_path), keep)
    try:
        out = open(csv_path, "w", newline="") if csv_path else sys.stdout
    except OSError as error:
        raise OutputError.of(csv_path, error) from None
    overlay = _Overlay(overlay_path, frames.fps) if overlay_path else None
    try:
        _track_rows(frames, csv.writer(out, lineterminator="\n"), out,
                    overlay, summary, mm_per_px, options)
    except BrokenPipeError:  # the reader has had enough: no error
        raise
    except OSError as error:  # a disk that fills up
        where = csv_path or overlay_path or "standard output"
        raise OutputError.of(where, error) from None
    finally:
        summary.decoding = frames.decode_seconds
        _finish(out, csv_path, overlay, plot_path, summary,
                "frame" if frames.timed_in_frames else "time (s)", mm_per_px)
    return summary


def _finish(out, csv_path, overlay, plot_path, summary, time_label,
            mm_per_px):
    """The CSV closed, the overlay finished and the plot drawn (also of an
    interrupted run's rows), each whatever became of the others; then the
    first that failed raised as an OutputError."""
    errors = []
    if out is not sys.stdout:
        try:
            out.close()
        except OSError as error:  # what was still buffered: a full disk
            errors.append(OutputError.of(csv_path, error))
    if overlay:
        try:
            overlay.close()
        except OutputError as error:
            errors.append(error)
    if plot_path and summary.frames:
        s = summary.series
        try:
            plot(s.times, s.found, s.major, s.confidence, plot_path,
                 time_label, mm_per_px)
        except (OSError, ValueError) as error:
            errors.append(OutputError.of(plot_path, error))
    if errors:
        raise errors[0]


def _track_rows(frames, writer, out, overlay, summary, mm_per_px, options):
    current = [None]

    def images():
        for frame in frames:
            current[0] = frame
            yield frame.image

    progress = _progress(frames.count)
    held = _HeldStops()
    try:
        writer.writerow(COLUMNS + (() if mm_per_px is None else MM_COLUMNS))
        out.flush()
        results = track(images(), **options)
        while True:
            start = time.perf_counter()
            decoded = frames.decode_seconds
            pupil = next(results, None)
            if pupil is None:
                break
            frame = current[0]
            summary.processing += (time.perf_counter() - start
                                   - (frames.decode_seconds - decoded))
            summary.frames += 1
            summary.found += pupil.found
            summary.unreadable += frame.image is None
            if summary.series is not None:
                summary.series.add(frame.time_s, pupil)
            if summary.pupils is not None:
                summary.pupils.append(measures(pupil))
            held.writing = True
            writer.writerow(row(frame, pupil, mm_per_px))
            out.flush()  # an interrupted run keeps every row so far
            if overlay:
                overlay.write(frame.image, pupil)
            held.written()
            if progress:
                progress.update()
    finally:
        held.restore()
        if progress:
            progress.close()


class _HeldStops:
    """Ctrl-C and SIGTERM held while a frame's row and overlay frame are
    written, then met as they would have been: one that came between the
    two left the overlay a frame short of the CSV. Handlers are Python's
    to set in the main thread only, and only Python handlers are held."""

    def __init__(self):
        self.writing = False
        self.pending = None
        self.previous = {}
        if threading.current_thread() is not threading.main_thread():
            return
        for stop in (signal.SIGINT, signal.SIGTERM):
            handler = signal.getsignal(stop)
            if callable(handler):
                self.previous[stop] = handler
                signal.signal(stop, self._stop)

    def _stop(self, signum, frame):
        if self.writing:
            self.pending = (signum, frame)
        else:
            self.previous[signum](signum, frame)

    def written(self):
        self.writing = False
        if self.pending:
            (signum, frame), self.pending = self.pending, None
            self.previous[signum](signum, frame)

    def restore(self):
        for stop, handler in self.previous.items():
            signal.signal(stop, handler)


def _progress(total):
    # Python has no sys.stderr for a command started with `2>&-`.
    if sys.stderr is None or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="frame", file=sys.stderr, leave=False)


class _Overlay:
    """A video of the frames with each found pupil's ellipse and centre,
    one video frame per CSV row: a frame that could not be read is a black
    one, and a frame of another size than the first (a folder of mixed
    images) is scaled to it, since a video holds one size and OpenCV drops
    other frames without a word."""

    def __init__(self, path, fps):
        self.path, self.writer = str(path), None
        self.fps = min(max(fps or 30.0, _OVERLAY_RATES[0]), _OVERLAY_RATES[1])
        self.size, self.unwritten, self.written = None, 0, 0

    def write(self, image, pupil):
        if image is None:
            if self.writer is None:
                self.unwritten += 1  # its size is not known yet
            else:
                self._write(np.zeros((*self.size[::-1], 3), np.uint8))
            return
        drawn = draw(image, pupil)
        if self.writer is None:
            rows, cols = drawn.shape[:2]
            # FFmpeg's encoders take no frame one pixel wide or high.
            self.size = (max(cols, 2), max(rows, 2))
            codec = _CODECS[Path(self.path).suffix.lower()]
            # FFmpeg's writer, as the video is read back with: OpenCV's
            # others would be tried in turn, each with its own error lines.
            writer = cv2.VideoWriter(self.path, cv2.CAP_FFMPEG,
                                     cv2.VideoWriter_fourcc(*codec),
                                     self.fps, self.size)
            if not writer.isOpened():
                raise OutputError(f"{self.path}: cannot write a video there")
            self.writer = writer
            for _ in range(self.unwritten):
                self._write(np.zeros((*self.size[::-1], 3), np.uint8))
        if drawn.shape[1::-1] != self.size:
            drawn = cv2.resize(drawn, self.size, interpolation=cv2.INTER_AREA)
        self._write(drawn)

    def _write(self, image):
        self.writer.write(image)
        self.written += 1

    def close(self):
        """Finishes the video; raises OutputError unless it holds every
        frame written."""
        if self.writer is None:
            return
        self.writer.release()
        check_video(self.path, self.written)


def check_video(path, frames: int):
    """Raises OutputError unless the video file at `path`, just written,
    holds at least the `frames` frames written: OpenCV's writer reports no
    failed write, and a disk that fills up leaves a video cut short,
    without its index."""
    capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG)
    try:
        held = int(capture.get(cv2.CAP_PROP_FRAME_COUNT)) \
            if capture.isOpened() else 0
    finally:
        capture.release()
    if held < frames:
        raise OutputError(f"{path}: the video could not be written in full "
                          f"(disk full?): it holds {held} of {frames} "
                          "frames")
