"""Loading core.so and calling it with checked, converted arguments."""

from __future__ import annotations

import ctypes
import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Sequence, Union

import numpy as np

from . import _checks, edges
from ._checks import INT32_MAX as _INT32_MAX

_ENV_VAR = "PUPIL_RADIAL_CORE"


class CoreNotFoundError(ImportError):
    """core.so was not found in any of the places the package looks."""


def _candidate_paths() -> list[Path]:
    here = Path(__file__).resolve().parent
    candidates = []
    env = os.environ.get(_ENV_VAR)
    if env:
        candidates.append(Path(env))
    candidates.append(here / "core.so")  # installed next to the package
    # The source tree: python/pupil_radial -> <repo>/build/core.so
    candidates.append(here.parent.parent / "build" / "core.so")
    return candidates


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_library_path: Optional[Path] = None


def _load() -> ctypes.CDLL:
    global _library, _library_path
    with _lock:
        if _library is not None:
            return _library
        candidates = _candidate_paths()
        env = os.environ.get(_ENV_VAR)
        if env and not Path(env).is_file():
            raise CoreNotFoundError(
                f"{_ENV_VAR}={env!r} does not name an existing file")
        for path in candidates:
            if path.is_file():
                lib = ctypes.CDLL(str(path))
                fn = lib.pupil_guided_radial_search
                # Raw addresses: the arrays are checked and converted before
                # every call, and typed pointers cost more than the C call.
                ptr, i32 = ctypes.c_void_p, ctypes.c_int32
                fn.argtypes = [ptr, ptr, i32, i32, ctypes.c_float,
                               ctypes.c_float, i32, ptr, ptr, i32, ptr, i32,
                               ptr]
                fn.restype = i32
                _library, _library_path = lib, path
                return lib
        looked = "\n  ".join(str(p) for p in candidates)
        raise CoreNotFoundError(
            "core.so not found. From a source checkout, build it with "
            "`cmake -S . -B build && cmake --build build`; `pip install "
            f"./python` builds it into the package. Or set {_ENV_VAR} to its "
            f"path. Looked in:\n  {looked}")


def core_path() -> Path:
    """The path of the core.so this package calls (loading it if needed)."""
    _load()
    assert _library_path is not None
    return _library_path


@dataclass(frozen=True)
class SearchResult:
    """What one search found.

    radii:  float64, one per ray: the edge radius, or -1.0 for no result,
            exactly as core.so wrote it.
    found:  bool, one per ray: radii != -1.0. A real radius of exactly -1.0
            (possible only when a ray's range reaches behind the centre) reads
            as "no result" here; `count` still counts it.
    count:  the number of rays core.so reports as having a radius.
    angles: float64, one per ray: the ray's angle in radians from +x toward
            +y, computed as the library computes it.
    center: the centre (x, y) as passed to core.so (rounded to float32).
    points: float32 array of shape (found.sum(), 2): the (x, y) image
            coordinates (column, row) of the found edge points, ready for
            cv2.fitEllipse.
    strength: float64 per ray: the smoothed radial gradient at the edge (the
            filtered value at the peak, in the gradients' units); NaN where
            the ray found nothing.
    subpixel_radii: float64 per ray: the edge radius refined by a parabola
            through the filtered values at the peak and its two neighbours
            (within half a sample step of `radii`); -1.0 where not found.
    subpixel_points: float32 (found.sum(), 2): the points at those radii.
    """

    radii: np.ndarray
    found: np.ndarray
    count: int
    angles: np.ndarray
    center: tuple
    points: np.ndarray
    strength: np.ndarray
    subpixel_radii: np.ndarray
    subpixel_points: np.ndarray


def ray_angles(ray_count: int) -> np.ndarray:
    """Each ray's angle in radians, computed exactly as the library does."""
    ray_count = _checks.count("ray_count", ray_count, minimum=1)
    return edges.ray_table(ray_count)[0].copy()


def _gradient(name: str, value) -> np.ndarray:
    array = _checks.real_array(name, value)
    if array.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array (rows, cols), got "
                         f"shape {array.shape}")
    return array


def _radii(name: str, value) -> np.ndarray:
    array = _checks.real_array(name, value)
    if array.ndim > 1:
        raise ValueError(
            f"{name} must be a scalar or 1-D, got shape {array.shape}")
    return array


def _ray_ranges(radius_min, radius_max, ray_count):
    """The radius ranges as float32 arrays of one per ray, and the ray count,
    which is taken from them when not given."""
    rmin = _radii("radius_min", radius_min)
    rmax = _radii("radius_max", radius_max)
    lengths = {a.shape[0] for a in (rmin, rmax) if a.ndim == 1}
    if len(lengths) > 1:
        raise ValueError(
            f"radius_min and radius_max differ in length: {rmin.shape[0]} and "
            f"{rmax.shape[0]}")
    if ray_count is None:
        if not lengths:
            raise ValueError("ray_count is required when radius_min and "
                             "radius_max are scalars")
        ray_count = lengths.pop()
        if ray_count == 0:
            raise ValueError("ray_count must be at least 1, got 0 radii")
    ray_count = _checks.count("ray_count", ray_count, minimum=1)
    for name, array in (("radius_min", rmin), ("radius_max", rmax)):
        if array.ndim == 1 and array.shape[0] != ray_count:
            raise ValueError(
                f"{name} has {array.shape[0]} entries but ray_count is "
                f"{ray_count}")
    rmin = np.ascontiguousarray(np.broadcast_to(rmin, (ray_count,)),
                                dtype=np.float32)
    rmax = np.ascontiguousarray(np.broadcast_to(rmax, (ray_count,)),
                                dtype=np.float32)
    return rmin, rmax, ray_count


