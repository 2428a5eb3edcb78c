#!/usr/bin/env python3
"""Accuracy and throughput of pupil_radial.track() on synthetic eye videos,
beside the threshold-and-contour tracker most OpenCV users write.

For each frame size, writes synthetic videos (lossless FFV1) with a known
pupil (saccades with motion blur, blinks), decodes them (timed on its
own), tracks the decoded frames on one thread with both trackers (timed:
processing only) and compares with the truth. Prints a Markdown table.

    PYTHONPATH=python /usr/bin/python3 bench/track_bench.py [--videos 4]
"""

import argparse
import math
import platform
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

import pupil_radial
from pupil_radial import synthetic
from pupil_radial import _core
from pupil_radial.detect import detect_near
from pupil_radial.fields import misplaced
from pupil_radial.locate import as_gray
from pupil_radial.rays import gaussian_taps

import threshold_baseline

SIZES = {"192x192": (192, 192), "640x480": (480, 640)}


def threshold_run(images, truth):
    tracker = threshold_baseline.Tracker()
    start = time.perf_counter()
    results = [tracker(image) for image in images]
    seconds = time.perf_counter() - start
    visible = [(r, t.pupil) for r, t in zip(results, truth)
               if t.visible >= 0.7]
    centre = [math.hypot(r[1][0] - p.cx, r[1][1] - p.cy)
              for r, p in visible if r[0]]
    right = sum(c <= 3 for c in centre)
    return seconds, right, len(visible), centre


def run(shape, videos, seconds, fps, folder):
    decode = processing = other_seconds = 0.0
    other_right = other_visible = 0
    other_centre = []
    frames_total = 0
    visible_found, visible_count, shut_missed, shut_count = 0, 0, 0, 0
    centre, size = [], []
    kinds, floors = {}, []
    for seed in range(videos):
        path = Path(folder) / f"eye-{shape[1]}-{seed}.avi"
        writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"FFV1"),
                                 fps, (shape[1], shape[0]), False)
        truth = []
        for frame in synthetic.video(shape, seconds, fps, seed=seed):
            writer.write(frame.image)
            truth.append(frame)
        writer.release()
        frames = pupil_radial.open_frames(path)
        images = [f.image for f in frames]
        decode += frames.decode_seconds
        start = time.perf_counter()
        pupils = list(pupil_radial.track(images))
        processing += time.perf_counter() - start
        for kind, times in cost_by_kind(images).items():
            kinds.setdefault(kind, []).extend(times)
        followed = next(p for p in pupils if p.found)
        floors.append(library_floor(images[pupils.index(followed)],
                                    followed))
        o_seconds, o_right, o_visible, o_centre = threshold_run(images, truth)
        other_seconds += o_seconds
        other_right += o_right
        other_visible += o_visible
        other_centre += o_centre
        frames_total += len(images)
        for p, t in zip(pupils, truth):
            if t.visible >= 0.7:
                visible_count += 1
                visible_found += p.found
                if p.found:
                    centre.append(math.hypot(p.center[0] - t.pupil.cx,
                                             p.center[1] - t.pupil.cy))
                    size.append(abs(p.axes[0] - t.pupil.major)
                                / t.pupil.major)
            elif t.visible == 0:
                shut_count += 1
                shut_missed += not p.found
    return dict(
        frames=frames_total, found=100 * visible_found / visible_count,
        visible=visible_count, centre_median=np.median(centre),
        centre_p95=np.percentile(centre, 95), size=100 * np.median(size),
        shut=shut_count, shut_missed=100 * shut_missed / max(shut_count, 1),
        fps=frames_total / processing, decode_ms=1e3 * decode / frames_total,
        other_fps=frames_total / other_seconds,
        other_found=100 * other_right / max(other_visible, 1),
        other_centre=np.median(other_centre) if other_centre else math.nan,
        kinds=kinds, floor=float(np.median(floors)))


