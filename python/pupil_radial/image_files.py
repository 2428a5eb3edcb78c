"""Image files read as they are stored: gray at their own depth, and a
file that ends before its format says it does refused rather than half
decoded."""

from __future__ import annotations

from pathlib import Path
from typing import Iterator, Optional

import cv2
import numpy as np

from . import _checks

IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm",
                  ".ppm", ".pbm", ".webp", ".jp2", ".j2k"}
_OWN_DEPTH = cv2.IMREAD_GRAYSCALE | cv2.IMREAD_ANYDEPTH
# What a multi-page file's pages are read by at a time, at most.
_CHUNK_BYTES = 64 << 20
_JP2_SIGNATURE = b"\0\0\0\x0cjP  \r\n\x87\n"


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
    try:
        return cv2.imdecode(np.frombuffer(data, np.uint8), flags)
    except cv2.error:  # a damaged header: a size beyond OpenCV's limits
        return None


def folder_image(path) -> Optional[np.ndarray]:
    """A folder's image as gray at its own depth: 12-bit camera data in a
    16-bit file read as 8 bits would keep 4 of its 12 bits, and OpenCV
    reads a float TIFF at 8 bits not at all. A float image with NaN or
    infinite pixels has no gray levels to measure: it is unreadable."""
    return _measurable(read_image(path, _OWN_DEPTH))


def page_count(path) -> int:
    """How many images a file holds: the pages of a multi-page TIFF, else
    one; 0 for a TIFF OpenCV cannot read."""
    # Only a TIFF holds several images OpenCV reads: any other file is not
    # opened a second time to count them.
    if Path(path).suffix.lower() not in (".tif", ".tiff"):
        return 1
    name = _checks.opencv_name(path)
    try:
        return int(cv2.imcount(name))
    except cv2.error:
        return 0


def pages(path, count: int) -> Iterator:
    """The `count` images of a file, each as folder_image() reads one (None
    for one that does not decode). A stack is read some 64 MB at a time:
    it can be larger than memory, and every read walks the file's pages
    from the first."""
    if count == 1:
        yield folder_image(path)
        return
    start, chunk = 0, 32
    while start < count:
        n = min(chunk, count - start)
        try:
            ok, images = cv2.imreadmulti(_checks.opencv_name(path),
                                         start=start, count=n,
                                         flags=_OWN_DEPTH)
        except cv2.error:
            ok = False
        images = images if ok else ()
        for k in range(n):
            yield _measurable(images[k]) if k < len(images) else None
        if images:
            chunk = min(max(_CHUNK_BYTES // max(images[0].nbytes, 1), 32),
                        1024)
        start += n


def _measurable(image):
    if image is not None and image.dtype.kind == "f" and \
            not np.isfinite(image).all():
        return None
    return image


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
