"""Pupils in eye-camera images, over core.so's radial edge search.

    import cv2, pupil_radial
    pupil = pupil_radial.detect(cv2.imread("eye.png"))
    if pupil.found:
        pupil.center, pupil.axes, pupil.angle, pupil.confidence

track() follows the pupil through the frames of a video (open_frames()
reads a video file, a folder of images or a TIFF stack); the command
`pupil-radial` writes CSVs, plots and overlays. Below detect(),
radial_search() is the library's call itself on gradient images, with
per-ray edge strength and sub-pixel radii; `synthetic` draws eyes and
videos whose true pupil is known.
"""

from . import _heap
from ._core import (
    CoreNotFoundError,
    SearchResult,
    core_path,
    radial_search,
    ray_angles,
)
from .detect import detect
from .pupil import DEFAULT_THRESHOLD, Ellipse, Pupil
from .track import Frame, Frames, InputError, open_frames, track

__version__ = "1.1.0"

# See _heap: without it, every image pays for its temporaries in page
# faults.
_heap.keep_freed_memory()

__all__ = [
    "CoreNotFoundError",
    "DEFAULT_THRESHOLD",
    "Ellipse",
    "Frame",
    "Frames",
    "InputError",
    "Pupil",
    "SearchResult",
    "core_path",
    "detect",
    "open_frames",
    "radial_search",
    "ray_angles",
    "track",
    "__version__",
]
