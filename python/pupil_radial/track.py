"""Pupils through a sequence of frames: each frame measured near the
previous frame's pupil, found from scratch again after a loss; and the
frames of a video file, a folder of images or a TIFF stack, with their
times.

    import itertools, pupil_radial
    frames, images = itertools.tee(pupil_radial.open_frames("eye.mp4"))
    for frame, pupil in zip(frames, pupil_radial.track(images)):
        print(frame.time_s, pupil.found, pupil.center, pupil.axes)

track() takes any iterable of images (arrays, Frames, or None for a frame
that could not be read) and yields one Pupil per image, as it goes.
"""

from __future__ import annotations

import os
import re
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Iterator, Optional

import cv2
import numpy as np

from . import _checks
from .detect import detect_near, search_afresh
from .fields import misplaced
from .image_files import IMAGE_SUFFIXES, folder_image, page_count, pages
from .locate import Overview, as_gray, from_black, inverted
from .pupil import DEFAULT_THRESHOLD, Pupil, not_found
from .tuning import TUNING

# A video that fails this many reads in a row has ended, whatever it said
# its length was.
_MAX_FAILED_READS = 16


class InputError(ValueError):
    """A video or folder that cannot be read as frames."""


def track(frames: Iterable, *, center=None, radius=None,
          threshold: float = DEFAULT_THRESHOLD, rays: int = 96,
          sigma: float = 1.0, bright_pupil: bool = False) -> Iterator[Pupil]:
    """One Pupil per frame of `frames` (images as detect() takes them, or
    Frames from open_frames(); None for a frame that could not be read,
    which is reported not found).

    While a pupil is found, the next frame is measured near it (its centre
    and size as the prior, on a window around it, so the cost follows the
    pupil's size and not the frame's); when that fails, or after a frame
    without a pupil, the frame is searched from scratch, from `center` and
    within `radius` when given (hints, as for detect()), unless it differs
    by no more than noise from the last frame so searched without a pupil.
    A blink or a lost frame is reported as not found: no pupil is carried
    over from an earlier frame. `bright_pupil` as for detect().

    The options are checked when track() is called, not at the first
    frame that needs them: a mistake is told at once, also with frames
    that do not decode (a radius beyond the frames is told at the first
    that decodes; a later, smaller frame, as in a folder of mixed sizes,
    is searched without it).
    """
    if isinstance(frames, (str, bytes, os.PathLike)):
        raise TypeError(f"frames is a file name ({os.fsdecode(frames)!r}): "
                        "track(open_frames(name)) reads it")
    if not isinstance(frames, Iterable):
        raise TypeError(f"frames must be an iterable of images, not "
                        f"{type(frames).__name__}")
    threshold, rays, sigma = _checks.search_options(threshold, rays, sigma)
    if center is not None:
        center = _checks.pair("center", center)
    if radius is not None:
        radius = _checks.radius(radius)
    return _tracked(frames, center, radius,
                    dict(threshold=threshold, rays=rays, sigma=sigma),
                    bright_pupil)


def _tracked(frames, center, radius, options, bright_pupil):
    # A bright pupil's frame is inverted here, once, for the look near the
    # last pupil and the search afresh alike.
    prior: Optional[Pupil] = None
    quiet: Optional[_Quiet] = None
    first = True
    # Whether the last frame searched afresh had misplaced fields: the
    # frames followed from it come from the same camera.
    fields = True
    for image in frames:
        if isinstance(image, Frame):
            image = image.image
        if image is None:
            prior = quiet = None
            yield not_found()
            continue
        image = from_black(_checks.image(image))
        if bright_pupil:
            image = inverted(image)
        pupil = detect_near(image, prior, fields=fields, **options) \
            if prior else None
        if pupil is None or not pupil.found:
            fits = first or radius is None or radius[1] <= max(image.shape[:2])
            pupil, quiet, fields = _afresh(
                image, center, radius if fits else None, options, quiet)
        first = False
        prior = pupil if pupil.found else None
        yield pupil


@dataclass(frozen=True)
class _Quiet:
    """The overview of a frame searched afresh without a pupil, and the
    confidence that search gave."""

    overview: np.ndarray
    confidence: float


