"""Small numeric helpers the detector's stages share."""

from __future__ import annotations

import numpy as np


def median(values: np.ndarray) -> float:
    """np.median without its overhead, for the small 1-D arrays used here
    (partitioned in a copy)."""
    n = values.shape[0]
    half = n // 2
    part = values.copy()
    if n % 2:
        part.partition(half)
        return float(part[half])
    part.partition((half - 1, half))
    return 0.5 * float(part[half - 1] + part[half])
