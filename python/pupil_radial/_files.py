"""Files the package writes whole (a plot, an overlay image, a cleaned
trace, a scale): written in full, or not left behind cut short."""

from __future__ import annotations

import os


def write_file(path, data: bytes) -> None:
    """`data` into the file at `path`; OSError where it cannot be, and then
    no file cut short left behind (a full disk), though one that could not
    be opened is left as it was."""
    out = open(path, "wb")
    try:
        with out:
            out.write(data)
    except OSError:
        if os.path.isfile(path) and not os.path.islink(path):
            os.unlink(path)
        raise
