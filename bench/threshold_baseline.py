"""The threshold-and-contour pupil detector most OpenCV users write, the
benchmarks' baseline: blur, a threshold a little above the darkest
percentile, the largest round contour, cv2.fitEllipse; and the tracker
built on it, which looks only near the last pupil while it has one."""

import math

import cv2
import numpy as np


def detect(image):
    """(found, (x, y), major axis) of the pupil in a gray or BGR image."""
    gray = image if image.ndim == 2 else cv2.cvtColor(image,
                                                      cv2.COLOR_BGR2GRAY)
    blurred = cv2.GaussianBlur(gray, (5, 5), 0)
    level = float(np.percentile(blurred[::4, ::4], 2)) + 12
    _, mask = cv2.threshold(blurred, level, 255, cv2.THRESH_BINARY_INV)
    contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL,
                                   cv2.CHAIN_APPROX_NONE)
    best, best_area = None, 0.0
    for c in contours:
        area = cv2.contourArea(c)
        if len(c) < 5 or area < 12 or area <= best_area:
            continue
        perimeter = cv2.arcLength(c, True)
        if 4 * math.pi * area / (perimeter * perimeter) > 0.6:
            best, best_area = c, area
    if best is None:
        return False, (math.nan, math.nan), math.nan
    center, (w, h), _ = cv2.fitEllipse(best)
    return True, center, max(w, h)


class Tracker:
    """detect() on a region of interest around the last pupil, the whole
    frame after a loss."""

    def __init__(self):
        self.last = None

    def __call__(self, image):
        rows, cols = image.shape[:2]
        x0 = y0 = 0
        part = image
        if self.last is not None:
            (x, y), half = self.last
            x0, y0 = max(int(x - half), 0), max(int(y - half), 0)
            part = image[y0:min(int(y + half), rows),
                         x0:min(int(x + half), cols)]
        found, (cx, cy), major = detect(part)
        if not found:
            self.last = None
            return False, (math.nan, math.nan), math.nan
        center = (cx + x0, cy + y0)
        self.last = (center, major * 1.5 + 10)
        return True, center, major
