#!/usr/bin/env python3
"""Accuracy and speed of pupil_radial.detect() on synthetic eyes.

Prints Markdown tables: accuracy per image size against the generator's
truth, on eyes drawn as real cameras showed them (dim, 12-bit, a brow,
glasses, hair over a corner, a lash line on the pupil, interlaced fields
half a row apart), images without a
pupil, the sub-pixel step's gain on edges placed
between samples, and the time per call with and without a centre.

    PYTHONPATH=python /usr/bin/python3 bench/detect_bench.py [--images 200]
"""

import argparse
import math
import platform
import time

import cv2
import numpy as np

import pupil_radial
from pupil_radial import detect, radial_search, synthetic

SHAPES = ((192, 192), (480, 640))
# What the camera images showed that the default generator does not draw.
CAMERA_LIKE = {
    "20 % exposure, the generator's noise": dict(exposure=0.2),
    "12-bit data in 16-bit images": dict(bits=12),
    "a brow": dict(brow=True),
    "a glasses frame": dict(glasses=True),
    "hair or a shadow over a corner": dict(dark_corner=True),
    "a lash line along the lid": dict(mascara=True, lashes=5),
    "interlaced, the odd rows half a row low": dict(field_offset=0.5),
}


def accuracy(shape, count, **eye_options):
    centre, size, found, visible = [], [], [], 0
    for seed in range(count):
        eye = synthetic.eye(shape, seed=seed, **eye_options)
        if eye.visible < 0.7:
            continue
        visible += 1
        pupil = detect(eye.image)
        found.append(pupil.found)
        if pupil.found:
            t = eye.pupil
            centre.append(math.hypot(pupil.center[0] - t.cx,
                                     pupil.center[1] - t.cy))
            size.append(abs(pupil.axes[0] - t.major) / t.major)
    return (visible, 100 * np.mean(found), np.median(centre),
            np.percentile(centre, 95), 100 * np.median(size))


def no_pupil(shape, count):
    rows = []
    for kind in synthetic.NO_PUPIL_KINDS:
        found = sum(detect(synthetic.no_pupil(kind, shape, s)).found
                    for s in range(count))
        rows.append((kind, found, count))
    shut = [synthetic.eye(shape, seed=s, opening=0.0) for s in range(count)]
    rows.append(("lid shut over a pupil",
                 sum(detect(e.image).found for e in shut), count))
    return rows


def subpixel_gain():
    """Mean |radius error| of grid and sub-pixel radii on discs whose edge
    lies anywhere between the samples (1 px apart)."""
    grid, sub = [], []
    for k, radius in enumerate(np.linspace(20.0, 21.0, 21)):
        rng = np.random.default_rng(k)
        y, x = np.mgrid[0:101, 0:101]
        d = np.hypot(x - 50.3, y - 49.6) - radius
        image = 40 + 150 / (1 + np.exp(-d / 0.8)) + rng.normal(0, 2, d.shape)
        image = cv2.GaussianBlur(image.astype(np.float32), (0, 0), 1.0)
        gx = cv2.Sobel(image, cv2.CV_32F, 1, 0, ksize=3, scale=0.125)
        gy = cv2.Sobel(image, cv2.CV_32F, 0, 1, ksize=3, scale=0.125)
        r = radial_search(gx, gy, (50.3, 49.6), 10.0, 30.0, 21,
                          [0.25, 0.5, 0.25], ray_count=90)
        grid.append(np.abs(r.radii - radius).mean())
        sub.append(np.abs(r.subpixel_radii - radius).mean())
    return np.mean(grid), np.mean(sub)


def speed(shape, repeats):
    eye = synthetic.eye(shape, seed=2)
    p = eye.pupil
    cases = {"centre and radius given": dict(
                 center=(p.cx + 1, p.cy - 1),
                 radius=(0.3 * p.minor, 0.75 * p.major)),
             "centre given": dict(center=(p.cx + 1, p.cy - 1)),
             "nothing given": {}}
    out = []
    for name, kwargs in cases.items():
        detect(eye.image, **kwargs)
        times = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(repeats):
                detect(eye.image, **kwargs)
            times.append((time.perf_counter() - start) / repeats)
        out.append((name, 1e3 * float(np.median(times))))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=100)
    args = parser.parse_args()
    cv2.setNumThreads(1)  # one core, as the figures are quoted
    print(f"pupil_radial {pupil_radial.__version__}, {platform.machine()}, "
          f"Python {platform.python_version()}, OpenCV {cv2.__version__}, "
          "one thread\n")
    print("| image | plainly visible pupils | found | centre error median "
          "| centre error 95th pct | major-axis error median |")
    print("|---|---|---|---|---|---|")
    for shape in SHAPES:
        n, found, med, p95, size = accuracy(shape, args.images)
        print(f"| {shape[1]}x{shape[0]} | {n} | {found:.1f} % | {med:.3f} px "
              f"| {p95:.3f} px | {size:.2f} % |")
    print("\n| eyes | " + " | ".join(
        f"{shape[1]}x{shape[0]}: found, centre median" for shape in SHAPES)
        + " |")
    print("|---|" + "---|" * len(SHAPES))
    for name, options in CAMERA_LIKE.items():
        cells = []
        for shape in SHAPES:
            n, found, med, _, _ = accuracy(shape, args.images // 2, **options)
            cells.append(f"{found:.1f} % of {n}, {med:.3f} px")
        print(f"| {name} | " + " | ".join(cells) + " |")
    print("\n| image | no pupil | found (should be 0) |")
    print("|---|---|---|")
    for shape in SHAPES:
        for kind, found, count in no_pupil(shape, args.images // 10):
            print(f"| {shape[1]}x{shape[0]} | {kind} | {found} of {count} |")
    grid, sub = subpixel_gain()
    print(f"\nEdge radius error, edges between samples 1 px apart: grid "
          f"{grid:.3f} px, sub-pixel {sub:.3f} px\n")
    print("| image | detect() | ms per call |")
    print("|---|---|---|")
    for shape in SHAPES:
        for name, ms in speed(shape, args.repeats):
            print(f"| {shape[1]}x{shape[0]} | {name} | {ms:.2f} |")


if __name__ == "__main__":
    main()
