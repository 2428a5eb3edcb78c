"""Freed memory kept in the process between images (glibc only).

Each detect() allocates and frees about a megabyte of temporary arrays.
With glibc's default settings a free of that much at the top of the heap
hands the memory back to the kernel, and the next image takes every page
back by a page fault. On virtual machines a fault costs tens of
microseconds: 67 faults per 320x240 image took a quarter to a third of
detect()'s time, and `pupil-radial track` ran half as fast on a 640x480
recording with a large pupil.

So the package sets the thresholds glibc's own adaptation reaches once a
large array has been freed (arrays up to 32 MiB from the heap, up to 64 MiB
of free heap kept), once, at import. A process that chose its own settings
(MALLOC_*_ or GLIBC_TUNABLES in the environment) keeps them.
"""

from __future__ import annotations

import ctypes
import os
import sys

_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3
_MMAP_THRESHOLD = 32 << 20
_TRIM_THRESHOLD = 64 << 20


def _chosen_by_user(environ) -> bool:
    return "GLIBC_TUNABLES" in environ or any(
        name.startswith("MALLOC_") and name.endswith("_")
        for name in environ)


def keep_freed_memory(environ=os.environ) -> bool:
    """Sets glibc's thresholds as described above; whether it did (False
    off glibc, or where the environment sets the allocator's own)."""
    if not sys.platform.startswith("linux") or _chosen_by_user(environ):
        return False
    try:
        if not os.confstr("CS_GNU_LIBC_VERSION"):
            return False
        mallopt = ctypes.CDLL(None).mallopt
    except (ValueError, OSError, AttributeError):
        return False
    mallopt.argtypes = (ctypes.c_int, ctypes.c_int)
    mallopt.restype = ctypes.c_int
    return bool(mallopt(_M_MMAP_THRESHOLD, _MMAP_THRESHOLD)
                and mallopt(_M_TRIM_THRESHOLD, _TRIM_THRESHOLD))
