#!/usr/bin/env python3
"""Measures the pupil in one eye image with pupil_radial.detect().

With no image it draws a synthetic eye whose true pupil is known and prints
the error against it. Writes an overlay PNG: rays, edge points (green: on
the fitted ellipse; orange: left out, such as a glint's rim) and the ellipse.
Exits 0 with a pupil, 1 when there is none, 2 on a usage or input error.

    PYTHONPATH=python /usr/bin/python3 examples/demo.py [eye.png]
        [--center X,Y] [--radius MIN,MAX] [--rays 96] [--out pupil_demo.png]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
import pupil_radial  # noqa: E402
from pupil_radial import synthetic  # noqa: E402

# The default image: 480 x 640, an off-axis pupil with a glint on its rim.
TRUE_PUPIL = synthetic.Ellipse(cx=331.4, cy=247.8, major=104.0, minor=88.0,
                               angle=20.0)


def synthetic_eye(seed: int = 7) -> np.ndarray:
    return synthetic.eye((480, 640), seed=seed, pupil=TRUE_PUPIL,
                         iris_center=(322.0, 242.0), iris_radius=128.0,
                         opening=0.9, lid_center_y=262.0, glints=2,
                         glint_on_edge=True, lashes=4).image


def pair(text: str) -> tuple:
    try:
        a, b = (float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected two numbers as A,B, got {text!r}") from None
    return a, b


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 16:
        raise argparse.ArgumentTypeError(
            f"expected a whole number of at least 16, got {text!r}")
    return value


def overlay(gray: np.ndarray, pupil: pupil_radial.Pupil) -> np.ndarray:
    canvas = cv2.cvtColor(gray, cv2.COLOR_GRAY2BGR)
    if pupil.found:
        cx, cy = pupil.center
        for x, y in pupil.points[::3]:
            cv2.line(canvas, (int(cx), int(cy)), (int(x), int(y)),
                     (90, 90, 90), 1, cv2.LINE_AA)
    for (x, y), good in zip(pupil.points, pupil.inliers):
        color = (60, 220, 60) if good else (0, 160, 255)
        cv2.circle(canvas, (int(round(x)), int(round(y))), 2, color, -1,
                   cv2.LINE_AA)
    if pupil.found:
        cv2.ellipse(canvas, pupil.box, (40, 40, 230), 1, cv2.LINE_AA)
        cv2.drawMarker(canvas, tuple(int(round(v)) for v in pupil.center),
                       (40, 40, 230), cv2.MARKER_CROSS, 12, 1)
    return canvas


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image", nargs="?",
                        help="eye image; default: synthetic")
    parser.add_argument("--center", type=pair, help="pupil centre guess X,Y")
    parser.add_argument("--radius", type=pair,
                        help="pupil radius range MIN,MAX in pixels")
    parser.add_argument("--rays", type=positive_int, default=96)
    parser.add_argument("--out", default="pupil_demo.png")
    args = parser.parse_args(argv)

    if args.image:
        gray = cv2.imread(args.image, cv2.IMREAD_GRAYSCALE)
        if gray is None:
            parser.error(f"cannot read {args.image} as an image")
    else:
        gray = synthetic_eye()
    try:
        start = time.perf_counter()
        pupil = pupil_radial.detect(gray, center=args.center,
                                    radius=args.radius, rays=args.rays)
        seconds = time.perf_counter() - start
    except (TypeError, ValueError) as error:
        parser.error(str(error))
    try:
        written = cv2.imwrite(args.out, overlay(gray, pupil))
    except cv2.error:  # no writer for that extension
        written = False
    if not written:
        parser.error(f"cannot write an image to {args.out}")
    print(f"core.so: {pupil_radial.core_path()}")
    if not pupil.found:
        print(f"no pupil found (confidence {pupil.confidence:.2f}); overlay "
              f"written to {Path(args.out).resolve()}", file=sys.stderr)
        return 1
    (cx, cy), (major, minor) = pupil.center, pupil.axes
    print(f"pupil centre: ({cx:.2f}, {cy:.2f}) px")
    print(f"axes:         {major:.2f} x {minor:.2f} px, angle "
          f"{pupil.angle:.1f} deg")
    print(f"confidence:   {pupil.confidence:.2f} ({int(pupil.inliers.sum())} "
          f"of {len(pupil.points)} edge points on the ellipse)")
    print(f"time:         {seconds * 1e3:.1f} ms")
    if not args.image:
        t = TRUE_PUPIL
        print(f"error against the truth: centre ({cx - t.cx:+.3f}, "
              f"{cy - t.cy:+.3f}) px, axes ({major - t.major:+.3f}, "
              f"{minor - t.minor:+.3f}) px, angle "
              f"{(pupil.angle - t.angle + 90) % 180 - 90:+.2f} deg")
    print(f"overlay written to {Path(args.out).resolve()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
