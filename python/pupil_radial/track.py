"""Pupils through a sequence of frames: each frame measured near the
previous frame's pupil, found from scratch again after a loss; and the
frames of a video file or a folder of images, with their times.

    import itertools, pupil_radial
    frames, images = itertools.tee(pupil_radial.open_frames("eye.mp4"))
    for frame, pupil in zip(frames, pupil_radial.track(images)):
        print(frame.time_s, pupil.found, pupil.center, pupil.axes)

track() takes any iterable of images (arrays, Frames, or None for a frame
that could not be read) and yields one Pupil per image, as it goes.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Iterator, Optional

import cv2
import numpy as np

from . import _checks
from .detect import detect_near, search_afresh
from .locate import Overview, as_gray, inverted
from .pupil import DEFAULT_THRESHOLD, Pupil, not_found
from .tuning import TUNING

IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm",
                  ".ppm", ".pbm", ".webp", ".jp2", ".j2k"}
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
    """
    # A bright pupil's frame is inverted here, once, for the look near the
    # last pupil and the search afresh alike.
    options = dict(threshold=threshold, rays=rays, sigma=sigma)
    prior: Optional[Pupil] = None
    quiet: Optional[_Quiet] = None
    for image in frames:
        if isinstance(image, Frame):
            image = image.image
        if image is None:
            prior = quiet = None
            yield not_found()
            continue
        image = _checks.image(image)
        if bright_pupil:
            image = inverted(image)
        pupil = detect_near(image, prior, **options) if prior else None
        if pupil is None or not pupil.found:
            pupil, quiet = _afresh(image, center, radius, options, quiet)
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
    again); and the frame to compare the next one with."""
    rows, cols = image.shape[:2]
    if rows < 8 or cols < 8:
        return search_afresh(image, center, radius, **options), None
    gray = as_gray(image)
    overview = Overview(gray)
    if quiet is not None and quiet.overview.shape == overview.image.shape \
            and np.abs(overview.image - quiet.overview).max() <= \
            TUNING.unchanged_level:
        # Compared with that frame, not the last: a slow change adds up.
        return not_found(quiet.confidence), quiet
    pupil = search_afresh(image, center, radius, whole=(gray, overview),
                          **options)
    return pupil, (None if pupil.found
                   else _Quiet(overview.image, pupil.confidence))


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
    """The frames of a video file or a folder of images, read one at a time
    as they are iterated (iterate once). `fps` is the frame rate (`fps`
    given, else the video's own; None for a folder without one, whose
    times are then frame indices), `count` the frame count as far as known,
    `decode_seconds` the time spent reading and decoding so far, `shape`
    the first frame's (rows, cols) where it could be read, and `read` the
    frames iterated so far (a video may end before the count it
    announced)."""

    def __init__(self, path, fps: Optional[float] = None):
        if fps is not None and not (np.isfinite(fps) and fps > 0):
            raise ValueError(f"fps must be a positive number, got {fps}")
        # FFmpeg's own messages about a file it cannot read would only
        # repeat what InputError says; read once, when the backend loads.
        os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
        self.path = Path(path)
        self.decode_seconds = 0.0
        self.read = 0
        self.fps: Optional[float] = None
        if not self.path.exists():
            raise InputError(f"{self.path}: no such file or folder")
        if self.path.is_dir():
            self._files = sorted(p for p in self.path.iterdir()
                                 if p.suffix.lower() in IMAGE_SUFFIXES
                                 and p.is_file())
            if not self._files:
                raise InputError(f"{self.path}: no images in this folder")
            self.count = len(self._files)
            self._capture = None
            self.fps = fps
            start = time.perf_counter()
            # Kept for the first frame: decoded once.
            self._first = _folder_image(self._files[0])
            self.decode_seconds += time.perf_counter() - start
            self.shape = (None if self._first is None
                          else self._first.shape[:2])
        else:
            self._files = None
            capture = cv2.VideoCapture(str(self.path), cv2.CAP_FFMPEG)
            ok = capture.isOpened()
            first = capture.read() if ok else (False, None)
            if not first[0]:
                capture.release()
                raise InputError(f"{self.path}: not a video OpenCV can read")
            capture.release()
            self.shape = first[1].shape[:2]
            # Opened again so that the first frame is read like the rest.
            self._capture = cv2.VideoCapture(str(self.path), cv2.CAP_FFMPEG)
            own = self._capture.get(cv2.CAP_PROP_FPS)
            self.fps = fps if fps is not None else (
                own if own and np.isfinite(own) and own > 0 else None)
            self._stamps = fps is None
            count = int(self._capture.get(cv2.CAP_PROP_FRAME_COUNT))
            self.count = count if count > 0 else None

    def __iter__(self) -> Iterator[Frame]:
        if self._files is not None:
            yield from self._images()
        else:
            yield from self._video()

    def _images(self):
        # An image that does not decode is a frame without an image: the
        # run goes on.
        for index, path in enumerate(self._files):
            if index == 0:
                image, self._first = self._first, None
            else:
                start = time.perf_counter()
                image = _folder_image(path)
                self.decode_seconds += time.perf_counter() - start
            self.read = index + 1
            yield Frame(index, self._time(index, None), image)

    def _video(self):
        capture, index, failed = self._capture, 0, 0
        last_time = -1.0
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
                    yield Frame(lost, self._time(lost, None), None)
                index, failed = index + failed, 0
                if image.ndim == 3:
                    image = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
                stamp = capture.get(cv2.CAP_PROP_POS_MSEC) / 1000.0
                if not (self._stamps and stamp > last_time):
                    stamp = None
                time_s = self._time(index, stamp)
                last_time = time_s
                self.read = index + 1
                yield Frame(index, time_s, image)
                index += 1
        finally:
            capture.release()

    def _time(self, index, stamp):
        if stamp is not None and (index == 0 or stamp > 0):
            return stamp
        return index / self.fps if self.fps else float(index)


def read_image(path, flags=cv2.IMREAD_GRAYSCALE) -> Optional[np.ndarray]:
    """The image in the file at `path` (2-D gray by default, `flags` as
    for cv2.imread), or None where it cannot be read or was cut short.

    OpenCV decodes a JPEG that ends early into an image whose lower part is
    a flat gray, with no more than a warning on stderr: a pupil there
    would be measured on a picture of the cut. A file whose format says
    where it ends (PNG, JPEG, JPEG 2000, BMP, binary PGM/PPM/PBM) and that
    ends before that is therefore not decoded at all, which also keeps the
    decoders' own error lines off stderr."""
    try:
        data = Path(path).read_bytes()
    except OSError:
        return None
    if not data or _cut_short(data):
        return None
    return cv2.imdecode(np.frombuffer(data, np.uint8), flags)