def radial_search(grad_x, grad_y, center: Sequence[float],
                  radius_min: Union[float, Sequence[float]],
                  radius_max: Union[float, Sequence[float]],
                  sample_count: int, kernel: Sequence[float],
                  ray_count: Optional[int] = None) -> SearchResult:
    """Find the strongest dark-to-bright edge along rays cast from `center`.

    grad_x, grad_y: 2-D arrays of one shape (rows, cols), the image gradient
        along x (columns) and y (rows). Any real dtype and any strides; they
        are converted to C-contiguous float32, copying only when needed.
    center: (x, y) = (column, row) of the rays' origin; must be finite.
    radius_min, radius_max: each ray's start and end radius, scalars or 1-D
        arrays; scalars apply to every ray. A ray whose end is not above its
        start gets no result. Negative radii look behind the centre.
    sample_count: samples per ray, both ends included; at least 2.
    kernel: 1-D, non-empty correlation taps; tap len(kernel)//2 lands on the
        sample being filtered.
    ray_count: number of rays, evenly spread from +x toward +y. Taken from
        the radius arrays when omitted; required when both are scalars.

    Raises TypeError or ValueError (naming the argument) for input the C
    call cannot take, CoreNotFoundError when core.so cannot be found, and
    MemoryError when core.so cannot allocate its scratch memory.
    """
    gx = _gradient("grad_x", grad_x)
    gy = _gradient("grad_y", grad_y)
    if gx.shape != gy.shape:
        raise ValueError(f"grad_x and grad_y must have one shape, got "
                         f"{gx.shape} and {gy.shape}")
    rows, cols = gx.shape
    if rows > _INT32_MAX or cols > _INT32_MAX or rows * cols > _INT32_MAX:
        raise ValueError(f"grad_x has {rows} x {cols} pixels; core.so takes "
                         "fewer than 2**31")

    cx, cy = _checks.pair("center", center, " (x, y)")

    rmin, rmax, ray_count = _ray_ranges(radius_min, radius_max, ray_count)

    sample_count = _checks.count("sample_count", sample_count, minimum=2)
    taps = _checks.real_array("kernel", kernel)
    if taps.ndim != 1 or taps.size == 0:
        raise ValueError(
            f"kernel must be a non-empty 1-D array, got shape {taps.shape}")
    if taps.size > _INT32_MAX:
        raise ValueError("kernel must have at most 2**31 - 1 taps")
    taps = np.ascontiguousarray(taps, dtype=np.float64)

    gx = np.ascontiguousarray(gx, dtype=np.float32)
    gy = np.ascontiguousarray(gy, dtype=np.float32)
    center32 = (float(np.float32(cx)), float(np.float32(cy)))
    radii, count = search(gx, gy, center32, rmin, rmax, sample_count, taps)
    return measured_result(gx, gy, center32, rmin, rmax, sample_count, taps,
                           radii, count)


def search(gx, gy, center32, rmin32, rmax32, sample_count: int, taps):
    """core.so on arguments already checked and converted (C-contiguous
    float32 images and ranges, float64 taps): (radii, count)."""
    ray_count = rmin32.shape[0]
    # NaN marks entries the call did not write; it never writes NaN.
    out = np.full(ray_count, np.nan, dtype=np.float64)
    rows, cols = gx.shape
    count = _library_function()(
        gx.ctypes.data, gy.ctypes.data, rows, cols, center32[0], center32[1],
        ray_count, rmin32.ctypes.data, rmax32.ctypes.data, sample_count,
        taps.ctypes.data, taps.shape[0], out.ctypes.data)
    if np.isnan(out).any():
        raise MemoryError(
            f"core.so could not allocate scratch memory for sample_count="
            f"{sample_count} (2 x {sample_count} doubles)")
    return out, int(count)


def measured_result(gx, gy, center32, rmin32, rmax32, sample_count, taps,
                    radii, count) -> SearchResult:
    """A search's radii with their edge measures and points."""
    found = radii != -1.0
    m = edges.measure(gx, gy, center32, radii, found, rmin32, rmax32,
                      sample_count, taps)
    return SearchResult(
        radii=radii, found=found, count=count,
        # A copy: the table is shared and read-only, the result the
        # caller's to change.
        angles=edges.ray_table(radii.shape[0])[0].copy(), center=center32,
        points=edges.points(center32, radii, found), strength=m.strength,
        subpixel_radii=m.subpixel_radii,
        subpixel_points=edges.points(center32, m.subpixel_radii, found))


def _library_function():
    lib = _library if _library is not None else _load()
    return lib.pupil_guided_radial_search