def _afresh(image, center, radius, options, quiet):
    """The search afresh after a loss, unless the frame differs from the
    last one searched without a pupil by no more than noise (a held blink,
    a run of dark frames: each would cost a whole search to find nothing
    again); the frame to compare the next one with; and whether the
    frame's fields are misplaced."""
    rows, cols = image.shape[:2]
    if rows < 8 or cols < 8:
        return search_afresh(image, center, radius, **options), None, True
    gray = as_gray(image)
    overview = Overview(gray)
    if quiet is not None and quiet.overview.shape == overview.image.shape \
            and np.abs(overview.image - quiet.overview).max() <= \
            TUNING.unchanged_level:
        # Compared with that frame, not the last: a slow change adds up.
        return not_found(quiet.confidence), quiet, True
    pupil = search_afresh(image, center, radius, whole=(gray, overview),
                          **options)
    if not pupil.found:  # no frame will be followed from this one
        return pupil, _Quiet(overview.image, pupil.confidence), True
    return pupil, None, misplaced(gray)


@dataclass(frozen=True)
class Frame:
    """One frame of a recording: its index from 0, its time in seconds, and
    its image (2-D gray: uint8, or as a folder's image file holds it:
    uint16 from 16-bit files such as 12-bit camera data, float32 from
    float TIFFs), or None where it could not be read."""

    index: int
    time_s: float
    image: Optional[np.ndarray]