def cost_by_kind(images):
    """Seconds per frame of track()'s two steps, by what they gave: the
    same decisions as track() with default options, each step timed (a
    frame track() would not search again, unchanged since a search without
    a pupil, is searched here all the same)."""
    kinds = {"followed": [], "searched afresh, found": [],
             "searched afresh, no pupil": []}
    prior = None
    fields = True
    for image in images:
        start = time.perf_counter()
        pupil = detect_near(image, prior, fields=fields) if prior else None
        if pupil is not None and pupil.found:
            kinds["followed"].append(time.perf_counter() - start)
        else:
            pupil = pupil_radial.detect(image)
            if pupil.found:
                fields = misplaced(as_gray(image))
            kinds["searched afresh, " + ("found" if pupil.found else
                                         "no pupil")].append(
                time.perf_counter() - start)
        prior = pupil if pupil.found else None
    return kinds


def library_floor(image, pupil, repeats=500):
    """Seconds per followed frame in OpenCV and core.so alone: the window's
    blur and gradients, the noise filter, one search of 96 rays on a fifth
    of a pixel, two ellipse fits; what no Python between them can save."""
    (cx, cy), half = pupil.center, int(pupil.axes[0])
    x0, y0 = max(int(cx) - half, 0), max(int(cy) - half, 0)
    crop = image[y0:int(cy) + half, x0:int(cx) + half].astype(np.float32)
    noise_mask = np.array([[1, -2, 1], [-2, 4, -2], [1, -2, 1]], np.float32)
    taps = gaussian_taps(0.75 / 0.2)
    r = pupil.axes[1] / 2
    rmin = np.full(96, r - 4, np.float32)
    rmax = np.full(96, r + 4, np.float32)
    points = pupil.points[:, :2].astype(np.float32)
    start = time.perf_counter()
    for _ in range(repeats):
        smooth = cv2.GaussianBlur(crop, (0, 0), 1.0)
        gx = cv2.Sobel(smooth, cv2.CV_32F, 1, 0, ksize=3, scale=0.125)
        gy = cv2.Sobel(smooth, cv2.CV_32F, 0, 1, ksize=3, scale=0.125)
        cv2.filter2D(crop, cv2.CV_32F, noise_mask)
        _core.search(gx, gy, (cx - x0, cy - y0), rmin, rmax, 41, taps)
        cv2.fitEllipseAMS(points)
        cv2.fitEllipseAMS(points)
    return (time.perf_counter() - start) / repeats


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--videos", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--fps", type=float, default=120.0)
    args = parser.parse_args()
    cv2.setNumThreads(1)
    print(f"pupil_radial {pupil_radial.__version__}, {platform.machine()}, "
          f"Python {platform.python_version()}, OpenCV {cv2.__version__}, "
          f"one thread; {args.videos} videos of {args.seconds:g} s at "
          f"{args.fps:g} frames/s per size\n")
    print("| video | frames | visible pupil found | centre error median "
          "| centre error 95th pct | major-axis error median | lid shut: not "
          "found | processing | decoding | threshold tracker: found within "
          "3 px, centre median, processing | ours / threshold, frames/s |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    costs = []
    with tempfile.TemporaryDirectory() as folder:
        for name, shape in SIZES.items():
            r = run(shape, args.videos, args.seconds, args.fps, folder)
            costs.append((name, r))
            print(f"| {name} | {r['frames']} | {r['found']:.1f} % of "
                  f"{r['visible']} | {r['centre_median']:.3f} px | "
                  f"{r['centre_p95']:.3f} px | {r['size']:.2f} % | "
                  f"{r['shut_missed']:.0f} % of {r['shut']} | "
                  f"{r['fps']:.0f} frames/s | {r['decode_ms']:.2f} ms/frame | "
                  f"{r['other_found']:.1f} %, {r['other_centre']:.3f} px, "
                  f"{r['other_fps']:.0f} frames/s | "
                  f"{r['fps'] / r['other_fps']:.2f}x |")
    print("\n| video | kind of frame | frames | ms per frame | share of "
          "the time |")
    print("|---|---|---|---|---|")
    for name, r in costs:
        total = sum(sum(v) for v in r["kinds"].values())
        for kind, seconds in r["kinds"].items():
            if seconds:
                print(f"| {name} | {kind} | {len(seconds)} | "
                      f"{1e3 * np.mean(seconds):.3f} | "
                      f"{100 * sum(seconds) / total:.0f} % |")
        print(f"| {name} | followed: OpenCV and core.so alone | | "
              f"{1e3 * r['floor']:.3f} | |")


if __name__ == "__main__":
    main()