def _folder_image(path) -> Optional[np.ndarray]:
    """A folder's image as gray at its own depth: 12-bit camera data in a
    16-bit file read as 8 bits would keep 4 of its 12 bits, and OpenCV
    reads a float TIFF at 8 bits not at all. A float image with NaN or
    infinite pixels has no gray levels to measure: it is unreadable."""
    image = read_image(path, cv2.IMREAD_GRAYSCALE | cv2.IMREAD_ANYDEPTH)
    if image is not None and image.dtype.kind == "f" and \
            not np.isfinite(image).all():
        return None
    return image


_JP2_SIGNATURE = b"\0\0\0\x0cjP  \r\n\x87\n"


def _cut_short(data: bytes) -> bool:
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        return data.rfind(b"IEND") < 0
    if data.startswith(b"\xff\xd8"):
        # The image's end marker after its last scan; a thumbnail's end
        # marker comes before the scans.
        return data.rfind(b"\xff\xd9") < data.rfind(b"\xff\xda")
    if data.startswith(_JP2_SIGNATURE):
        return _jp2_cut_short(data)
    if data.startswith(b"\xff\x4f\xff"):
        return _codestream_cut_short(data, 0)
    if data.startswith(b"BM"):
        return _bmp_cut_short(data)
    if data[:2] in (b"P4", b"P5", b"P6"):
        return _pnm_cut_short(data)
    return False