class Frames:
    """The frames of a video file, a folder of images or an image file (a
    frame per page of a multi-page TIFF), read one at a time as they are
    iterated (iterate once). `fps` is the frame rate (`fps` given, else the
    video's own; None for images without one, whose times are then frame
    indices), `count` the frame count as far as known,
    `decode_seconds` the time spent reading and decoding so far, `shape`
    the first frame's (rows, cols) where it could be read, and `read` the
    frames iterated so far (a video may end before the count it
    announced)."""

    def __init__(self, path, fps: Optional[float] = None):
        if fps is not None:
            fps = _checks.fps(fps)
        self.path = Path(path)
        self.decode_seconds = 0.0
        self.read = 0
        self._iterated = False
        self.fps: Optional[float] = None
        if not self.path.exists():
            raise InputError(f"{self.path}: no such file or folder")
        if self.path.is_dir():
            # Hidden files are no frames: "._frame_1.png" is the metadata
            # macOS leaves beside frame_1.png on a shared drive.
            files = sorted((p for p in self.path.iterdir()
                            if p.suffix.lower() in IMAGE_SUFFIXES
                            and p.is_file() and not p.name.startswith(".")),
                           key=_in_number_order)
            if not files:
                raise InputError(f"{self.path}: no images in this folder")
            self.count = len(files)
            self._open_images(fps, map(folder_image, files))
        elif self.path.suffix.lower() in IMAGE_SUFFIXES:
            # One frame, or one per page of a multi-page TIFF (a
            # microscope's stack), which a video reader takes for one.
            try:
                self.count = page_count(self.path)
            except ValueError as error:  # a name OpenCV cannot take
                raise InputError(str(error)) from None
            self._open_images(fps, pages(self.path, self.count))
            if self._first is None and self.count <= 1:
                raise InputError(f"{self.path}: not an image OpenCV can "
                                 "read, or cut short")
        else:
            try:
                first = first_video_frame(self.path)
            except ValueError as error:  # a name OpenCV cannot take
                raise InputError(str(error)) from None
            if first is None:
                raise InputError(f"{self.path}: not a video OpenCV can read")
            self.shape = first.shape[:2]
            # Opened again so that the first frame is read like the rest.
            self._capture = cv2.VideoCapture(str(self.path), cv2.CAP_FFMPEG)
            own = self._capture.get(cv2.CAP_PROP_FPS)
            self.fps = fps if fps is not None else (
                own if own and np.isfinite(own) and own > 0 else None)
            self._stamps = fps is None
            count = int(self._capture.get(cv2.CAP_PROP_FRAME_COUNT))
            self.count = count if count > 0 else None

    def _open_images(self, fps, source):
        self._capture, self.fps, self._source = None, fps, source
        start = time.perf_counter()
        # Kept for the first frame: decoded once.
        self._first = next(source, None)
        self.decode_seconds += time.perf_counter() - start
        self.shape = None if self._first is None else self._first.shape[:2]

    @property
    def timed_in_frames(self) -> bool:
        """Times are frame indices: images without a rate."""
        return self.fps is None and self._capture is None

    def __iter__(self) -> Iterator[Frame]:
        # A second pass would give no frames, or frames without images.
        if self._iterated:
            raise RuntimeError(f"{self.path}: its frames can be read once; "
                               "open them again")
        self._iterated = True
        if self._capture is None:
            yield from self._images()
        else:
            yield from self._video()

    def _images(self):
        # An image that does not decode is a frame without an image: the
        # run goes on.
        for index in range(self.count):
            if index == 0:
                image, self._first = self._first, None
            else:
                start = time.perf_counter()
                image = next(self._source, None)
                self.decode_seconds += time.perf_counter() - start
            self.read = index + 1
            yield Frame(index, self._time(index), image)

    def _video(self):
        capture, index, failed = self._capture, 0, 0
        last = None  # (index, time) of the last frame given
        try:
            while True:
                start = time.perf_counter()
                ok, image = capture.read()
                self.decode_seconds += time.perf_counter() - start
                if not ok:
                    # Past the end, or a frame that does not decode: only a
                    # frame that decodes after it tells them apart (frame
                    # counts are estimates in some containers).
                    failed += 1
                    if failed >= _MAX_FAILED_READS or (
                            self.count is not None
                            and index + failed > self.count):
                        return
                    continue
                for lost in range(index, index + failed):
                    self.read = lost + 1
                    last = (lost, self._after(lost, last))
                    yield Frame(lost, last[1], None)
                index, failed = index + failed, 0
                if image.ndim == 3:
                    image = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
                stamp = capture.get(cv2.CAP_PROP_POS_MSEC) / 1000.0
                usable = self._stamps and (index == 0 or stamp > 0) and (
                    last is None or stamp > last[1])
                last = (index, stamp if usable else self._after(index, last))
                self.read = index + 1
                yield Frame(index, last[1], image)
                index += 1
        finally:
            capture.release()

    def _time(self, index):
        return index / self.fps if self.fps else float(index)

    def _after(self, index, last):
        """A video frame's time without a usable stamp of its own (none, or
        one not after the last): frame / fps, or where the stream's stamps
        ran ahead of that, a frame interval per frame after the last time
        given. Times only increase."""
        time_s = self._time(index)
        if last is not None and time_s <= last[1]:
            time_s = last[1] + (index - last[0]) * self._time(1)
        return time_s


def first_video_frame(path) -> Optional[np.ndarray]:
    """The first frame of a video file OpenCV's FFmpeg reader decodes, or
    None: whether a file is a video at all. ValueError for a name OpenCV
    cannot take."""
    name = _checks.opencv_name(path)
    # FFmpeg's own messages about a file it cannot read would only repeat
    # what the caller says; read once, when the backend loads.
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    capture = cv2.VideoCapture(name, cv2.CAP_FFMPEG)
    try:
        ok, image = capture.read() if capture.isOpened() else (False, None)
    finally:
        capture.release()
    return image if ok else None


def _in_number_order(path: Path):
    """The name with its runs of digits as numbers: frame_2.png before
    frame_10.png, as cameras number frames without leading zeros (and with
    them the order is the plain one)."""
    parts = re.split(r"(\d+)", path.name)
    return [(int(p), p) if k % 2 else (0, p) for k, p in enumerate(parts)]


def open_frames(path, fps: Optional[float] = None) -> Frames:
    """The frames of a video file OpenCV can read, of the images in a
    folder (in name order, numbers by their value: frame_2 before
    frame_10), or of an image file (a frame per page of a multi-page TIFF,
    a microscope's stack), timed at `fps` frames/s when given (images'
    times are otherwise frame indices). Raises InputError when there are
    none."""
    return Frames(path, fps)
