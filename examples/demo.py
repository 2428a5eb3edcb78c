#!/usr/bin/env python3
"""Pupil measurement the way a host program does it, with OpenCV.

Reads an eye image (or, with no argument, draws a synthetic eye whose true
pupil is known), takes Sobel gradients, estimates the pupil centre from the
darkest blob, casts rays with pupil_radial, fits an ellipse to the edge
points (dropping outliers), repeats once from the fitted centre, and writes
an overlay PNG.

    PYTHONPATH=python /usr/bin/python3 examples/demo.py [eye.png]
        [--center x,y] [--rays 180] [--out pupil_demo.png]
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
import pupil_radial  # noqa: E402


@dataclass(frozen=True)
class Ellipse:
    """Centre (x, y), semi-axes (a >= b) and angle of a in degrees."""

    cx: float
    cy: float
    a: float
    b: float
    angle: float

    @staticmethod
    def from_cv(box) -> "Ellipse":
        (cx, cy), (w, h), angle = box
        if w >= h:
            return Ellipse(cx, cy, w / 2, h / 2, angle % 180)
        return Ellipse(cx, cy, h / 2, w / 2, (angle + 90) % 180)

    def radius_along(self, cx: float, cy: float, angles: np.ndarray):
        """Distance from (cx, cy) to this ellipse along each angle."""
        t = np.deg2rad(self.angle)
        ux, uy = np.cos(angles), np.sin(angles)
        # Ray and offset in the ellipse's own frame.
        du = (ux * np.cos(t) + uy * np.sin(t)) / self.a
        dv = (-ux * np.sin(t) + uy * np.cos(t)) / self.b
        px, py = cx - self.cx, cy - self.cy
        pu = (px * np.cos(t) + py * np.sin(t)) / self.a
        pv = (-px * np.sin(t) + py * np.cos(t)) / self.b
        qa = du * du + dv * dv
        qb = 2 * (pu * du + pv * dv)
        qc = pu * pu + pv * pv - 1
        return (-qb + np.sqrt(qb * qb - 4 * qa * qc)) / (2 * qa)


# The default image: 480 x 640, pupil below and right of the middle.
TRUE_PUPIL = Ellipse(cx=331.4, cy=247.8, a=52.0, b=44.0, angle=20.0)


def synthetic_eye(seed: int = 7) -> np.ndarray:
    """An 8-bit grey eye: sclera, iris with texture, a dark elliptical pupil,
    an upper eyelid shadow, a corneal glint and sensor noise. Drawn at 8x and
    averaged down, so the pupil boundary is exact to a fraction of a pixel.
    """
    rows, cols, scale = 480, 640, 8
    shift = 4  # cv2 drawing with 1/16 px coordinates
    big = np.full((rows * scale, cols * scale), 205, np.uint8)
    f = scale * (1 << shift)

    def pt(x, y):
        return (int(round((x + 0.5) * f - 0.5 * (1 << shift))),
                int(round((y + 0.5) * f - 0.5 * (1 << shift))))

    iris_c = (322.0, 242.0)
    cv2.circle(big, pt(*iris_c), int(128 * f), 118, -1, cv2.LINE_AA, shift)
    p = TRUE_PUPIL
    cv2.ellipse(big, pt(p.cx, p.cy), (int(round(p.a * f)), int(round(p.b * f))),
                p.angle, 0, 360, 32, -1, cv2.LINE_AA, shift)
    image = cv2.resize(big, (cols, rows), interpolation=cv2.INTER_AREA)
    image = image.astype(np.float32)

    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols].astype(np.float32)
    # Iris texture: radial streaks, only outside the pupil and inside the iris.
    r_iris = np.hypot(x - iris_c[0], y - iris_c[1])
    streaks = 6 * np.sin(np.arctan2(y - iris_c[1], x - iris_c[0]) * 37)
    in_iris = (r_iris < 126) & (image > 60) & (image < 150)
    image[in_iris] += streaks[in_iris] * np.clip((r_iris[in_iris] - 70) / 50, 0, 1)
    # The upper eyelid darkens the top of the frame.
    image *= np.clip(0.55 + 0.45 * (y / 150.0), 0.55, 1.0)
    # A corneal glint inside the pupil, near its edge.
    glint = np.exp(-((x - 352) ** 2 + (y - 225) ** 2) / (2 * 3.0 ** 2))
    image += 200 * glint
    image += rng.normal(0, 3.0, image.shape).astype(np.float32)
    return np.clip(image, 0, 255).astype(np.uint8)


def gradients(gray: np.ndarray):
    smooth = cv2.GaussianBlur(gray, (0, 0), 1.0).astype(np.float32)
    gx = cv2.Sobel(smooth, cv2.CV_32F, 1, 0, ksize=3) / 8.0
    gy = cv2.Sobel(smooth, cv2.CV_32F, 0, 1, ksize=3) / 8.0
    return gx, gy


def dark_blob(gray: np.ndarray):
    """Centre and equivalent radius of the darkest sizeable region."""
    blur = cv2.GaussianBlur(gray, (0, 0), 2.0)
    level = np.percentile(blur, 0.5) + 30
    mask = (blur < level).astype(np.uint8)
    mask = cv2.morphologyEx(mask, cv2.MORPH_OPEN, np.ones((5, 5), np.uint8))
    count, labels, stats, _ = cv2.connectedComponentsWithStats(mask)
    if count < 2:
        raise SystemExit("no dark region found; pass --center x,y")
    biggest = 1 + int(np.argmax(stats[1:, cv2.CC_STAT_AREA]))
    m = cv2.moments((labels == biggest).astype(np.uint8), binaryImage=True)
    center = (m["m10"] / m["m00"], m["m01"] / m["m00"])
    return center, float(np.sqrt(m["m00"] / np.pi))


def gaussian_kernel(sigma: float) -> np.ndarray:
    half = int(np.ceil(3 * sigma))
    t = np.arange(-half, half + 1, dtype=np.float64)
    k = np.exp(-0.5 * (t / sigma) ** 2)
    return k / k.sum()


def fit_ellipse(points: np.ndarray, center, angles: np.ndarray):
    """Ellipse through the edge points, refitted without the points whose
    distance from the first fit is unusual. Returns (ellipse, inlier mask)."""
    keep = np.ones(len(points), bool)
    ellipse = None
    for _ in range(3):
        if keep.sum() < 5:
            break
        ellipse = Ellipse.from_cv(cv2.fitEllipse(points[keep].astype(np.float32)))
        radii = np.hypot(points[:, 0] - center[0], points[:, 1] - center[1])
        residual = radii - ellipse.radius_along(center[0], center[1], angles)
        spread = 1.4826 * np.median(np.abs(residual[keep] - np.median(residual[keep])))
        keep = np.abs(residual) < max(1.0, 3.0 * spread)
    if ellipse is None:
        raise SystemExit("too few edge points for an ellipse")
    return ellipse, keep


@dataclass
class Measurement:
    ellipse: Ellipse
    result: pupil_radial.SearchResult
    inliers: np.ndarray
    seconds_per_call: float


def measure(gray: np.ndarray, center=None, rays: int = 180) -> Measurement:
    gx, gy = gradients(gray)
    blob_center, blob_radius = dark_blob(gray)
    if center is None:
        center = blob_center
    kernel = gaussian_kernel(1.5)
    measurement = None
    for _ in range(2):  # once from the estimate, once from the fitted centre
        lo, hi = 0.4 * blob_radius, 1.9 * blob_radius
        samples = int(np.ceil((hi - lo) * 2)) + 1  # half-pixel spacing
        start = time.perf_counter()
        repeats = 20
        for _ in range(repeats):
            result = pupil_radial.radial_search(gx, gy, center, lo, hi, samples,
                                                kernel, ray_count=rays)
        seconds = (time.perf_counter() - start) / repeats
        ellipse, inliers = fit_ellipse(result.points, result.center,
                                       result.angles[result.found])
        measurement = Measurement(ellipse, result, inliers, seconds)
        center = (ellipse.cx, ellipse.cy)
    return measurement


def overlay(gray: np.ndarray, m: Measurement) -> np.ndarray:
    canvas = cv2.cvtColor(gray, cv2.COLOR_GRAY2BGR)
    r = m.result
    cx, cy = r.center
    ends = 1.9 * max(m.ellipse.a, 1.0)
    for angle in r.angles[::3]:
        end = (int(cx + ends * np.cos(angle)), int(cy + ends * np.sin(angle)))
        cv2.line(canvas, (int(cx), int(cy)), end, (90, 90, 90), 1, cv2.LINE_AA)
    for (x, y), good in zip(r.points, m.inliers):
        color = (60, 220, 60) if good else (0, 200, 255)
        cv2.circle(canvas, (int(round(x)), int(round(y))), 2, color, -1,
                   cv2.LINE_AA)
    e = m.ellipse
    cv2.ellipse(canvas, ((e.cx, e.cy), (2 * e.a, 2 * e.b), e.angle),
                (40, 40, 230), 1, cv2.LINE_AA)
    cv2.drawMarker(canvas, (int(round(e.cx)), int(round(e.cy))), (40, 40, 230),
                   cv2.MARKER_CROSS, 12, 1)
    return canvas


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image", nargs="?", help="eye image; default: synthetic")
    parser.add_argument("--center", help="pupil centre guess as x,y")
    parser.add_argument("--rays", type=int, default=180)
    parser.add_argument("--out", default="pupil_demo.png")
    args = parser.parse_args(argv)

    if args.image:
        gray = cv2.imread(args.image, cv2.IMREAD_GRAYSCALE)
        if gray is None:
            parser.error(f"cannot read {args.image}")
    else:
        gray = synthetic_eye()
    center = None
    if args.center:
        try:
            center = tuple(float(v) for v in args.center.split(","))
            assert len(center) == 2
        except (ValueError, AssertionError):
            parser.error("--center takes x,y")

    m = measure(gray, center, args.rays)
    e = m.ellipse
    print(f"core.so: {pupil_radial.core_path()}")
    print(f"pupil centre: ({e.cx:.2f}, {e.cy:.2f}) px")
    print(f"semi-axes:    {e.a:.2f} x {e.b:.2f} px, angle {e.angle:.1f} deg")
    print(f"rays found:   {m.result.count} of {args.rays}, "
          f"{int(m.inliers.sum())} kept for the fit")
    print(f"time per call: {m.seconds_per_call * 1e6:.0f} us")
    if not args.image:
        t = TRUE_PUPIL
        print(f"error against the truth: centre "
              f"({e.cx - t.cx:+.2f}, {e.cy - t.cy:+.2f}) px, axes "
              f"({e.a - t.a:+.2f}, {e.b - t.b:+.2f}) px, angle "
              f"{(e.angle - t.angle + 90) % 180 - 90:+.1f} deg")
    cv2.imwrite(args.out, overlay(gray, m))
    print(f"overlay written to {Path(args.out).resolve()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
