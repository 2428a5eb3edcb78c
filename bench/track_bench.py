#!/usr/bin/env python3
"""Accuracy and throughput of pupil_radial.track() on synthetic eye videos.

For each frame size, writes synthetic videos (lossless FFV1) with a known
pupil, decodes them (timed on its own), tracks the decoded frames on one
thread (timed: processing only) and compares with the truth. Prints a
Markdown table.

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

SIZES = {"192x192": (192, 192), "640x480": (480, 640)}


def run(shape, videos, seconds, fps, folder):
    decode = processing = 0.0
    frames_total = 0
    visible_found, visible_count, shut_missed, shut_count = 0, 0, 0, 0
    centre, size = [], []
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
        fps=frames_total / processing, decode_ms=1e3 * decode / frames_total)


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
          "found | processing | decoding |")
    print("|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        for name, shape in SIZES.items():
            r = run(shape, args.videos, args.seconds, args.fps, folder)
            print(f"| {name} | {r['frames']} | {r['found']:.1f} % of "
                  f"{r['visible']} | {r['centre_median']:.3f} px | "
                  f"{r['centre_p95']:.3f} px | {r['size']:.2f} % | "
                  f"{r['shut_missed']:.0f} % of {r['shut']} | "
                  f"{r['fps']:.0f} frames/s | {r['decode_ms']:.2f} ms/frame |")


if __name__ == "__main__":
    main()