def _jp2_cut_short(data: bytes) -> bool:
    """A JPEG 2000 file whose boxes, or whose codestream's tile parts,
    reach past its end."""
    at = 0
    while at + 8 <= len(data):
        size = int.from_bytes(data[at:at + 4], "big")
        kind = data[at + 4:at + 8]
        head = 8
        if size == 1:  # a 64-bit size follows
            if at + 16 > len(data):
                return True
            size, head = int.from_bytes(data[at + 8:at + 16], "big"), 16
        elif size == 0:  # to the end of the file
            size = len(data) - at
        if size < head or at + size > len(data):
            return True
        if kind == b"jp2c":
            return _codestream_cut_short(data[:at + size], at + head)
        at += size
    return True  # no codestream


def _codestream_cut_short(data: bytes, at: int) -> bool:
    """A codestream starting at `at` whose marker segments or tile parts
    (each SOT says how long its tile part is) reach past the end of
    `data`, or that ends before its first tile part."""
    at += 2  # SOC
    while at + 2 <= len(data):
        marker = data[at:at + 2]
        if marker == b"\xff\xd9":  # EOC
            return False
        if at + 4 > len(data):
            return True
        if marker == b"\xff\x90":  # SOT: Lsot, Isot, Psot, ...
            if at + 10 > len(data):
                return True
            length = int.from_bytes(data[at + 6:at + 10], "big")
            if length == 0:  # the last tile part, to the end
                return False
            at += length
        else:
            at += 2 + int.from_bytes(data[at + 2:at + 4], "big")
    return at != len(data)


def _bmp_cut_short(data: bytes) -> bool:
    """A BMP shorter than its header's file size (0 where the writer left
    it out) and, uncompressed, than its pixel rows: a size field some
    writer got wrong does not make a whole file unreadable."""
    if len(data) < 30:
        return True
    number = int.from_bytes
    if len(data) >= number(data[2:6], "little"):
        return False
    if number(data[14:18], "little") == 12:  # the oldest header
        width, height = number(data[18:20], "little"), number(
            data[20:22], "little")
        bits, compression = number(data[24:26], "little"), 0
    else:
        width = number(data[18:22], "little", signed=True)
        height = abs(number(data[22:26], "little", signed=True))
        bits = number(data[28:30], "little")
        compression = number(data[30:34], "little") if len(data) >= 34 \
            else 0
    if compression not in (0, 3):  # run-length coded: the size field only
        return True
    row = (abs(width) * bits + 31) // 32 * 4
    return len(data) < number(data[10:14], "little") + row * height


def _pnm_cut_short(data: bytes) -> bool:
    """A binary PBM, PGM or PPM shorter than its header's size says."""
    fields, at = [], 2
    while len(fields) < (2 if data[1:2] == b"4" else 3):
        while at < len(data) and data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.find(b"\n", at)
            if at < 0:
                return True
            continue
        end = at
        while end < len(data) and data[end:end + 1].isdigit():
            end += 1
        if end == at:
            return False  # not a header this reads: left to OpenCV
        fields.append(int(data[at:end]))
        at = end
    # One white-space byte ends the header.
    width, height = fields[0], fields[1]
    if data[1:2] == b"4":
        row = (width + 7) // 8
    else:
        row = width * (3 if data[1:2] == b"6" else 1) * (
            2 if fields[2] > 255 else 1)
    return len(data) < at + 1 + row * height


def open_frames(path, fps: Optional[float] = None) -> Frames:
    """The frames of a video file OpenCV can read, or of the images in a
    folder (taken in name order), timed at `fps` frames/s when given (a
    folder's times are otherwise frame indices). Raises InputError when
    there are none."""
    return Frames(path, fps)
